// Test doubles for the parallel-port adapter tests: a recording port with
// scripted status answers, a small SPI slave behind it, and message capture.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "adapters/lpt.h"
#include "adapters/lpt_adapter.h"
#include "base/messages.h"
#include "support/capture.h"

// What happened on the port, in order.
struct port_event {
    enum kind_t { read, write, block } kind;
    uint8_t reg;
    uint8_t value;               // read/write value
    std::vector<uint8_t> bytes;  // block writes
};

struct port_record {
    std::vector<port_event> events;
    // Every state the data register took, one entry per write.
    std::vector<uint8_t> data_states;
    // Index into data_states at each status read.
    std::vector<size_t> status_reads;
    bool destroyed = false;

    std::vector<uint8_t> control_writes() const
    {
        std::vector<uint8_t> out;
        for (const auto &e : events)
            if (e.kind == port_event::write && e.reg == LPT_CONTROL)
                out.push_back(e.value);
        return out;
    }
    std::vector<std::vector<uint8_t>> blocks() const
    {
        std::vector<std::vector<uint8_t>> out;
        for (const auto &e : events)
            if (e.kind == port_event::block)
                out.push_back(e.bytes);
        return out;
    }
    void clear()
    {
        events.clear();
        data_states.clear();
        status_reads.clear();
    }
};

class fake_lpt : public lpt_t {
public:
    explicit fake_lpt(std::shared_ptr<port_record> record = std::make_shared<port_record>(),
                      float cycle_us = 1.0f)
        : record(record)
    {
        write_cycle_us = cycle_us;
        bidirectional = true;
    }
    ~fake_lpt() override { record->destroyed = true; }

    uint8_t read_reg(uint8_t offset) override
    {
        uint8_t value = 0;
        if (offset == LPT_DATA)
            value = data;
        else if (offset == LPT_STATUS) {
            value = status ? status(*this) : status_value;
            record->status_reads.push_back(record->data_states.size());
        } else if (offset == LPT_CONTROL)
            value = control;
        record->events.push_back({port_event::read, offset, value, {}});
        return value;
    }
    void write_reg(uint8_t offset, uint8_t value) override
    {
        record->events.push_back({port_event::write, offset, value, {}});
        if (offset == LPT_DATA)
            set_data(value);
        else if (offset == LPT_CONTROL)
            control = direction_works ? value : static_cast<uint8_t>(value & ~LPT_CTRL_BIDIR);
    }
    void write_data_block(const uint8_t *bytes, uint32_t count) override
    {
        if (!recording_blocks) {
            if (count)
                data = bytes[count - 1];
            return;
        }
        record->events.push_back({port_event::block, LPT_DATA, 0, {bytes, bytes + count}});
        for (uint32_t i = 0; i < count; i++)
            set_data(bytes[i]);
    }

    using lpt_t::measure_block_time;
    long double measure_block_time(const uint8_t *buffer, uint32_t n) override
    {
        if (block_times.empty())
            return lpt_t::measure_block_time(buffer, n);
        measured.push_back(n);
        long double t = block_times.front();
        block_times.pop_front();
        return t;
    }

    void set_data(uint8_t value)
    {
        data = value;
        record->data_states.push_back(value);
        if (on_data)
            on_data(value);
    }

    std::shared_ptr<port_record> record;
    uint8_t data = 0;
    uint8_t control = 0;
    uint8_t status_value = 0;
    bool direction_works = true;
    bool recording_blocks = true;
    std::function<uint8_t(const fake_lpt &)> status;
    std::function<void(uint8_t)> on_data;
    std::deque<long double> block_times;  // scripted measurement results, ms
    std::vector<uint32_t> measured;       // block lengths measured with a script
};

// An SPI slave on the data lines: samples MOSI on the rising SCK edge, shifts
// MISO out on the falling edge, most significant bit first. A byte is done
// after 8 rising edges; the next reply byte comes from `replies`.
struct spi_slave {
    spi_slave(uint8_t mosi_bit, uint8_t sck_bit) : mosi_bit(mosi_bit), sck_bit(sck_bit) {}
    uint8_t mosi_bit, sck_bit;
    bool sck_active_low = false;
    std::deque<uint8_t> replies;
    std::vector<uint8_t> received;
    uint8_t in = 0, out = 0;
    int bits = 0;
    bool sck = false;
    bool started = false;

    void load()
    {
        out = replies.empty() ? 0 : replies.front();
        if (!replies.empty())
            replies.pop_front();
        started = true;
    }
    void on_data(uint8_t value)
    {
        if (!started)
            load();
        bool level = (value & sck_bit) != 0;
        bool active = level != sck_active_low;
        if (active && !sck) {
            in = static_cast<uint8_t>((in << 1) | ((value & mosi_bit) ? 1 : 0));
            if (++bits == 8) {
                received.push_back(in);
                bits = 0;
            }
        } else if (!active && sck) {
            if (bits == 0)
                load();
            else
                out = static_cast<uint8_t>(out << 1);
        }
        sck = active;
    }
    bool miso() const { return (out & 0x80) != 0; }
};

inline bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

inline bool ends_with(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Fresh factory settings and port selection for every test.
class adapter_test : public ::testing::Test {
protected:
    // create_lpt_adapter (and select_lpt_port with settings.lpt) will get this fake port.
    fake_lpt *attach_fake(float cycle_us = 1.0f)
    {
        record = std::make_shared<port_record>();
        auto *port = new fake_lpt(record, cycle_us);
        pending.reset(port);
        settings.lpt.opener = [this](const lpt_port_choice_t &choice) {
            chosen = choice;
            EXPECT_TRUE(pending) << "port opened twice";
            return std::move(pending);
        };
        return port;
    }

    // The factory with these settings and the given -a and -p texts.
    built_adapter_t create_lpt(const char *letters, const char *port_text = nullptr)
    {
        adapter_settings_t with_texts = settings;
        with_texts.adapter_text = letters;
        with_texts.port_text = port_text;
        return create_lpt_adapter(with_texts);
    }

    // What the run hands the factory: by default a mega8 on its 800 kHz
    // clock, SCK low and high 2 periods each.
    adapter_settings_t settings;
    std::shared_ptr<port_record> record;
    std::unique_ptr<lpt_t> pending;
    lpt_port_choice_t chosen{-1, 0, false, {}};
};
