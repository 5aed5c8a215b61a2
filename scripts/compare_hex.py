#!/usr/bin/env python3
"""compare_hex.py IMAGE FLASH_SIZE FLASH_READ EEPROM_READ
Checks that every byte of IMAGE (flash, with the EEPROM placed at FLASH_SIZE and
above) reads back the same from the two files read from the chip."""
import sys

def load(path):
    data, base = {}, 0
    for line in open(path):
        line = line.strip()
        if not line.startswith(":"):
            continue
        raw = bytes.fromhex(line[1:])
        count, addr, kind = raw[0], (raw[1] << 8) | raw[2], raw[3]
        if kind == 0:
            for i in range(count):
                data[base + addr + i] = raw[4 + i]
        elif kind == 4:
            base = ((raw[4] << 8) | raw[5]) << 16
        elif kind == 1:
            break
    return data

image, size = load(sys.argv[1]), int(sys.argv[2])
flash, eeprom = load(sys.argv[3]), load(sys.argv[4])
bad = 0
for addr, value in sorted(image.items()):
    got = flash.get(addr) if addr < size else eeprom.get(addr - size)
    if got != value:
        bad += 1
        print("0x%05X: image %02X, chip %s" % (addr, value, "--" if got is None else "%02X" % got))
print("%d image bytes compared, %d differ" % (len(image), bad))
sys.exit(1 if bad else 0)
