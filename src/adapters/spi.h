// The programming-adapter interface every cable or USB adapter implements.
#pragma once

#include <cstdint>
#include <memory>

class spi_t {
public:
    virtual ~spi_t() {}
    virtual bool is_block_mode() = 0;
    virtual uint8_t transfer_byte(uint8_t value) = 0;
    virtual void write_byte(uint8_t value) { transfer_byte(value); }
    virtual uint8_t read_byte() { return transfer_byte(0x00); }
    virtual void transfer_block(const uint8_t *out, uint8_t *in, uint32_t count)
    {
        for (uint32_t i = 0; i < count; i++)
            in[i] = transfer_byte(out[i]);
    }
    virtual void write_block(const uint8_t *data, uint32_t count)
    {
        for (uint32_t i = 0; i < count; i++)
            write_byte(data[i]);
    }
    virtual void read_block(uint8_t *buffer, uint32_t count)
    {
        for (uint32_t i = 0; i < count; i++)
            buffer[i] = read_byte();
    }
    // A transfer whose replies are collected later, so that an adapter with a USB round
    // trip per call can send the next commands before the previous replies are back:
    // queue_transfer sends out (in is filled by the time collect_transfer(in) returns);
    // transfers are collected in the order they were queued, and any other operation
    // collects every queued one first. Without a queue both happen at once.
    virtual void queue_transfer(const uint8_t *out, uint8_t *in, uint32_t count) { transfer_block(out, in, count); }
    virtual void collect_transfer(uint8_t *in) { (void)in; }
    virtual void set_reset(bool active) = 0;
    virtual void pulse_reset() = 0;
    virtual void pulse_sck() = 0;
    virtual void delay_ms(float ms) = 0;
    virtual bool has_power() = 0;
    virtual void power_on() = 0;
    virtual void power_off() = 0;
    virtual bool has_enable() = 0;
    virtual void enable_adapter() = 0;
    virtual void disable_adapter() = 0;
    virtual long double spi_frequency() = 0;
    virtual const char *adapter_name() = 0;
};
