// Serial programming link: power, reset, Programming Enable, sync, detection.
#pragma once

#include <cstdint>

#include "avr/target.h"

void link_open(avr_target_t &target);
void connect(avr_target_t &target);
uint8_t program_enable(avr_target_t &target);
void link_close(avr_target_t &target);
// Reads the signature again and compares it with the one read at the last
// connection: "\nSynchronisation lost\n" (40) when they differ.
void check_sync(avr_target_t &target);

// "\t%% %s\tcommand %02X %02X %02X %02X,  reply %02X %02X %02X %02X\n"
void trace_command(uint8_t level, const char *label, const uint8_t *command, const uint8_t *reply);
// "\t%% %s  %02X %02X %02X %02X\n" at MSG_DEBUG
void trace_reply(const char *label, const uint8_t *reply);

// Sends one 4-byte command in place through the adapter.
void send_command(avr_target_t &target, uint8_t *bytes);
// Echo check: reply byte 1 must equal expected, else "\nSynchronisation lost\n" (40).
void check_echo(uint8_t reply, uint8_t expected);
