/* A small firmware with everything avr-gcc puts in an ELF file: code, initialised
   data (copied from flash at start), EEPROM contents, fuses, lock bits and the
   chip's signature. */
#include <avr/eeprom.h>
#include <avr/fuse.h>
#include <avr/io.h>
#include <avr/lock.h>
#include <avr/signature.h>

FUSES = {
#ifdef EFUSE_DEFAULT
    .low = 0xE2,
    .high = 0xD9,
    .extended = 0xFD,
#else
    .low = 0xE2,
    .high = 0xD9,
#endif
};
LOCKBITS = 0xFC;

uint8_t EEMEM blink_table[8] = {1, 2, 3, 5, 8, 13, 21, 34};
uint16_t EEMEM boot_count = 0x1234;
volatile uint8_t step = 3;

int main(void)
{
    DDRB = 0x20;
    for (;;) {
        uint8_t delay = eeprom_read_byte(&blink_table[step & 7]);
        PORTB ^= 0x20;
        while (delay--)
            step++;
    }
}
