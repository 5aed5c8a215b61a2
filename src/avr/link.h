// Serial programming link: power, reset, Programming Enable, sync, detection.
#pragma once

#include <cstdint>

// Lock state read at the last connection: -1 unknown, 0, 1, 2.
extern int32_t lock_state;

void link_open();
void connect();
uint8_t program_enable();
void link_close();
// Reads the signature again and compares it with the one read at the last
// connection: "\nSynchronisation lost\n" (40) when they differ.
void check_sync();

// "\t%% %s\tcommand %02X %02X %02X %02X,  reply %02X %02X %02X %02X\n"
void trace_command(uint8_t level, const char *label, const uint8_t *command, const uint8_t *reply);
// "\t%% %s  %02X %02X %02X %02X\n" at MSG_DEBUG
void trace_reply(const char *label, const uint8_t *reply);

// Sends one 4-byte command in place through the adapter.
void send_command(uint8_t *bytes);
// Echo check: reply byte 1 must equal expected, else "\nSynchronisation lost\n" (40).
void check_echo(uint8_t reply, uint8_t expected);

void link_reset();
