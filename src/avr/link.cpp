// Serial programming link: supply and adapter switching, reset, Programming
// Enable with resynchronisation, signature read and chip detection.
#include "avr/link.h"

#include "adapters/spi.h"
#include "avr/devices.h"
#include "avr/fuses.h"
#include "base/messages.h"
#include "base/timer.h"

namespace {

const float reset_settle_ms = 100.0f;
const float power_settle_ms = 300.0f;
const int32_t max_sck_tries = 32;
const int32_t max_reset_tries = 4;
const uint8_t in_step_answer = 0x53;
const uint32_t protected_signature = 0x000102;

// The supply waits are made on the host timer, not through the adapter.
void power_wait()
{
    os_timer_t timer;
    timer.set_wait(power_settle_ms);
    timer.wait();
}

uint32_t flags_of(int32_t index)
{
    return index >= 0 ? avr_devices[index].flags : 0;
}

// The chip whose synchronisation rules apply: the one named by the user,
// else whatever the current device is.
int32_t sync_device(const avr_target_t &target)
{
    if (target.settings.chip_name)
        return find_device(target.settings.chip_name);
    return target.device_index();
}

void synchronise(avr_target_t &target, int32_t device, uint8_t answer)
{
    uint32_t flags = flags_of(device);
    int32_t tries = 1;
    while (answer != in_step_answer) {
        poll_user_break();
        if (flags & flag_resync_sck) {
            if (tries > max_sck_tries)
                fail(EXIT_SYNC_LOST, "Can't resync\n");
            msg_print(msg_out, MSG_TRACE, "\t%% Try %d to resync by SCK pulse", tries);
            target.spi().pulse_sck();
        } else {
            if (tries > max_reset_tries)
                fail(EXIT_SYNC_LOST, "Can't resync\n");
            msg_print(msg_out, MSG_TRACE, "\t%% Try %d to resync by reset pulse", tries);
            target.spi().pulse_reset();
        }
        answer = program_enable(target);
        tries++;
    }
    msg_print(msg_out, MSG_DEBUG, "\t%% Synchronised after %d try\n", tries);
}

uint32_t read_signature(avr_target_t &target)
{
    uint32_t value = 0;
    for (uint8_t i = 0; i < 3; i++) {
        uint8_t command[4] = {0x30, 0x00, i, 0x00};
        send_command(target, command);
        trace_reply("GetID reply", command);
        check_echo(command[1], 0x30);
        value = (value << 8) | command[3];
        poll_user_break();
    }
    return value;
}

}  // namespace

void send_command(avr_target_t &target, uint8_t *bytes)
{
    target.spi().transfer_block(bytes, bytes, 4);
}

void check_echo(uint8_t reply, uint8_t expected)
{
    if (reply != expected)
        fail(EXIT_SYNC_LOST, "\nSynchronisation lost\n");
}

void trace_command(uint8_t level, const char *label, const uint8_t *command, const uint8_t *reply)
{
    msg_print(msg_out, level, "\t%% %s\tcommand %02X %02X %02X %02X,  reply %02X %02X %02X %02X\n",
              label, command[0], command[1], command[2], command[3], reply[0], reply[1], reply[2],
              reply[3]);
}

void trace_reply(const char *label, const uint8_t *reply)
{
    msg_print(msg_out, MSG_DEBUG, "\t%% %s  %02X %02X %02X %02X\n", label, reply[0], reply[1],
              reply[2], reply[3]);
}

uint8_t program_enable(avr_target_t &target)
{
    uint8_t command[4] = {0xAC, 0x53, 0x00, 0x00};
    send_command(target, command);
    trace_reply("PgmOn reply", command);
    return command[2];
}

void connect(avr_target_t &target)
{
    spi_t &spi = target.spi();
    msg_print(msg_out, MSG_DEBUG, "\t%% Reset\n");
    spi.set_reset(true);
    spi.delay_ms(reset_settle_ms);
    spi.pulse_reset();
    spi.delay_ms(reset_settle_ms);

    int32_t device = sync_device(target);
    uint8_t answer = program_enable(target);
    if (device >= 0 && !(flags_of(device) & flag_no_sync))
        synchronise(target, device, answer);

    uint32_t signature = read_signature(target);
    msg_print(msg_out, MSG_DEBUG, "\t%% Read ID: 0x%06X\n", signature);
    target.connected_signature = signature;

    int32_t detected = find_device_by_signature(signature, target.settings.chip_name);
    target.set_device(detected);
    msg_print(msg_out, MSG_INFO, "Device connected, ");
    if (detected >= 0)
        msg_print(msg_out, MSG_INFO, "%s detected\n", avr_devices[detected].name);
    else
        msg_print(msg_out, MSG_INFO, "but not recognised, ID: 0x%06X%s\n", signature,
                  signature == protected_signature ? " (looks as protected)" : " ");
}

void link_open(avr_target_t &target)
{
    spi_t &spi = target.spi();
    if (spi.has_power()) {
        spi.power_on();
        power_wait();
        msg_print(msg_out, MSG_INFO, "Power ON\n");
    }
    if (spi.has_enable()) {
        spi.enable_adapter();
        msg_print(msg_out, MSG_INFO, "Adapter enabled\n");
    }
    target.link_active = true;
    connect(target);
    read_lock_state(target);
    print_lock_state(target);
}

// A chip that lost an SCK edge is a bit out of step, and commands below 0x80
// (the flash reads and loads) still pass the echo check with shifted data.
// Its signature then comes back shifted too.
void check_sync(avr_target_t &target)
{
    if (read_signature(target) != target.connected_signature)
        fail(EXIT_SYNC_LOST, "\nSynchronisation lost\n");
}

void link_close(avr_target_t &target)
{
    spi_t *spi = target.adapter;
    if (!target.link_active || !spi)
        return;
    spi->set_reset(false);
    msg_print(msg_out, MSG_INFO, "Reset pin released\n");
    if (spi->has_enable()) {
        spi->disable_adapter();
        msg_print(msg_out, MSG_INFO, "Adapter disabled\n");
    }
    if (spi->has_power()) {
        spi->power_off();
        power_wait();
        msg_print(msg_out, MSG_INFO, "Power OFF\n");
    }
}

