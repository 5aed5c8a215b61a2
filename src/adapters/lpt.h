// PC parallel port: three byte-wide registers and a fast run of data writes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <string>

#include "adapters/lpt_access.h"
#include "base/dll.h"
#include "os/os.h"

// Register offsets from the port's base address.
enum : uint8_t { LPT_DATA = 0, LPT_STATUS = 1, LPT_CONTROL = 2 };

// Control register bits.
enum : uint8_t {
    LPT_CTRL_STROBE = 0x01,
    LPT_CTRL_ALF = 0x02,
    LPT_CTRL_INIT = 0x04,
    LPT_CTRL_SELECT = 0x08,
    LPT_CTRL_IRQ = 0x10,
    LPT_CTRL_BIDIR = 0x20,
};

// No PC parallel port completes a data write in less than this; used when the
// write cycle can't be measured, so that SCK phases come out long, never short.
constexpr float LPT_FALLBACK_CYCLE_US = 0.1f;

class lpt_t {
public:
    float write_cycle_us = 0.0f;
    bool bidirectional = false;

    virtual ~lpt_t();
    virtual uint8_t read_reg(uint8_t offset) = 0;
    virtual void write_reg(uint8_t offset, uint8_t value) = 0;
    // Bytes to the data register, back to back, one write cycle each.
    virtual void write_data_block(const uint8_t *bytes, uint32_t count) = 0;

    // Probes the direction bit and measures the write cycle.
    void init_port();
    // Data lines driven (direction bit cleared).
    void set_data_output();

protected:
    // Shortest of 100 timed write_data_block calls of n bytes, in ms.
    virtual long double measure_block_time(const uint8_t *buffer, uint32_t n);

private:
    void measure_write_cycle();
};

// Direct port I/O (Windows 9x family in a 32-bit x86 build).
class lpt_io_t : public lpt_t {
public:
    explicit lpt_io_t(uint32_t base);
    ~lpt_io_t() override;
    uint8_t read_reg(uint8_t offset) override;
    void write_reg(uint8_t offset, uint8_t value) override;
    void write_data_block(const uint8_t *bytes, uint32_t count) override;

    uint32_t base;
};

// "DLportIO.dll" and its three port calls.
class dlportio_dll_t : public dll_t {
public:
    typedef void(OS_DRIVER_API *write_uchar_t)(uint32_t port, uint8_t value);
    typedef uint8_t(OS_DRIVER_API *read_uchar_t)(uint32_t port);
    typedef void(OS_DRIVER_API *write_buffer_uchar_t)(uint32_t port, const uint8_t *bytes, uint32_t count);

    dlportio_dll_t();

    write_uchar_t write_port_uchar;
    read_uchar_t read_port_uchar;
    write_buffer_uchar_t write_port_buffer_uchar;
};

class lpt_dlportio_t : public lpt_t {
public:
    lpt_dlportio_t(std::unique_ptr<dlportio_dll_t> library, uint32_t base);
    ~lpt_dlportio_t() override;
    uint8_t read_reg(uint8_t offset) override;
    void write_reg(uint8_t offset, uint8_t value) override;
    void write_data_block(const uint8_t *bytes, uint32_t count) override;

    std::unique_ptr<dlportio_dll_t> library;
    uint32_t base;
};

// Linux kernel parallel-port device (/dev/parportN).
class lpt_ppdev_t : public lpt_t {
public:
    lpt_ppdev_t(os::ppdev_port *device, const std::string &device_name);
    ~lpt_ppdev_t() override;
    uint8_t read_reg(uint8_t offset) override;
    void write_reg(uint8_t offset, uint8_t value) override;
    void write_data_block(const uint8_t *bytes, uint32_t count) override;

    os::ppdev_port *device;
    std::string device_name;
};

// Base addresses of LPT1..LPT3.
extern const uint32_t lpt_base_addresses[3];

// The port named by -p (null: LPT2), opened as `access` says, data lines driven,
// cycle measured.
std::unique_ptr<lpt_t> select_lpt_port(const char *port_spec, const lpt_access_t &access);

lpt_port_choice_t parse_lpt_port(const char *port_spec);

// The text that names the port in messages: "LPT2 (0x278)", "at 0x2BC", the device.
std::string lpt_port_name(const lpt_port_choice_t &choice);

// The parport number for a port among the kernel's ports: LPTn is the port at
// LPTn's standard base address, else parport n-1; a base address is matched;
// -1 when there is none.
int ppdev_number_for_port(const lpt_port_choice_t &choice, const std::vector<os::parport_t> &ports);
int ppdev_number_for_port(const lpt_port_choice_t &choice, const os::ppdev_dirs_t &dirs);

// The kernel's parport device for the choice, opened; an open that fails names the
// cause and the fix. Only when there is no parport device at all, `fallback`.
std::unique_ptr<lpt_t> open_ppdev_port(const lpt_port_choice_t &choice, const os::ppdev_dirs_t &dirs,
                                       const lpt_opener_t &fallback);
