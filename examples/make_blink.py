#!/usr/bin/env python3
"""Writes blink-m328p.hex: an LED on PB5 (Arduino pin 13) blinking at about 1 Hz
on a 16 MHz mega328P, plus a greeting string in flash and a few EEPROM bytes
placed above the flash (one file carries both memories)."""
import sys

FLASH_SIZE = 32768

def ldi(d, k):   return 0xE000 | ((k & 0xF0) << 4) | ((d - 16) << 4) | (k & 0x0F)
def out(a, r):   return 0xB800 | ((a & 0x30) << 5) | (r << 4) | (a & 0x0F)
def sbi(a, b):   return 0x9A00 | (a << 3) | b
def cbi(a, b):   return 0x9800 | (a << 3) | b
def rjmp(k):     return 0xC000 | (k & 0x0FFF)
def rcall(k):    return 0xD000 | (k & 0x0FFF)
def subi(d, k):  return 0x5000 | ((k & 0xF0) << 4) | ((d - 16) << 4) | (k & 0x0F)
def sbci(d, k):  return 0x4000 | ((k & 0xF0) << 4) | ((d - 16) << 4) | (k & 0x0F)
def brne(k):     return 0xF401 | ((k & 0x7F) << 3)
RET = 0x9508
DDRB, PORTB, SPL, SPH = 0x04, 0x05, 0x3D, 0x3E

words = []
def emit(w): words.append(w); return len(words) - 1

main = 0x34                       # after the 26 interrupt vectors
code = {0: rjmp(main - 1)}
prog = [ldi(16, 0xFF), out(SPL, 16), ldi(16, 0x08), out(SPH, 16),   # stack at RAMEND
        sbi(DDRB, 5)]
loop = main + len(prog)
prog += [sbi(PORTB, 5), None, cbi(PORTB, 5), None, None]
delay = main + len(prog)
# delay: r18:r24:r25 nested count-down, about 0.5 s at 16 MHz
prog_delay = [ldi(18, 41), ldi(24, 0xFF), ldi(25, 0xFF),
              subi(24, 1), sbci(25, 0), brne(-3 & 0x7F), subi(18, 1), brne(-7 & 0x7F), RET]
# patch the calls and the jump back
call1 = loop + 1; call2 = loop + 3; back = loop + 4
prog[call1 - main] = rcall(delay - call1 - 1)
prog[call2 - main] = rcall(delay - call2 - 1)
prog[back - main] = rjmp(loop - back - 1)
prog += prog_delay
for i, w in enumerate(prog):
    code[main + i] = w
image = {}
for addr, w in code.items():
    image[2 * addr] = w & 0xFF
    image[2 * addr + 1] = w >> 8
text = b"morvin blink example\0"
base = 2 * (main + len(prog))
for i, b in enumerate(text):
    image[base + i] = b
eeprom = b"\x01\x02\x03\x04morvin"
for i, b in enumerate(eeprom):
    image[FLASH_SIZE + i] = b

def record(addr, data, rtype=0):
    body = bytes([len(data), (addr >> 8) & 0xFF, addr & 0xFF, rtype]) + bytes(data)
    return ":" + body.hex().upper() + "%02X" % ((-sum(body)) & 0xFF)

lines = []
upper = 0
addrs = sorted(image)
i = 0
while i < len(addrs):
    start = addrs[i]
    chunk = [image[start]]
    while i + 1 < len(addrs) and addrs[i + 1] == start + len(chunk) and len(chunk) < 16:
        i += 1
        chunk.append(image[addrs[i]])
    i += 1
    if start >> 16 != upper:
        upper = start >> 16
        lines.append(record(0, [upper >> 8, upper & 0xFF], 4))
    lines.append(record(start & 0xFFFF, chunk))
lines.append(":00000001FF")
open(sys.argv[1] if len(sys.argv) > 1 else "blink-m328p.hex", "w").write("\n".join(lines) + "\n")
