#include "run/run_context.h"

#include "os/os.h"

run_context_t::run_context_t() : read_key(os::read_key_no_echo) {}

void run_context_t::set_adapter(std::unique_ptr<spi_t> adapter)
{
    target.adapter = nullptr;
    owned_adapter = std::move(adapter);
    target.adapter = owned_adapter.get();
}

target_settings_t run_context_t::target_settings() const
{
    target_settings_t settings;
    settings.chip_name = options.chip_name;
    settings.delay_factor = options.delay_factor;
    settings.inactive_reset_ms = options.inactive_reset_ms;
    settings.keep_eeprom = options.erase_keep_eeprom;
    return settings;
}

pass_switches_t run_context_t::pass_switches() const
{
    pass_switches_t switches;
    switches.polling = (options.write & WRITE_POLLING) != 0;
    switches.fill_eeprom = (options.write & WRITE_FILL_EEPROM) != 0;
    switches.verify_all = options.verify_all;
    switches.code_size = usable_code_size();
    return switches;
}

int32_t run_context_t::usable_code_size() const
{
    int32_t size = target.code_size();
    if (erase_counter.enabled && size != 0)
        return size - 2;
    return size;
}
