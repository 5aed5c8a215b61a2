// Detection of the buffered parallel-port cables by their loop-backs.
#pragma once

#include <cstdint>

class lpt_t;

enum class byteblaster_t { none, plain, mv, ii };
byteblaster_t detect_byteblaster(lpt_t &port);

// Bit set of the STK cables that fit the port's answers.
enum : uint8_t { STK200_FOUND = 1, STK300_FOUND = 2 };
uint8_t detect_stk(lpt_t &port);
