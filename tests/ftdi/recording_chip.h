// Test doubles for the FTDI layer: a chip that records every call and answers
// reads from a queue, and a driver that serves a configurable device list.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "ftdi/ftdi_chip.h"
#include "ftdi/ftdi_driver.h"
#include "base/messages.h"
#include "support/capture.h"

// What a recording chip saw, kept outside the chip so it survives its destruction.
struct chip_log_t {
    std::vector<std::string> calls;            // "bitmode 00 02", "write", "read 4", "purge 1", ...
    std::vector<std::vector<uint8_t>> writes;  // bytes of each write, in order
    std::deque<uint8_t> replies;               // bytes handed out by read
    bool fail_bit_mode = false;

    // All written bytes of writes [from, end), joined.
    std::vector<uint8_t> written(size_t from = 0) const
    {
        std::vector<uint8_t> all;
        for (size_t i = from; i < writes.size(); i++)
            all.insert(all.end(), writes[i].begin(), writes[i].end());
        return all;
    }
};

class recording_chip_t : public ftdi_chip_t {
public:
    explicit recording_chip_t(std::shared_ptr<chip_log_t> log) : log(std::move(log)) {}
    ~recording_chip_t() override { log->calls.push_back("destroyed"); }

    void set_bit_mode(uint8_t mask, uint8_t mode) override
    {
        char text[32];
        snprintf(text, sizeof text, "bitmode %02X %02X", mask, mode);
        log->calls.push_back(text);
        check_ftdi_status("set bit mode", log->fail_bit_mode ? FTDI_IO_ERROR : FTDI_OK);
    }
    void read(uint8_t *buffer, uint32_t count) override
    {
        log->calls.push_back("read " + std::to_string(count));
        uint32_t done = 0;
        while (done < count && !log->replies.empty()) {
            buffer[done++] = log->replies.front();
            log->replies.pop_front();
        }
        check_ftdi_status("read from FTDI chip", FTDI_OK, done != count);
    }
    void write(const uint8_t *bytes, uint32_t count) override
    {
        log->calls.push_back("write");
        log->writes.emplace_back(bytes, bytes + count);
    }
    void purge(uint8_t mask) override { log->calls.push_back("purge " + std::to_string(mask)); }
    void set_latency_timer(uint8_t ms) override { log->calls.push_back("latency " + std::to_string(ms)); }
    void set_baud_rate(uint32_t rate) override { log->calls.push_back("baud " + std::to_string(rate)); }
    void set_divisor(uint16_t divisor) override { log->calls.push_back("divisor " + std::to_string(divisor)); }
    void set_timeouts(uint32_t read_ms, uint32_t write_ms) override
    {
        log->calls.push_back("timeouts " + std::to_string(read_ms) + " " + std::to_string(write_ms));
    }

private:
    std::shared_ptr<chip_log_t> log;
};

// A driver library in memory: the device list, the statuses to answer with, and
// a record of what was asked.
struct fake_library_t {
    std::vector<ftdi_node_t> devices;
    uint32_t count_status = FTDI_OK;
    uint32_t list_status = FTDI_OK;
    uint32_t open_status = FTDI_OK;
    uint32_t info_status = FTDI_OK;
    int loads = 0;
    int closes = 0;
    std::string opened_key;
    uint32_t opened_how = 0;
    std::vector<uint32_t> usb_ids;  // each set_usb_ids call: vendor << 16 | product
    std::string advice;             // what open_failure_advice answers
    std::shared_ptr<chip_log_t> chip_log = std::make_shared<chip_log_t>();

    // The library choice that loads this one (which must outlive what is done with it).
    ftdi_library_t choice();
};

// A listed device; its USB ID is left unknown.
ftdi_node_t node(uint32_t type, const char *serial, const char *description, uint32_t flags = 0);
// Attributes asking for a serial number and a description (empty: any).
ftdi_device_attributes_t request(const char *serial, const char *description, uint32_t type = FTDI_DEVICE_2232C);
// The given library loaded from the given file.
ftdi_library_t library_file(ftdi_library_kind_t kind, const std::string &path);

// The shared message capture under the name these tests know it by.
using message_capture_t = message_capture;

std::vector<uint8_t> bytes(std::initializer_list<int> values);
std::string hex(const std::vector<uint8_t> &data);
