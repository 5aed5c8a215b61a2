// Programming Enable through any adapter, as the link starts it: RESET held, one
// positive RESET pulse, a settling wait after each, then AC 53 00 00.
#pragma once

#include <cstdint>

#include "adapters/spi.h"

// True when the chip answered in step: 53 echoed in the third reply byte.
inline bool enter_programming_mode(spi_t &spi, float settle_ms)
{
    spi.set_reset(true);
    spi.delay_ms(settle_ms);
    spi.pulse_reset();
    spi.delay_ms(settle_ms);
    uint8_t command[4] = {0xAC, 0x53, 0x00, 0x00};
    spi.transfer_block(command, command, 4);
    return command[2] == 0x53;
}
