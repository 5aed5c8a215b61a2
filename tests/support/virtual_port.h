// The virtual parallel port as the program's lpt_t: measured and probed like a real one.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "adapters/lpt.h"
#include "vtarget/virtual_lpt.h"

class virtual_port : public lpt_t {
public:
    explicit virtual_port(std::unique_ptr<vt::virtual_lpt> port) : port(std::move(port)) { init_port(); }
    uint8_t read_reg(uint8_t offset) override { return port->read_reg(offset); }
    void write_reg(uint8_t offset, uint8_t value) override { port->write_reg(offset, value); }
    void write_data_block(const uint8_t *bytes, uint32_t count) override { port->write_data_block(bytes, count); }
    std::unique_ptr<vt::virtual_lpt> port;
};
