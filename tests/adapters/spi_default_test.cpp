// The block operations every adapter inherits from spi_t.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "adapters/spi.h"
#include "support/quiet_adapter.h"

namespace {

// An adapter that only knows transfer_byte: it records what goes out and
// answers with a running counter.
class byte_only_adapter : public quiet_adapter {
public:
    std::vector<uint8_t> sent;
    uint8_t next_reply = 0x10;

    bool is_block_mode() override { return false; }
    uint8_t transfer_byte(uint8_t value) override
    {
        sent.push_back(value);
        return next_reply++;
    }
};

TEST(spi_defaults, single_byte_operations_go_through_transfer_byte)
{
    byte_only_adapter adapter;
    spi_t &spi = adapter;
    spi.write_byte(0xAC);
    EXPECT_EQ(0x11, spi.read_byte());
    EXPECT_EQ((std::vector<uint8_t>{0xAC, 0x00}), adapter.sent) << "read_byte sends 0x00";
}

TEST(spi_defaults, block_operations_keep_buffer_order)
{
    byte_only_adapter adapter;
    spi_t &spi = adapter;
    const uint8_t out[4] = {0xAC, 0x53, 0x00, 0x00};
    uint8_t in[4] = {};
    spi.transfer_block(out, in, 4);
    EXPECT_EQ((std::vector<uint8_t>{0xAC, 0x53, 0x00, 0x00}), adapter.sent);
    EXPECT_EQ((std::vector<uint8_t>{0x10, 0x11, 0x12, 0x13}), std::vector<uint8_t>(in, in + 4));

    adapter.sent.clear();
    const uint8_t data[3] = {1, 2, 3};
    spi.write_block(data, 3);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), adapter.sent);

    adapter.sent.clear();
    uint8_t buffer[3] = {9, 9, 9};
    spi.read_block(buffer, 3);
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0}), adapter.sent);
    EXPECT_EQ((std::vector<uint8_t>{0x17, 0x18, 0x19}), std::vector<uint8_t>(buffer, buffer + 3));
}

TEST(spi_defaults, transfer_block_in_place_replaces_sent_bytes)
{
    byte_only_adapter adapter;
    uint8_t bytes[4] = {0x30, 0x00, 0x01, 0x00};
    adapter.transfer_block(bytes, bytes, 4);
    EXPECT_EQ((std::vector<uint8_t>{0x30, 0x00, 0x01, 0x00}), adapter.sent);
    EXPECT_EQ((std::vector<uint8_t>{0x10, 0x11, 0x12, 0x13}), std::vector<uint8_t>(bytes, bytes + 4));
}

TEST(spi_defaults, zero_count_transfers_nothing)
{
    byte_only_adapter adapter;
    uint8_t buffer[1] = {0x55};
    adapter.transfer_block(buffer, buffer, 0);
    adapter.write_block(buffer, 0);
    adapter.read_block(buffer, 0);
    EXPECT_TRUE(adapter.sent.empty());
    EXPECT_EQ(0x55, buffer[0]);
}

}  // namespace
