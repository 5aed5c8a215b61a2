// Everything one run owns: its settings, the images, the adapter, the target
// behind it and the insertions. The entry creates it and passes it down.
#pragma once

#include <cstdint>
#include <memory>

#include "adapters/lpt_access.h"
#include "adapters/spi.h"
#include "avr/target.h"
#include "image/hex_file.h"
#include "image/file_facts.h"
#include "image/image.h"
#include "image/passes.h"
#include "run/insertions.h"
#include "run/options.h"

struct run_context_t {
    run_context_t();
    run_context_t(const run_context_t &) = delete;
    run_context_t &operator=(const run_context_t &) = delete;

    run_options_t options;
    PortionList code_image;
    PortionList data_image;
    // what the input files say of the chip (ELF: signature, fuses, lock byte)
    file_facts_t file_facts;
    avr_target_t target;
    insertion_requests_t requests;
    erase_counter_t erase_counter;
    key_reader_t read_key;   // answers the checksum question of the HEX reader
    // How a parallel-port cable reaches its port; empty: the system's own way
    // (in-process runs attach the virtual port here).
    lpt_access_t lpt_access;

    // The run's adapter; the target talks through it.
    void set_adapter(std::unique_ptr<spi_t> adapter);
    spi_t *adapter() const { return owned_adapter.get(); }

    // The options' part that the link and the memory commands use.
    target_settings_t target_settings() const;
    // The passes' switches as the run stands now.
    pass_switches_t pass_switches() const;
    // Flash the image may use: the erase counter keeps the last two bytes.
    int32_t usable_code_size() const;

private:
    std::unique_ptr<spi_t> owned_adapter;
};
