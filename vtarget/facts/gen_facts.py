#!/usr/bin/env python3
"""Generate vtarget/src/facts_data.cpp: the serial-programming facts of the chips the virtual
target models.

Sources, in order of precedence:
  1. DATASHEET: values written down below, each with the datasheet it comes from;
  2. avrdude's parts database (/etc/avrdude.conf, Debian package avrdude): instruction formats,
     page sizes, write and erase delays, readback values, fuse memories, calibration bytes;
  3. avr-libc's device headers (/usr/lib/avr/include/avr/io*.h, Debian package avr-libc):
     SIGNATURE_0..2, FLASHEND, E2END, SPM_PAGESIZE, E2PAGESIZE, FUSE_MEMORY_SIZE, the fuse
     defaults and the positions of FUSE_EESAVE, FUSE_RSTDISBL, FUSE_DWEN and FUSE_CKSEL0..3.
avrdude and avr-libc are cross-checked against each other (signature, sizes, page size).

Needs python3 and a host C compiler (the avr-libc headers are compiled on the host to evaluate
their constants). Usage: gen_facts.py [avrdude.conf] [avr-include-dir] > ../src/facts_data.cpp
"""
import copy
import os
import re
import subprocess
import sys
import tempfile

CONF = sys.argv[1] if len(sys.argv) > 1 else '/etc/avrdude.conf'
INC = sys.argv[2] if len(sys.argv) > 2 else '/usr/lib/avr/include'

# The chips to cover, by the names a user types (several names of one chip joined by '|').
CHIPS = """86RF401 90S1200 90S2313 90S4414 90S8515 90S4434 90S8535 90S2333 90S4433 90S2323 90S2343
tiny12 tiny22L tiny22 tiny13|tiny13A tiny2313 tiny15 tiny25 tiny45 tiny85 tiny43u tiny87 tiny167
tiny26 tiny261 tiny461 tiny861 tiny24 tiny44 tiny84 tiny48 tiny88 mega603 mega103 mega161 mega163
mega323 mega8515 mega8535 mega162 mega8 mega48 mega88 mega168 mega48P mega88P mega168P mega328P
mega16 mega32 mega64 mega128 90CAN32 90CAN64 90CAN128 90usb82 90usb162 mega8U2 mega16U2 mega32U2
mega16U4 mega32U4 mega32U6 90usb646|90usb647 90usb1286|90usb1287 mega644 mega164P|mega164PA
mega324P mega324PA mega644P|mega644PA mega1284P mega165|mega165P mega325 mega325P mega3250
mega3250P mega645 mega6450 mega169|mega169P mega329 mega329P mega3290 mega3290P mega649 mega6490
mega640 mega1280 mega1281 mega2560 mega2561 90pwm2|90pwm3 90pwm1|90pwm2B|90pwm3B
90pwm216|90pwm316 mega16M1 mega32M1 mega64M1 mega32C1 mega64C1 mega8HVA mega16HVA mega16HVB
mega32HVB mega8HVD""".split()

# Chips avrdude 7.1 does not describe: the instruction set of the named relative (same datasheet
# family) is used, sizes and fuses come from avr-libc or the DATASHEET entries below.
TEMPLATE = {
    '90S2323': 'AT90S2343',     # AT90S/LS2323 and AT90S/LS2343 share one datasheet
    'tiny22L': 'AT90S2343',     # ATtiny22/22L: the 2343 with a different signature
    'tiny22': 'AT90S2343',
    'mega603': 'ATmega103',     # ATmega603/103 share one datasheet
    'mega323': 'ATmega32',      # ATmega323 instruction set equals the ATmega32's
    'mega32U6': 'ATmega32U4',
    'mega16M1': 'ATmega32M1',
    'mega32C1': 'ATmega32M1',   # ATmega16M1/32M1/64M1/32C1/64C1 share one datasheet
    'mega64C1': 'ATmega64M1',
    'mega8HVA': 'ATmega168',    # serial programming set of the HVA/HVB/HVD parts equals the
    'mega16HVA': 'ATmega168',   # mega48/88/168 one (fuse bytes as avr-libc lists them)
    'mega16HVB': 'ATmega168',
    'mega32HVB': 'ATmega168',
    'mega8HVD': 'ATmega168',
}

# Signatures of chips that neither avrdude 7.1 nor avr-libc list (taken from the chip list).
SIGNATURE_FROM_LIST = {
    'mega603': (0x1E, 0x96, 0x01),
    'mega8HVA': (0x1E, 0x93, 0x10),
    'mega8HVD': (0x1E, 0x93, 0x12),
}

# ATtiny22L is the low-voltage grade of the ATtiny22: one avr-libc header serves both.
LIBC_ALIAS = {'tiny22L': 'tiny22'}

# AT90S/LS4434 and AT90S/LS8535 datasheet, Table 43: "Read Lock and Fuse Bits
# 0101 1000 xxxx xxxx xxxx xxxx 12Sx xxxF" (LB1 bit 7, LB2 bit 6, SPIEN bit 5, FSTRT bit 0) and
# "Write FSTRT Fuse 1010 1100 1011 111F". avrdude lists a 0x50 fuse read for these, which the
# datasheet does not have. The lock byte keeps the write command's layout (LB2 bit 2, LB1 bit 1).
# The 4434's signature is 1E 92 02 (datasheet, avrdude); avr-libc's io4434.h carries the 8535's.
DATASHEET_4434 = dict(signature=(0x1E, 0x92, 0x02), commands={
        'lock_read': '0101.1000--xxxx.xxxx--xxxx.xxxx--[o1][o2]xx.xxxx',
        'fuse0_read': '0101.1000--xxxx.xxxx--xxxx.xxxx--xx[o5]x.xxx[o0]',
        'fuse0_write': '1010.1100--1011.111[i0]--xxxx.xxxx--xxxx.xxxx'})
# AT90S/LS2323 and AT90S/LS2343 (and ATtiny22): "Read Lock and Fuse Bits ... 12Sx xxxR"
# (FSTRT on the 2323, RCEN on the 2343 and tiny22), "Write FSTRT/RCEN 1010 1100 1011 111F".
# avrdude's 2343 entry maps both reads onto bits 7..5,0 of each byte, which puts LB1/LB2 at
# other positions than its own lock write command does.
DATASHEET_2343 = dict(commands={
        'lock_read': '0101.1000--xxxx.xxxx--xxxx.xxxx--[o1][o2]xx.xxxx',
        'fuse0_read': '0101.1000--xxxx.xxxx--xxxx.xxxx--xx[o5]x.xxx[o0]',
        'fuse0_write': '1010.1100--1011.111[i0]--xxxx.xxxx--xxxx.xxxx'})

# DATASHEET values where the two sources have no entry or contradict the datasheet.
DATASHEET = {
    # AT86RF401 (1424D-RKE): Table 6, Serial Programming Instruction Set. 2 KB flash written
    # byte-wise, 128 B EEPROM (avr-libc io86r401.h agrees). The table lists no Read Signature and no
    # Read Lock; the common Read Signature encoding is assumed. Write times of the datasheet were
    # not available: the AT90S2313 values (4..9 ms) are assumed.
    '86RF401': dict(
        commands={
            'pgm_enable': '1010.1100--0101.0011--xxxx.xxxx--xxxx.xxxx',
            'chip_erase': '1010.1100--100x.xxxx--xxxx.xxxx--xxxx.xxxx',
            'flash_read_lo': '0010.0000--0000.00aa--aaaa.aaaa--oooo.oooo',
            'flash_read_hi': '0010.1000--0000.00aa--aaaa.aaaa--oooo.oooo',
            'flash_write_lo': '0100.0000--0000.00aa--aaaa.aaaa--iiii.iiii',
            'flash_write_hi': '0100.1000--0000.00aa--aaaa.aaaa--iiii.iiii',
            'eeprom_read': '1010.0000--0000.0000--xaaa.aaaa--oooo.oooo',
            'eeprom_write': '1100.0000--0000.0000--xaaa.aaaa--iiii.iiii',
            'lock_write': '1010.1100--111x.xiix--xxxx.xxxx--xxxx.xxxx',
            'signature_read': '0011.0000--xxxx.xxxx--xxxx.xxaa--oooo.oooo',
        },
        flash_page=0, eeprom_page=0, flash_write_us=9000, eeprom_write_us=9000,
        erase_us=20000, lock_write_us=9000, flash_readback=(0xFF, 0xFF),
        eeprom_readback=(0xFF, 0xFF), calibration_count=0),
    # ATmega164A/PA/324A/PA/644A/PA/1284/P datasheet: ATmega164P/PA signature 1E 94 0A (avrdude
    # agrees); avr-libc's iom164p.h carries 1E 94 0F, the ATmega164A's.
    'mega164P': dict(signature=(0x1E, 0x94, 0x0A)),
    # ATmega325P/3250P/3290P datasheets: signatures 1E 95 0D, 1E 95 0E, 1E 95 0C (avrdude
    # agrees); avr-libc's iom325p.h, iom3250p.h, iom3290p.h carry those of the non-P parts and
    # define no fuse bits. EESAVE is bit 3 of the high fuse byte, as on the 325/3250.
    'mega3290P': dict(signature=(0x1E, 0x95, 0x0C)),
    # RSTDISBL is bit 0 of the extended byte and CKSEL3..0 bits 3..0 of the low byte, as there.
    'mega325P': dict(signature=(0x1E, 0x95, 0x0D), eesave=(1, 3), rstdisbl=(2, 0), cksel=(0, 0x0F)),
    'mega3250P': dict(signature=(0x1E, 0x95, 0x0E), eesave=(1, 3), rstdisbl=(2, 0), cksel=(0, 0x0F)),
    # AT90USB82/162 datasheet, Fuse High Byte: DWEN bit 7, RSTDISBL bit 6 (avr-libc's iousb82.h
    # and iousb162.h leave RSTDISBL out).
    '90usb82': dict(rstdisbl=(1, 6)),
    '90usb162': dict(rstdisbl=(1, 6)),
    # ATmega603/103 datasheet: EESAVE is bit 3 of the fuse byte (avr-libc's iom103.h lists the
    # bits of another chip).
    'mega103': dict(eesave=(0, 3)),
    '90S4434': DATASHEET_4434,
    '90S8535': dict(DATASHEET_4434, signature=None),
    '90S2343': DATASHEET_2343,
    '90S2323': DATASHEET_2343,
    'tiny22': DATASHEET_2343,
    'tiny22L': DATASHEET_2343,
    # ATmega603/103 datasheet: 64 KB flash, 2 KB EEPROM on the 603 (avr-libc has no iom603.h).
    'mega603': dict(flash_size=65536, eeprom_size=2048, eesave=(0, 3)),
    # ATmega162 datasheet, Extended Fuse Byte: M161C is bit 4, BODLEVEL2..0 bits 3..1, bits 7..5
    # and 0 unused (avr-libc iom162.h agrees); avrdude 7.1 writes bits 2..0.
    'mega162': dict(commands={'fuse2_write': '1010.1100--1010.0100--xxxx.xxxx--111i.iii1'}),
    # ATtiny26(L) datasheet, Table 61: "Read Lock Bits 0101 1000 0000 0000 xxxx xxxx xxxx xxoo",
    # "Write Lock Bits 1010 1100 111x xxxx xxxx xxxx 1111 11ii"; ATtiny261/461/861 datasheet:
    # "Read Lock bits $58 $00 $00 data byte out", "Write Lock bits $AC $E0 $00 data byte in".
    # avrdude 7.1 puts the lock bits into the second byte of the write, and leaves the second
    # byte of the read open, which would also take the high fuse read (0x58 0x08).
    'tiny26': dict(commands={'lock_read': '0101.1000--0000.0000--xxxx.xxxx--xxxx.xxoo',
                         'lock_write': '1010.1100--111x.xxxx--xxxx.xxxx--1111.11ii'}),
    'tiny261': dict(commands={'lock_read': '0101.1000--0000.0000--xxxx.xxxx--xxxx.xxoo',
                         'lock_write': '1010.1100--111x.xxxx--xxxx.xxxx--1111.11ii'}),
    'tiny461': dict(commands={'lock_read': '0101.1000--0000.0000--xxxx.xxxx--xxxx.xxoo',
                         'lock_write': '1010.1100--111x.xxxx--xxxx.xxxx--1111.11ii'}),
    'tiny861': dict(commands={'lock_read': '0101.1000--0000.0000--xxxx.xxxx--xxxx.xxoo',
                         'lock_write': '1010.1100--111x.xxxx--xxxx.xxxx--1111.11ii'}),
    # ATmega8 datasheet, Data Polling Flash: a location of the page being programmed reads 0xFF.
    # avrdude's second readback value (0x00) is not what the chip returns.
    'mega8': dict(flash_readback=(0xFF, 0xFF)),
    # ATmega323 datasheet: one calibration byte (1 MHz), at signature address 0 (the ATmega32's
    # four bytes do not apply).
    'mega323': dict(calibration_count=1,
                    commands={'calibration_read': '0011.1000--00xx.xxxx--0000.0000--oooo.oooo'}),
    # ATtiny25/45/85 datasheet, Calibration Bytes: two bytes, for 8.0 MHz (address 0) and for the
    # 6.4 MHz ATtiny15 compatibility mode (address 1); avrdude's read decodes both.
    'tiny25': dict(calibration_count=2),
    'tiny45': dict(calibration_count=2),
    'tiny85': dict(calibration_count=2),
    # ATmega4HVD/8HVD datasheet: 8 KB flash in 64-word pages, 256 B EEPROM (no avr-libc header).
    'mega8HVD': dict(flash_size=8192, flash_page=128, eeprom_size=256, eeprom_page=4,
                     fuse_count=1, fuse_factory=(0xDE, 0xFF, 0xFF)),
}

# AT90S datasheets: SPIEN (bit 5 of the fuse byte as read) is always programmed on a part that
# answers serial programming; avr-libc gives 0xFF for these.
SPIEN_PROGRAMMED = {'90S4434', '90S8535', '90S2323', '90S2343', '90S2333', '90S4433'}

# AVR910 application note and AT90S1200 datasheet: the 1200 gives no echo of Programming
# Enable and needs SCK low > 1 and high > 4 XTAL1 cycles.
NO_ENABLE_ECHO = {'90S1200'}
SCK_CLOCKS = {'90S1200': (2, 5)}

# Datasheets of these chips say: if 0x53 did not echo back, give SCK a positive pulse and issue a
# new Programming Enable. All later chips (and the 1200, which has no way back) need a RESET pulse.
RESYNC_BY_SCK = {'90S2313', '90S4414', '90S8515', '90S4434', '90S8535', '90S2333', '90S4433',
                 '90S2323', '90S2343', 'tiny12', 'tiny15', 'tiny22L', 'tiny22', 'mega603',
                 'mega103', 'mega161', 'mega163', 'mega323'}

# AT90S datasheets: "The signature bytes are not readable in lock mode 3" (reads give 00 01 02).
SIGNATURE_HIDDEN = {'90S1200', '90S2313', '90S4414', '90S8515', '90S4434', '90S8535', '90S2333',
                    '90S4433', '90S2323', '90S2343', 'tiny22L', 'tiny22'}

# Datasheets with the STK500 "Poll RDY/BSY" instruction: 1111 0000 0000 0000 xxxx xxxx xxxx xxxo.
# The chips that have it are those whose avrdude entry selects RDY/BSY polling in the STK500v2
# mode byte of flash or EEPROM (bit 3 word mode, bit 6 page mode).
POLL_PATTERN = '1111.0000--0000.0000--xxxx.xxxx--xxxx.xxxo'


def die(msg):
    sys.stderr.write('gen_facts: ' + msg + '\n')
    sys.exit(1)


def parse_conf(path):
    """Parts of avrdude.conf by id, with 'part parent' inheritance resolved."""
    parts = {}
    cur = mem = None
    pending = ''

    def value(s):
        s = s.strip().rstrip(';').strip()
        if s.startswith('"') and s.endswith('"') and s.count('"') == 2:
            return s[1:-1]
        return s

    for raw in open(path, encoding='utf-8', errors='replace'):
        s = raw.split('#', 1)[0].strip()
        if not s:
            continue
        if cur is None:
            m = re.match(r'^part(\s+parent\s+"([^"]+)")?$', s)
            if m:
                cur = copy.deepcopy(parts[m.group(2)]) if m.group(2) else {'mem': {}}
                mem = None
            continue
        if pending:
            pending += ' ' + s
            if s.endswith(';'):
                k, v = pending.split('=', 1)
                (mem if mem is not None else cur)[k.strip()] = value(v)
                pending = ''
            continue
        if s == ';':
            if mem is not None:
                mem = None
            else:
                parts[cur['id']] = cur
                cur = None
            continue
        m = re.match(r'^memory\s+"([^"]+)"\s*=\s*NULL\s*;$', s)
        if m:
            cur['mem'].pop(m.group(1), None)
            continue
        m = re.match(r'^memory\s+"([^"]+)"$', s)
        if m:
            mem = cur['mem'].setdefault(m.group(1), {})
            continue
        if '=' in s:
            if s.endswith(';'):
                k, v = s.split('=', 1)
                (mem if mem is not None else cur)[k.strip()] = value(v)
            else:
                pending = s
    return parts


def num(s, default=None):
    if s is None:
        return default
    return int(s.split()[0], 0)


# Fuse bits whose positions come from the avr-libc headers (byte index, bit).
FUSE_BIT_MACROS = ('FUSE_RSTDISBL', 'FUSE_DWEN', 'FUSE_CKSEL0', 'FUSE_CKSEL1', 'FUSE_CKSEL2',
                   'FUSE_CKSEL3')

# CKSEL values that switch the chip's clock to the XTAL1 pin (external clock), from the clock
# option tables of the datasheets. Chips with an internal RC oscillator select the external
# clock with CKSEL = 0000 (two-bit CKSEL: 00) unless listed here; chips without an internal
# oscillator (no calibration byte) always run from the board's crystal or clock.
CKSEL_EXTERNAL = {
    'tiny15': (),           # ATtiny15L datasheet: internal RC oscillator (and PLL) only
}


def header_macros():
    """Map lower-case device name -> (macro, header file) from avr/io.h."""
    text = open(os.path.join(INC, 'avr/io.h')).read()
    out = {}
    for m in re.finditer(r'defined\s*\(__AVR_(\w+)__\)\s*\n#\s*include\s*<avr/(\w+\.h)>', text):
        out[m.group(1).lower()] = (m.group(1), m.group(2))
    return out


def libc_facts(macro, header):
    """Constants of one device header, evaluated by compiling it on the host."""
    keys = ['SIGNATURE_0', 'SIGNATURE_1', 'SIGNATURE_2', 'FLASHEND', 'E2END', 'SPM_PAGESIZE',
            'E2PAGESIZE', 'FUSE_MEMORY_SIZE', 'LFUSE_DEFAULT', 'HFUSE_DEFAULT', 'EFUSE_DEFAULT',
            'FUSE_DEFAULT']
    src = '#include <avr/io.h>\n#include <stdio.h>\nint main(void){\n'
    for k in keys:
        src += '#ifdef %s\nprintf("%s=%%lu\\n",(unsigned long)(%s));\n#endif\n' % (k, k, k)
    src += 'return 0;}\n'
    with tempfile.TemporaryDirectory() as d:
        c = os.path.join(d, 'f.c')
        exe = os.path.join(d, 'f')
        open(c, 'w').write(src)
        r = subprocess.run(['cc', '-w', '-I' + INC, '-D__AVR_%s__' % macro, c, '-o', exe],
                           capture_output=True, text=True)
        if r.returncode != 0:
            die('cannot evaluate %s: %s' % (header, r.stderr[:300]))
        outp = subprocess.run([exe], capture_output=True, text=True).stdout
    vals = {}
    for line in outp.split():
        k, v = line.split('=')
        vals[k] = int(v)
    for k in ('LFUSE_DEFAULT', 'HFUSE_DEFAULT', 'EFUSE_DEFAULT', 'FUSE_DEFAULT'):
        if k in vals:
            vals[k] &= 0xFF
    # Which fuse byte holds EESAVE: fuse bits are defined before the *_DEFAULT of their byte.
    text = open(os.path.join(INC, 'avr', header), encoding='latin-1').read()
    seen_eesave = None
    seen = {}   # the other fuse bits of the byte being defined: macro -> bit
    for m in re.finditer(r'#\s*define\s+(\w+)\s+(.*)', text):
        name, body = m.group(1), m.group(2)
        bit = re.search(r'_BV\((\d)\)', body)
        if name == 'FUSE_EESAVE':
            seen_eesave = int(bit.group(1)) if bit else None
        elif name in FUSE_BIT_MACROS and bit:
            seen[name] = int(bit.group(1))
        elif name in ('LFUSE_DEFAULT', 'HFUSE_DEFAULT', 'EFUSE_DEFAULT', 'FUSE_DEFAULT'):
            index = {'LFUSE_DEFAULT': 0, 'FUSE_DEFAULT': 0, 'HFUSE_DEFAULT': 1,
                     'EFUSE_DEFAULT': 2}[name]
            if seen_eesave is not None and 'eesave' not in vals:
                vals['eesave'] = (index, seen_eesave)
            for macro, pos in seen.items():
                vals.setdefault(macro, (index, pos))
            seen = {}
    vals['header'] = header
    return vals


def pattern_bits(pat, ch):
    """Positions (0..31, 31 = MSB of byte 1) of the compact-format bits equal to ch."""
    bits = [c for c in pat if c not in '.-_/ ']
    if len(bits) != 32:
        die('bad pattern ' + pat)
    return [31 - i for i, c in enumerate(bits) if c == ch]


MEMOPS = {
    'flash': {'read_lo': 'flash_read_lo', 'read_hi': 'flash_read_hi', 'write_lo': 'flash_write_lo',
              'write_hi': 'flash_write_hi', 'loadpage_lo': 'flash_load_lo',
              'loadpage_hi': 'flash_load_hi', 'writepage': 'flash_write_page',
              'load_ext_addr': 'load_ext_addr'},
    'eeprom': {'read': 'eeprom_read', 'write': 'eeprom_write', 'loadpage_lo': 'eeprom_load',
               'writepage': 'eeprom_write_page'},
    'signature': {'read': 'signature_read'},
    'calibration': {'read': 'calibration_read'},
    'lock': {'read': 'lock_read', 'write': 'lock_write'},
    'fuse': {'read': 'fuse0_read', 'write': 'fuse0_write'},
    'lfuse': {'read': 'fuse0_read', 'write': 'fuse0_write'},
    'hfuse': {'read': 'fuse1_read', 'write': 'fuse1_write'},
    'efuse': {'read': 'fuse2_read', 'write': 'fuse2_write'},
}
FUSE_INDEX = {'fuse': 0, 'lfuse': 0, 'hfuse': 1, 'efuse': 2}


def agree(alt, bydesc, macros):
    p = bydesc.get('at' + alt.lower())
    hm = macros.get('at' + alt.lower())
    if not p or not hm:
        return False
    lf = libc_facts(*hm)
    return tuple(int(x, 0) for x in p['signature'].split()) == (
        lf.get('SIGNATURE_0'), lf.get('SIGNATURE_1'), lf.get('SIGNATURE_2'))


def build(names, parts, bydesc, macros):
    first = names.split('|')[0]
    src = []
    # Of several names, take the one whose avrdude entry and avr-libc header agree on the
    # signature (avrdude's "ATmega165" is the 165A, the ATmega165P entry is the 165/165P).
    part = None
    for alt in sorted(names.split('|'), key=lambda a: not agree(a, bydesc, macros)):
        part = bydesc.get('at' + alt.lower())
        if part:
            break
    template = False
    if part is None and first in TEMPLATE:
        part = bydesc[TEMPLATE[first].lower()]
    template = part is not None and part.get('desc', '').lower() not in (
        'at' + a.lower() for a in names.split('|'))
    sized_elsewhere = template or part is None
    ds = DATASHEET.get(first, {})
    spien = first in SPIEN_PROGRAMMED
    if part is None and 'commands' not in ds:
        die('no source for ' + names)
    if part is not None:
        src.append('avrdude %s%s' % (part['id'], ' (relative)' if template else ''))
    template = sized_elsewhere

    libc = None
    alts = sorted(names.split('|'), key=lambda a: not agree(a, bydesc, macros))
    for alt in alts + [LIBC_ALIAS.get(first, first)]:
        hm = macros.get('at' + alt.lower())
        if hm:
            libc = libc_facts(*hm)
            src.append('avr-libc ' + libc['header'])
            break
    if ds:
        src.append('datasheet')

    f = {'names': names}
    mem = part['mem'] if part else {}

    # signature
    sig = None
    if libc and 'SIGNATURE_0' in libc:
        sig = (libc['SIGNATURE_0'], libc['SIGNATURE_1'], libc['SIGNATURE_2'])
    if ds.get('signature'):
        sig = ds['signature']
    if part and not template:
        asig = tuple(int(x, 0) for x in part['signature'].split())
        if sig and sig != asig:
            die('%s: signature differs: avr-libc %s avrdude %s' % (names, sig, asig))
        sig = asig
    if sig is None:
        sig = SIGNATURE_FROM_LIST.get(first)
    if sig is None:
        die('no signature for ' + names)
    f['signature'] = sig

    # sizes
    fl = mem.get('flash', {})
    ee = mem.get('eeprom', {})
    f['flash_size'] = num(fl.get('size'), 0) if not template else 0
    f['flash_page'] = num(fl.get('page_size'), 0) if fl.get('paged') == 'yes' or 'writepage' in fl else 0
    f['eeprom_size'] = num(ee.get('size'), 0) if not template else 0
    f['eeprom_page'] = num(ee.get('page_size'), 0) if 'writepage' in ee else 0
    if libc:
        lf = libc.get('FLASHEND', -1) + 1
        le = libc.get('E2END', -1) + 1
        if not template:
            if lf and lf != f['flash_size']:
                die('%s: flash size differs: %d / %d' % (names, lf, f['flash_size']))
            if le and le != f['eeprom_size']:
                die('%s: EEPROM size differs: %d / %d' % (names, le, f['eeprom_size']))
            if f['flash_page'] and libc.get('SPM_PAGESIZE', f['flash_page']) != f['flash_page']:
                die('%s: page size differs' % names)
        else:
            f['flash_size'], f['eeprom_size'] = lf, le
            if f['flash_page']:
                f['flash_page'] = libc.get('SPM_PAGESIZE', f['flash_page'])
            if f['eeprom_page']:
                f['eeprom_page'] = libc.get('E2PAGESIZE', f['eeprom_page'])

    f['flash_write_us'] = num(fl.get('max_write_delay'), 0)
    f['eeprom_write_us'] = num(ee.get('max_write_delay'), 0)
    f['erase_us'] = num(part.get('chip_erase_delay'), 0) if part else 0
    fuse_mems = [m for m in ('fuse', 'lfuse', 'hfuse', 'efuse') if m in mem and 'write' in mem[m]]
    f['fuse_write_us'] = max([num(mem[m].get('max_write_delay'), 0) for m in fuse_mems] or [0])
    f['lock_write_us'] = num(mem.get('lock', {}).get('max_write_delay'), 0)
    rb = fl.get('readback')
    f['flash_readback'] = tuple(int(x, 0) for x in rb.split()) if rb else (0xFF, 0xFF)
    rb = ee.get('readback')
    f['eeprom_readback'] = tuple(int(x, 0) for x in rb.split()) if rb else (0xFF, 0xFF)

    # commands
    cmds = {}
    if part:
        cmds['pgm_enable'] = part['pgm_enable']
        cmds['chip_erase'] = part['chip_erase']
        for mname, ops in MEMOPS.items():
            for k, op in ops.items():
                if mname in mem and k in mem[mname]:
                    cmds[op] = mem[mname][k]
    cmds.update(ds.get('commands', {}))
    modes = [num(fl.get('mode'), 0), num(ee.get('mode'), 0)]
    if any(m & 0x48 for m in modes):
        cmds['poll_busy'] = POLL_PATTERN

    # fuses
    present = sorted({FUSE_INDEX[m] for m in fuse_mems})
    if libc and template and libc.get('FUSE_MEMORY_SIZE') is not None:
        present = [i for i in present if i < libc['FUSE_MEMORY_SIZE']]
        for i in (0, 1, 2):
            if i not in present:
                cmds.pop('fuse%d_read' % i, None)
                cmds.pop('fuse%d_write' % i, None)
    if 'fuse_count' in ds:
        present = list(range(ds['fuse_count']))
        for i in (1, 2):
            if i not in present:
                cmds.pop('fuse%d_read' % i, None)
                cmds.pop('fuse%d_write' % i, None)
    f['fuse_count'] = len(present)
    if present != list(range(len(present))):
        die('%s: fuse bytes not contiguous' % names)
    writable = [0, 0, 0]
    for i in present:
        w = cmds.get('fuse%d_write' % i)
        if w:
            writable[i] = fuse_bits(w, 'i')
    f['fuse_writable'] = writable
    factory = [0xFF, 0xFF, 0xFF]
    if libc:
        if 'FUSE_DEFAULT' in libc:
            factory[0] = libc['FUSE_DEFAULT']
        for i, k in enumerate(('LFUSE_DEFAULT', 'HFUSE_DEFAULT', 'EFUSE_DEFAULT')):
            if k in libc:
                factory[i] = libc[k]
    if 'fuse_factory' in ds:
        factory = list(ds['fuse_factory'])
    if spien:
        factory[0] &= ~0x20
    f['fuse_factory'] = factory
    pc = 0
    for m in fuse_mems:
        if mem[m].get('pwroff_after_write') == 'yes':
            pc |= 1 << FUSE_INDEX[m]
    f['fuse_powercycle'] = pc
    es = libc.get('eesave') if libc else None
    if 'eesave' in ds:
        es = ds['eesave']
    if first == 'mega8HVD':
        es = (0, 6)   # ATmega8HVD datasheet: EESAVE is bit 6 of the only fuse byte, as on the HVA
    f['eesave'] = es if es and es[0] < f['fuse_count'] else None

    # lock bits: of the lock write command's data bits the lowest is LB1, the next LB2
    lw = cmds.get('lock_write')
    if not lw:
        die(names + ': no lock write command')
    lbits = sorted(fuse_bits_list(lw, 'i'))
    f['lb1'], f['lb2'] = lbits[0], lbits[1]
    f['lock_factory'] = 0xFF
    f['calibration_count'] = num(mem.get('calibration', {}).get('size'), 0)
    if 'calibration_count' in ds:
        f['calibration_count'] = ds['calibration_count']
    if f['calibration_count'] == 0:
        cmds.pop('calibration_read', None)

    def fuse_position(macro):
        pos = libc.get(macro) if libc else None
        return pos if pos and pos[0] < f['fuse_count'] else None
    f['rstdisbl'] = ds.get('rstdisbl', fuse_position('FUSE_RSTDISBL'))
    f['dwen'] = ds.get('dwen', fuse_position('FUSE_DWEN'))
    if first == 'mega8HVD':
        f['dwen'] = (0, 4)   # ATmega8HVD datasheet: DWEN is bit 4 of the only fuse byte, as on the HVA
    cksel = [fuse_position('FUSE_CKSEL%d' % k) for k in range(4)]
    cksel = [c for c in cksel if c]
    if cksel and len({c[0] for c in cksel}) == 1:
        cksel = (cksel[0][0], sum(1 << c[1] for c in cksel))
    else:
        cksel = None
    cksel = ds.get('cksel', cksel)
    f['cksel'] = None
    external = CKSEL_EXTERNAL.get(first, (0,))
    if cksel and f['calibration_count'] > 0 and external:
        f['cksel'] = cksel + (sum(1 << v for v in external),)

    for k in ('flash_size', 'flash_page', 'eeprom_size', 'eeprom_page', 'flash_write_us',
              'eeprom_write_us', 'erase_us', 'lock_write_us', 'flash_readback', 'eeprom_readback'):
        if k in ds:
            f[k] = ds[k]
    if f['lock_write_us'] == 0:
        f['lock_write_us'] = f['erase_us']

    f['sck'] = SCK_CLOCKS.get(first, (0, 0))
    f['enable_echo'] = first not in NO_ENABLE_ECHO
    f['resync_by_sck'] = first in RESYNC_BY_SCK
    f['sig_hidden'] = first in SIGNATURE_HIDDEN
    # Chips that take the lock byte in the fourth byte (0xAC 0xE0 .. data) lock their fuses with
    # LB1 ("The Fuse bits are locked in both Serial and Parallel Programming mode"); the older
    # lock command (data in the second byte) leaves the fuse command working.
    f['fuses_locked'] = bool(fuse_bits_list(lw, 'i')) and all(
        p < 8 for p in pattern_bits(lw, 'i'))
    if template:
        # a relative with a smaller memory decodes fewer address bits: widen to this chip's size
        for op, size in (('flash_read_lo', f['flash_size'] // 2), ('flash_read_hi', f['flash_size'] // 2),
                         ('flash_write_page', f['flash_size'] // 2),
                         ('eeprom_read', f['eeprom_size']), ('eeprom_write', f['eeprom_size']),
                         ('eeprom_write_page', f['eeprom_size'])):
            if op in cmds:
                cmds[op] = widen(cmds[op], size.bit_length() - 1)
    f['commands'] = cmds
    f['source'] = '; '.join(src)
    return f


def tokens(pat):
    out = []
    i = 0
    while i < len(pat):
        c = pat[i]
        if c in '.-_/ ':
            i += 1
        elif c == '[':
            j = pat.index(']', i)
            out.append(pat[i + 1:j])
            i = j + 1
        else:
            out.append(c)
            i += 1
    if len(out) != 32:
        die('bad pattern ' + pat)
    return out


def fuse_bits_list(pat, ch):
    """Data bit numbers carried by the ch ('i' or 'o') tokens of a pattern."""
    out = []
    for pos, t in enumerate(tokens(pat)):
        if t == ch:
            out.append(7 - pos % 8)
        elif len(t) > 1 and t[0] == ch:
            out.append(int(t[1:]))
    return out


def fuse_bits(pat, ch):
    v = 0
    for b in fuse_bits_list(pat, ch):
        v |= 1 << b
    return v


def widen(pat, nbits):
    """The compact pattern with address bits up to a<nbits-1> (address bits count up from the
    third byte's bit 0)."""
    t = tokens(pat)
    for n in range(nbits):
        i = 31 - (n + 8)
        if t[i] in '0x':
            t[i] = 'a'
    out = ''.join(t)
    return '--'.join(out[k:k + 4] + '.' + out[k + 4:k + 8] for k in range(0, 32, 8))


def cstr(s):
    return '"' + s.replace('\\', '\\\\').replace('"', '\\"') + '"'


def main():
    parts = parse_conf(CONF)
    bydesc = {p.get('desc', '').lower(): p for p in parts.values()}
    macros = header_macros()
    facts = [build(n, parts, bydesc, macros) for n in CHIPS]
    sigs = {}
    for f in facts:
        sigs.setdefault(f['signature'], []).append(f['names'])

    print('// Generated by vtarget/facts/gen_facts.py from avrdude.conf (avrdude 7.1) and the')
    print('// avr-libc device headers; do not edit. Regenerate: python3 gen_facts.py > facts_data.cpp')
    print('#include "vtarget/chip_facts.h"\n')
    print('namespace vt {\n')
    print('const chip_facts chip_facts_table[] = {')
    for f in facts:
        es = f['eesave']
        print('    {%s,\n     %s,' % (cstr(f['names']), cstr(f['source'])))
        print('     {0x%02X, 0x%02X, 0x%02X}, %d, %d, %d, %d,' % (
            f['signature'] + (f['flash_size'], f['flash_page'], f['eeprom_size'], f['eeprom_page'])))
        print('     %d, %d, %d, %d, %d,' % (f['flash_write_us'], f['eeprom_write_us'], f['erase_us'],
                                           f['fuse_write_us'], f['lock_write_us']))
        print('     {0x%02X, 0x%02X}, {0x%02X, 0x%02X},' % (f['flash_readback'] + f['eeprom_readback']))
        print('     %d, {0x%02X, 0x%02X, 0x%02X}, {0x%02X, 0x%02X, 0x%02X}, 0x%X, %d, %d,' % (
            (f['fuse_count'],) + tuple(f['fuse_factory']) + tuple(f['fuse_writable']) +
            (f['fuse_powercycle'], es[0] if es else -1, es[1] if es else 0)))
        print('     0x%02X, %d, %d, %d, %d, %d,' % (f['lock_factory'], f['lb1'], f['lb2'],
                                                  f['calibration_count'], f['sck'][0], f['sck'][1]))
        print('     %s, %s, %s, %s,' % tuple('true' if f[k] else 'false' for k in (
            'enable_echo', 'resync_by_sck', 'sig_hidden', 'fuses_locked')))
        rd, dw, ck = f['rstdisbl'], f['dwen'], f['cksel']
        print('     %d, %d, %d, %d, %d, 0x%02X, 0x%04X,' % (
            rd[0] if rd else -1, rd[1] if rd else 0, dw[0] if dw else -1, dw[1] if dw else 0,
            ck[0] if ck else -1, ck[1] if ck else 0, ck[2] if ck else 0))
        cmds = ';'.join('%s=%s' % (k, v) for k, v in sorted(f['commands'].items()))
        print('     %s},' % cstr(cmds))
    print('};\n')
    print('const size_t chip_facts_count = sizeof chip_facts_table / sizeof chip_facts_table[0];\n')
    print('}  // namespace vt')


if __name__ == '__main__':
    main()
