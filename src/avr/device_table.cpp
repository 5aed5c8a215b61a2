// The built-in device table: every supported chip, its memories, timing,
// programming quirks and fuse layout. All chip knowledge lives here.
#include "avr/devices.h"

// ---------------------------------------------------------------------------
// Fuse field meanings, shared by every chip that has them.

const fuse_info_t fuse_infos[] = {
    {"FSTRT", "Fast start", nullptr},
    {"BODLEVEL", "Brown-out level", "BLEV"},
    {"BODEN", "Brown-out detect", nullptr},
    {"CKSEL", "Clock selection", nullptr, lockout_clock_values,
     "selects a clock source that needs an external clock or crystal: without one the chip "
     "stops, and can't be programmed until a clock is supplied"},
    {"RCEN", "RC generator enable", nullptr},
    {"SPIEN", "SPI programming enable", nullptr, lockout_if_unprogrammed,
     "turns serial programming off: the chip can't be programmed in-system again, "
     "only a high-voltage programmer recovers it"},
    {"RSTDISBL", "Reset pin disable", "RSTDSBL", lockout_if_programmed,
     "makes the RESET pin an I/O pin: the chip can't enter serial programming again, "
     "only a high-voltage programmer recovers it"},
    {"EESAVE", "Keep EEPROM @ erase", "EESV"},
    {"WDTON", "WDT enable", nullptr},
    {"CKDIV", "clock prescaler selection", "CKDIV8"},
    {"SUT", "Start-up timer", nullptr},
    {"SELFPRGEN", "Self programming enable", "SPMEN"},
    {"DWEN", "DebugWire enable", nullptr, lockout_if_programmed,
     "gives the RESET pin to debugWIRE: the chip can't enter serial programming again "
     "until a debugWIRE debugger turns it off, or a high-voltage programmer recovers it"},
    {"CKOUT", "clock output enable", nullptr},
    {"PLLCK", "Use PLL for internal clock", nullptr},
    {"CKOPT", "Clock option", nullptr},
    {"BLB1", "Disable SPM/LPM in boot section (BLB12,BLB11)", nullptr},
    {"BLB0", "Disable SPM/LPM in application section (BLB02,BLB01)", nullptr},
    {"BOOTRST", "Reset to boot block", "BRST"},
    {"BOOTSZ", "Boot section size", "BSIZ"},
    {"OCDEN", "On-chip debug enable", nullptr},
    {"JTAGEN", "JTAG port enable", nullptr},
    {"S8515C", "90S8515 compatibility enable", nullptr},
    {"S8535C", "90S8535 compatibility enable", nullptr},
    {"M161C", "mega161 compatibility enable", nullptr},
    {"M103C", "mega103 compatibility enable", nullptr},
    {"HWBE", "Hardwre Boot Enable", nullptr},
    {"PSC2RB", "PSC2 reset behavior", nullptr},
    {"PSC1RB", "PSC1 reset behavior", nullptr},
    {"PSC0RB", "PSC0 reset behavior", nullptr},
    {"PSCRV", "PSC reset value", nullptr},
    {"PSCRB", "PSC reset behavior", nullptr},
    {"PSCRVA", "PSCA reset value", nullptr},
    {"PSCRVB", "PSCB reset value", nullptr},
    {"DUVRDINIT", "DUVRD register reset value", nullptr},
};
const int fuse_info_count = sizeof(fuse_infos) / sizeof(fuse_infos[0]);

namespace {

enum fuse_id_t {
    FSTRT, BODLEVEL, BODEN, CKSEL, RCEN, SPIEN, RSTDISBL, EESAVE, WDTON, CKDIV,
    SUT, SELFPRGEN, DWEN, CKOUT, PLLCK, CKOPT, BLB1, BLB0, BOOTRST, BOOTSZ,
    OCDEN, JTAGEN, S8515C, S8535C, M161C, M103C, HWBE, PSC2RB, PSC1RB, PSC0RB,
    PSCRV, PSCRB, PSCRVA, PSCRVB, DUVRDINIT,
};

// One field covering bits high..low of its byte.
constexpr fuse_field_t F(fuse_id_t id, int high, int low)
{
    return fuse_field_t{&fuse_infos[id], high - low + 1, low, 0};
}
constexpr fuse_field_t F(fuse_id_t id, int bit)
{
    return F(id, bit, bit);
}
constexpr fuse_field_t END = {nullptr, 0, 0, 0};

// A clock selection field; bit v of external is set when value v needs an
// external clock, crystal or resonator (datasheet clock option tables).
constexpr fuse_field_t CK(int high, int low, uint16_t external)
{
    return fuse_field_t{&fuse_infos[CKSEL], high - low + 1, low, external};
}

// CKSEL value sets. Only values whose meaning is certain for every chip of a
// list are marked; reserved values are left alone.
// 0000 external clock, 0001-0100 calibrated RC, 0101-1000 external RC,
// 1001 low-frequency crystal, 1010-1111 crystal (mega8, mega16, tiny26 ...)
constexpr uint16_t cksel_rc_1_to_4 = 0xFFE1;
// 0000 external clock, 0001 external clock or reserved, 0010-0100 internal RC,
// 0101-0111 external RC, 1000-1001 low-frequency crystal, 1010-1111 crystal
// (tiny12, mega163, mega323)
constexpr uint16_t cksel_rc_2_to_4 = 0xFFE3;
// 0000 external clock, 1000-1111 crystal or resonator; the values between
// differ by family (internal RC, 128 kHz, PLL, low-frequency crystal)
constexpr uint16_t cksel_ext_0_crystal_8_up = 0xFF01;
// two-bit CKSEL: 00 external clock, the others internal oscillators (tiny13, tiny48)
constexpr uint16_t cksel2_ext_0 = 0x0001;

// Shared field lists.
const fuse_field_t none[] = {END};
const fuse_field_t boot_lock[] = {F(BLB1, 5, 4), F(BLB0, 3, 2), END};

// ---------------------------------------------------------------------------
// Fuse layouts: field lists by slot (_LOCK, _LOW, _HIGH, _EXT).

const fuse_field_t L1_low[] = {F(FSTRT, 0), END};
const fuse_field_t *const L1[] = {none, L1_low, nullptr};

// No internal oscillator: CKSEL only picks the start-up time of the crystal or clock.
const fuse_field_t L2_low[] = {F(BODLEVEL, 4), F(BODEN, 3), F(CKSEL, 2, 0), END};
const fuse_field_t *const L2[] = {none, L2_low, nullptr};

const fuse_field_t L3_low[] = {F(RCEN, 0), END};
const fuse_field_t *const L3[] = {none, L3_low, nullptr};

const fuse_field_t L4_low[] = {F(BODLEVEL, 7), F(BODEN, 6), F(SPIEN, 5), F(RSTDISBL, 4),
                               CK(3, 0, cksel_rc_2_to_4), END};
const fuse_field_t *const L4[] = {none, L4_low, nullptr};

const fuse_field_t L5_low[] = {F(EESAVE, 6), F(WDTON, 5), F(CKDIV, 4), F(SUT, 3, 2),
                               CK(1, 0, cksel2_ext_0), END};
const fuse_field_t L5_high[] = {F(SELFPRGEN, 4), F(DWEN, 3), F(BODLEVEL, 2, 1),
                                F(RSTDISBL, 0), END};
const fuse_field_t *const L5[] = {none, L5_low, L5_high, nullptr};

const fuse_field_t ckdiv_low[] = {F(CKDIV, 7), F(CKOUT, 6), F(SUT, 5, 4),
                                  CK(3, 0, cksel_ext_0_crystal_8_up), END};
const fuse_field_t selfprg_ext[] = {F(SELFPRGEN, 0), END};

const fuse_field_t L6_high[] = {F(DWEN, 7), F(EESAVE, 6), F(WDTON, 4), F(BODLEVEL, 3, 1),
                                F(RSTDISBL, 0), END};
const fuse_field_t *const L6[] = {none, ckdiv_low, L6_high, selfprg_ext, nullptr};

// Internal RC oscillator only: CKSEL picks the start-up time.
const fuse_field_t L7_low[] = {F(BODLEVEL, 7), F(BODEN, 6), F(SPIEN, 5), F(RSTDISBL, 4),
                               F(CKSEL, 1, 0), END};
const fuse_field_t *const L7[] = {none, L7_low, nullptr};

const fuse_field_t L8_high[] = {F(RSTDISBL, 7), F(DWEN, 6), F(WDTON, 4), F(EESAVE, 3),
                                F(BODLEVEL, 2, 0), END};
const fuse_field_t *const L8[] = {none, ckdiv_low, L8_high, selfprg_ext, nullptr};

const fuse_field_t L9_low[] = {F(PLLCK, 7), F(CKOPT, 6), F(SUT, 5, 4), CK(3, 0, cksel_rc_1_to_4),
                              END};
const fuse_field_t L9_high[] = {F(RSTDISBL, 4), F(EESAVE, 2), F(BODLEVEL, 1), F(BODEN, 0),
                                END};
const fuse_field_t *const L9[] = {none, L9_low, L9_high, nullptr};

const fuse_field_t L10_low[] = {F(CKDIV, 7), F(CKOUT, 6), F(SUT, 5, 4), CK(1, 0, cksel2_ext_0),
                               END};
const fuse_field_t *const L10[] = {none, L10_low, L8_high, selfprg_ext, nullptr};

const fuse_field_t L11_low[] = {F(EESAVE, 3), F(SUT, 1, 0), END};
const fuse_field_t *const L11[] = {none, L11_low, nullptr};

// Crystal or external clock whatever CKSEL says: it only picks the start-up time.
const fuse_field_t L12_low[] = {F(BOOTRST, 6), F(SUT, 4), F(CKSEL, 2, 0), END};
const fuse_field_t *const L12[] = {boot_lock, L12_low, nullptr};

const fuse_field_t bod_cksel_low[] = {F(BODLEVEL, 7), F(BODEN, 6), CK(3, 0, cksel_rc_2_to_4),
                                      END};
const fuse_field_t L13_high[] = {F(BOOTSZ, 2, 1), F(BOOTRST, 0), END};
const fuse_field_t *const L13[] = {boot_lock, bod_cksel_low, L13_high, nullptr};

const fuse_field_t L14_high[] = {F(OCDEN, 7), F(JTAGEN, 6), F(EESAVE, 3), F(BOOTSZ, 2, 1),
                                 F(BOOTRST, 0), END};
const fuse_field_t *const L14[] = {boot_lock, bod_cksel_low, L14_high, nullptr};

const fuse_field_t bod_sut_low[] = {F(BODLEVEL, 7), F(BODEN, 6), F(SUT, 5, 4),
                                    CK(3, 0, cksel_rc_1_to_4), END};

const fuse_field_t L15_high[] = {F(S8515C, 7), F(WDTON, 6), F(CKOPT, 4), F(EESAVE, 3),
                                 F(BOOTSZ, 2, 1), F(BOOTRST, 0), END};
const fuse_field_t *const L15[] = {boot_lock, bod_sut_low, L15_high, nullptr};

const fuse_field_t L16_high[] = {F(S8535C, 7), F(WDTON, 6), F(CKOPT, 4), F(EESAVE, 3),
                                 F(BOOTSZ, 2, 1), F(BOOTRST, 0), END};
const fuse_field_t *const L16[] = {boot_lock, bod_sut_low, L16_high, nullptr};

const fuse_field_t jtag_wdt_high[] = {F(OCDEN, 7), F(JTAGEN, 6), F(WDTON, 4), F(EESAVE, 3),
                                      F(BOOTSZ, 2, 1), F(BOOTRST, 0), END};

const fuse_field_t L17_ext[] = {F(M161C, 4), F(BODLEVEL, 3, 1), END};
const fuse_field_t *const L17[] = {boot_lock, ckdiv_low, jtag_wdt_high, L17_ext, nullptr};

const fuse_field_t L18_high[] = {F(RSTDISBL, 7), F(WDTON, 6), F(CKOPT, 4), F(EESAVE, 3),
                                 F(BOOTSZ, 2, 1), F(BOOTRST, 0), END};
const fuse_field_t *const L18[] = {boot_lock, bod_sut_low, L18_high, nullptr};

const fuse_field_t boot_ext[] = {F(BOOTSZ, 2, 1), F(BOOTRST, 0), END};
const fuse_field_t *const L19[] = {boot_lock, ckdiv_low, L8_high, boot_ext, nullptr};

const fuse_field_t rst_dw_boot_high[] = {F(RSTDISBL, 7), F(DWEN, 6), F(WDTON, 4), F(EESAVE, 3),
                                         F(BOOTSZ, 2, 1), F(BOOTRST, 0), END};
const fuse_field_t bod3_ext[] = {F(BODLEVEL, 2, 0), END};
const fuse_field_t *const L20[] = {boot_lock, ckdiv_low, rst_dw_boot_high, bod3_ext, nullptr};

const fuse_field_t jtag_ckopt_high[] = {F(OCDEN, 7), F(JTAGEN, 6), F(CKOPT, 4), F(EESAVE, 3),
                                        F(BOOTSZ, 2, 1), F(BOOTRST, 0), END};
const fuse_field_t *const L21[] = {boot_lock, bod_sut_low, jtag_ckopt_high, nullptr};

const fuse_field_t L22_ext[] = {F(M103C, 1), F(WDTON, 0), END};
const fuse_field_t *const L22[] = {boot_lock, bod_sut_low, jtag_ckopt_high, L22_ext, nullptr};

const fuse_field_t L23_ext[] = {F(BODLEVEL, 3, 1), END};
const fuse_field_t *const L23[] = {boot_lock, ckdiv_low, jtag_wdt_high, L23_ext, nullptr};

const fuse_field_t L24_high[] = {F(DWEN, 7), F(RSTDISBL, 6), F(WDTON, 4), F(EESAVE, 3),
                                 F(BOOTSZ, 2, 1), F(BOOTRST, 0), END};
const fuse_field_t hwbe_ext[] = {F(HWBE, 3), F(BODLEVEL, 2, 0), END};
const fuse_field_t *const L24[] = {boot_lock, ckdiv_low, L24_high, hwbe_ext, nullptr};

const fuse_field_t *const L25[] = {boot_lock, ckdiv_low, jtag_wdt_high, hwbe_ext, nullptr};

const fuse_field_t *const L26[] = {boot_lock, ckdiv_low, jtag_wdt_high, bod3_ext, nullptr};

const fuse_field_t L27_ext[] = {F(BODLEVEL, 2, 1), F(RSTDISBL, 0), END};
const fuse_field_t *const L27[] = {boot_lock, ckdiv_low, jtag_wdt_high, L27_ext, nullptr};

const fuse_field_t L28_ext[] = {F(PSC2RB, 7), F(PSC1RB, 6), F(PSC0RB, 5), F(PSCRV, 4),
                                F(BOOTSZ, 2, 1), F(BOOTRST, 0), END};
const fuse_field_t *const L28[] = {boot_lock, ckdiv_low, L8_high, L28_ext, nullptr};

const fuse_field_t L29_ext[] = {F(PSCRB, 5), F(PSCRVA, 4), F(PSCRVB, 3), F(BODLEVEL, 2, 0),
                                END};
const fuse_field_t *const L29[] = {boot_lock, ckdiv_low, rst_dw_boot_high, L29_ext, nullptr};

const fuse_field_t L30_low[] = {F(WDTON, 7), F(EESAVE, 6), F(DWEN, 4), F(SELFPRGEN, 3),
                                F(SUT, 2, 0), END};
const fuse_field_t *const L30[] = {none, L30_low, nullptr};

const fuse_field_t L31_low[] = {F(WDTON, 7), F(EESAVE, 6), F(SUT, 4, 2), END};
const fuse_field_t L31_high[] = {F(DUVRDINIT, 4), F(DWEN, 3), F(BOOTSZ, 2, 1), F(BOOTRST, 0),
                                 END};
const fuse_field_t *const L31[] = {boot_lock, L31_low, L31_high, nullptr};

// ---------------------------------------------------------------------------
// Profiles: everything of a record apart from name, signature, sizes and layout.
// The initialisers name every field, in the order of declaration.

// One memory of a profile: everything but its size.
struct memory_profile_t {
    int32_t page_size;
    int32_t write_ms;
    poll_kind_t poll_kind;
};

struct profile_t {
    int32_t erase_ms;
    memory_profile_t code, data;
    int32_t osccal_count;
    lock_kind_t lock_kind;
    fuse_kind_t fuse_kind;
    uint8_t fuse_bytes;
    uint32_t flags;
};

constexpr uint32_t SCK_RESYNC_LOCKED = flag_resync_sck | flag_fuses_when_locked;

constexpr profile_t P1 = {
    .erase_ms = 30,
    .code = {.page_size = 0, .write_ms = 10, .poll_kind = poll_none},
    .data = {.page_size = 0, .write_ms = 10, .poll_kind = poll_none},
    .osccal_count = 0,
    .lock_kind = lock_write_only,
    .fuse_kind = fuses_none,
    .fuse_bytes = 0,
    .flags = flag_sck_5_17,
};

constexpr profile_t P2 = {
    .erase_ms = 30,
    .code = {.page_size = 0, .write_ms = 6, .poll_kind = poll_none},
    .data = {.page_size = 0, .write_ms = 6, .poll_kind = poll_none},
    .osccal_count = 0,
    .lock_kind = lock_write_only,
    .fuse_kind = fuses_none,
    .fuse_bytes = 0,
    .flags = flag_no_sync | flag_sck_2_5,
};

constexpr profile_t P3 = {
    .erase_ms = 30,
    .code = {.page_size = 0, .write_ms = 6, .poll_kind = poll_value_not_7f},
    .data = {.page_size = 0, .write_ms = 6, .poll_kind = poll_value_not_7f_80},
    .osccal_count = 0,
    .lock_kind = lock_write_only,
    .fuse_kind = fuses_none,
    .fuse_bytes = 0,
    .flags = flag_resync_sck,
};

constexpr profile_t P4 = {
    .erase_ms = 30,
    .code = {.page_size = 0, .write_ms = 6, .poll_kind = poll_value_not_ff},
    .data = {.page_size = 0, .write_ms = 6, .poll_kind = poll_value_not_00_ff},
    .osccal_count = 0,
    .lock_kind = lock_read_lb1_bit7,
    .fuse_kind = fuses_classic_read_58,
    .fuse_bytes = has_low_byte,
    .flags = SCK_RESYNC_LOCKED,
};

constexpr profile_t P5 = {
    .erase_ms = 3,
    .code = {.page_size = 0, .write_ms = 6, .poll_kind = poll_value_not_ff},
    .data = {.page_size = 0, .write_ms = 6, .poll_kind = poll_value_not_00_ff},
    .osccal_count = 0,
    .lock_kind = lock_read_lb1_bit1,
    .fuse_kind = fuses_classic_read_50,
    .fuse_bytes = has_low_byte,
    .flags = SCK_RESYNC_LOCKED,
};

constexpr profile_t P6 = {
    .erase_ms = 30,
    .code = {.page_size = 0, .write_ms = 6, .poll_kind = poll_value_not_ff},
    .data = {.page_size = 0, .write_ms = 6, .poll_kind = poll_value_not_00_ff},
    .osccal_count = 0,
    .lock_kind = lock_read_lb1_bit1,
    .fuse_kind = fuses_classic_read_50,
    .fuse_bytes = has_low_byte,
    .flags = SCK_RESYNC_LOCKED,
};

constexpr profile_t P7 = {
    .erase_ms = 30,
    .code = {.page_size = 0, .write_ms = 6, .poll_kind = poll_value_not_ff},
    .data = {.page_size = 0, .write_ms = 8, .poll_kind = poll_value_not_ff},
    .osccal_count = 1,
    .lock_kind = lock_read_lb1_bit1,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_low_byte,
    .flags = SCK_RESYNC_LOCKED | flag_erase_fix,
};

constexpr profile_t P8 = {
    .erase_ms = 30,
    .code = {.page_size = 0, .write_ms = 6, .poll_kind = poll_value_not_ff},
    .data = {.page_size = 0, .write_ms = 6, .poll_kind = poll_value_not_00_ff},
    .osccal_count = 0,
    .lock_kind = lock_read_lb1_bit7,
    .fuse_kind = fuses_none,
    .fuse_bytes = 0,
    .flags = flag_resync_sck,
};

constexpr profile_t P9 = {
    .erase_ms = 20,
    .code = {.page_size = 32, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 2,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_low_byte | has_high_byte,
    .flags = 0,
};

constexpr profile_t P10 = {
    .erase_ms = 20,
    .code = {.page_size = 32, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 2,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_low_byte | has_high_byte | has_ext_byte,
    .flags = 0,
};

constexpr profile_t P11 = {
    .erase_ms = 30,
    .code = {.page_size = 0, .write_ms = 5, .poll_kind = poll_value_not_ff},
    .data = {.page_size = 0, .write_ms = 9, .poll_kind = poll_value_not_ff},
    .osccal_count = 1,
    .lock_kind = lock_read_lb1_bit1,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_low_byte,
    .flags = SCK_RESYNC_LOCKED,
};

constexpr profile_t P12 = {
    .erase_ms = 20,
    .code = {.page_size = 64, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 2,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_low_byte | has_high_byte | has_ext_byte,
    .flags = 0,
};

constexpr profile_t P13 = {
    .erase_ms = 20,
    .code = {.page_size = 64, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_low_byte | has_high_byte | has_ext_byte,
    .flags = 0,
};

constexpr profile_t P14 = {
    .erase_ms = 20,
    .code = {.page_size = 128, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_low_byte | has_high_byte | has_ext_byte,
    .flags = 0,
};

constexpr profile_t P15 = {
    .erase_ms = 20,
    .code = {.page_size = 32, .write_ms = 6, .poll_kind = poll_value_not_ff},
    .data = {.page_size = 4, .write_ms = 10, .poll_kind = poll_value_not_ff},
    .osccal_count = 4,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_low_byte | has_high_byte,
    .flags = 0,
};

constexpr profile_t P16 = {
    .erase_ms = 20,
    .code = {.page_size = 32, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_low_byte | has_high_byte | has_ext_byte,
    .flags = 0,
};

constexpr profile_t P17 = {
    .erase_ms = 20,
    .code = {.page_size = 64, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_low_byte | has_high_byte | has_ext_byte,
    .flags = 0,
};

constexpr profile_t P18 = {
    .erase_ms = 70,
    .code = {.page_size = 256, .write_ms = 25, .poll_kind = poll_none},
    .data = {.page_size = 0, .write_ms = 10, .poll_kind = poll_value_not_7f_80},
    .osccal_count = 0,
    .lock_kind = lock_read_lb1_bit1,
    .fuse_kind = fuses_classic_read_50,
    .fuse_bytes = has_low_byte,
    .flags = flag_resync_sck,
};

constexpr profile_t P19 = {
    .erase_ms = 35,
    .code = {.page_size = 128, .write_ms = 16, .poll_kind = poll_value_not_ff},
    .data = {.page_size = 0, .write_ms = 6, .poll_kind = poll_value_not_ff},
    .osccal_count = 0,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_lock_byte | has_low_byte,
    .flags = 0,
};

constexpr profile_t P20 = {
    .erase_ms = 35,
    .code = {.page_size = 128, .write_ms = 18, .poll_kind = poll_value_not_ff},
    .data = {.page_size = 0, .write_ms = 6, .poll_kind = poll_value_not_ff},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_lock_byte | has_low_byte | has_high_byte,
    .flags = flag_resync_sck,
};

constexpr profile_t P21 = {
    .erase_ms = 20,
    .code = {.page_size = 64, .write_ms = 6, .poll_kind = poll_value_not_ff},
    .data = {.page_size = 4, .write_ms = 10, .poll_kind = poll_value_not_ff},
    .osccal_count = 4,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_lock_byte | has_low_byte | has_high_byte,
    .flags = 0,
};

constexpr profile_t P22 = {
    .erase_ms = 20,
    .code = {.page_size = 128, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 10, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_lock_byte | has_low_byte | has_high_byte | has_ext_byte,
    .flags = 0,
};

constexpr profile_t P23 = {
    .erase_ms = 20,
    .code = {.page_size = 64, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_lock_byte | has_low_byte | has_high_byte | has_ext_byte,
    .flags = 0,
};

constexpr profile_t P24 = {
    .erase_ms = 20,
    .code = {.page_size = 128, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_lock_byte | has_low_byte | has_high_byte | has_ext_byte,
    .flags = 0,
};

constexpr profile_t P25 = {
    .erase_ms = 20,
    .code = {.page_size = 128, .write_ms = 6, .poll_kind = poll_value_not_ff},
    .data = {.page_size = 4, .write_ms = 10, .poll_kind = poll_value_not_ff},
    .osccal_count = 4,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_lock_byte | has_low_byte | has_high_byte,
    .flags = 0,
};

constexpr profile_t P26 = {
    .erase_ms = 20,
    .code = {.page_size = 256, .write_ms = 6, .poll_kind = poll_value_not_ff},
    .data = {.page_size = 8, .write_ms = 12, .poll_kind = poll_value_not_ff},
    .osccal_count = 4,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_lock_byte | has_low_byte | has_high_byte | has_ext_byte,
    .flags = 0,
};

constexpr profile_t P27 = {
    .erase_ms = 20,
    .code = {.page_size = 256, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 8, .write_ms = 10, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_lock_byte | has_low_byte | has_high_byte | has_ext_byte,
    .flags = 0,
};

constexpr profile_t P28 = {
    .erase_ms = 20,
    .code = {.page_size = 64, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 10, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_lock_byte | has_low_byte | has_high_byte | has_ext_byte,
    .flags = 0,
};

constexpr profile_t P29 = {
    .erase_ms = 20,
    .code = {.page_size = 128, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_lock_byte | has_low_byte | has_high_byte,
    .flags = 0,
};

constexpr profile_t P30 = {
    .erase_ms = 20,
    .code = {.page_size = 256, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 8, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_lock_byte | has_low_byte | has_high_byte,
    .flags = 0,
};

constexpr profile_t P31 = {
    .erase_ms = 10,
    .code = {.page_size = 128, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_low_byte,
    .flags = 0,
};

constexpr profile_t P32 = {
    .erase_ms = 10,
    .code = {.page_size = 128, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_lock_byte | has_low_byte | has_high_byte,
    .flags = 0,
};

constexpr profile_t P33 = {
    .erase_ms = 20,
    .code = {.page_size = 64, .write_ms = 6, .poll_kind = poll_rdy_bsy},
    .data = {.page_size = 4, .write_ms = 5, .poll_kind = poll_rdy_bsy},
    .osccal_count = 1,
    .lock_kind = lock_byte,
    .fuse_kind = fuses_by_byte,
    .fuse_bytes = has_low_byte,
    .flags = 0,
};

constexpr profile_t with_code_page(profile_t profile, int32_t page_size)
{
    profile.code.page_size = page_size;
    return profile;
}
constexpr profile_t with_fuse_bytes(profile_t profile, uint8_t fuse_bytes)
{
    profile.fuse_bytes = fuse_bytes;
    return profile;
}

// 90pwm216/316 and mega8U2 write flash in pages of 64 words (128 bytes).
constexpr profile_t P23_page128 = with_code_page(P23, 128);
constexpr profile_t P28_page128 = with_code_page(P28, 128);
// The CAN/LIN chips keep PSC and brown-out fuses in an extended fuse byte,
// read and written like the other three.
constexpr profile_t P29_ext = with_fuse_bytes(P29, P29.fuse_bytes | has_ext_byte);
constexpr profile_t P30_ext = with_fuse_bytes(P30, P30.fuse_bytes | has_ext_byte);

constexpr avr_memory_t M(int32_t size, const memory_profile_t &m)
{
    return avr_memory_t{.size = size, .page_size = m.page_size, .write_ms = m.write_ms,
                        .poll_kind = m.poll_kind};
}

// One record: name (alternatives joined by '|'), signature, flash and EEPROM
// sizes in bytes, profile and fuse layout (null: none).
constexpr avr_device_t D(const char *name, uint32_t signature, int32_t code_size,
                         int32_t data_size, const profile_t &p, fuse_layout_t layout)
{
    return avr_device_t{.name = name,
                        .signature = signature,
                        .erase_ms = p.erase_ms,
                        .memory = {M(code_size, p.code), M(data_size, p.data)},
                        .osccal_count = p.osccal_count,
                        .flags = p.flags,
                        .lock_kind = p.lock_kind,
                        .fuse_kind = p.fuse_kind,
                        .fuse_bytes = p.fuse_bytes,
                        .fuses = layout};
}

// The record starts a new line of the supported-device list.
constexpr avr_device_t BREAK(avr_device_t device)
{
    device.flags |= flag_list_break;
    return device;
}

}  // namespace

// ---------------------------------------------------------------------------
// The records, in the order of detection and of the supported-device list.

const avr_device_t avr_devices[] = {
    D("86RF401", 0x1E9181, 2048, 128, P1, nullptr),
    BREAK(D("90S1200", 0x1E9001, 1024, 64, P2, nullptr)),
    D("90S2313", 0x1E9101, 2048, 128, P3, nullptr),
    D("90S4414", 0x1E9201, 4096, 256, P3, nullptr),
    D("90S8515", 0x1E9301, 8192, 512, P3, nullptr),
    D("90S4434", 0x1E9202, 4096, 256, P4, L1),
    D("90S8535", 0x1E9303, 8192, 512, P4, L1),
    D("90S2333", 0x1E9105, 2048, 128, P5, L2),
    D("90S4433", 0x1E9203, 4096, 256, P6, L2),
    D("90S2323", 0x1E9102, 2048, 128, P4, L1),
    D("90S2343", 0x1E9103, 2048, 128, P4, L3),
    BREAK(D("tiny12", 0x1E9005, 1024, 64, P7, L4)),
    // tiny22L and tiny22 share one signature; the later record wins detection
    D("tiny22L", 0x1E9106, 2048, 128, P8, nullptr),
    D("tiny22", 0x1E9106, 2048, 128, P4, L3),
    D("tiny13|tiny13A", 0x1E9007, 1024, 64, P9, L5),
    D("tiny2313", 0x1E910A, 2048, 128, P10, L6),
    BREAK(D("tiny15", 0x1E9006, 1024, 64, P11, L7)),
    D("tiny25", 0x1E9108, 2048, 128, P10, L8),
    D("tiny45", 0x1E9206, 4096, 256, P12, L8),
    D("tiny85", 0x1E930B, 8192, 512, P12, L8),
    D("tiny43u", 0x1E920C, 4096, 64, P13, L8),
    D("tiny87", 0x1E9387, 8192, 512, P14, L8),
    D("tiny167", 0x1E9487, 16384, 512, P14, L8),
    BREAK(D("tiny26", 0x1E9109, 2048, 128, P15, L9)),
    D("tiny261", 0x1E910C, 2048, 128, P16, L8),
    D("tiny461", 0x1E9208, 4096, 256, P17, L8),
    D("tiny861", 0x1E930D, 8192, 512, P17, L8),
    BREAK(D("tiny24", 0x1E910B, 2048, 128, P16, L8)),
    D("tiny44", 0x1E9207, 4096, 256, P17, L8),
    D("tiny84", 0x1E930C, 8192, 512, P17, L8),
    // tiny48 and tiny88 have 64 bytes of EEPROM
    D("tiny48", 0x1E9209, 4096, 64, P17, L10),
    D("tiny88", 0x1E9311, 8192, 64, P17, L10),
    BREAK(D("mega603", 0x1E9601, 65536, 2048, P18, L11)),
    D("mega103", 0x1E9701, 131072, 4096, P18, L11),
    D("mega161", 0x1E9401, 16384, 512, P19, L12),
    D("mega163", 0x1E9402, 16384, 512, P20, L13),
    D("mega323", 0x1E9501, 32768, 1024, P20, L14),
    BREAK(D("mega8515", 0x1E9306, 8192, 512, P21, L15)),
    D("mega8535", 0x1E9308, 8192, 512, P21, L16),
    D("mega162", 0x1E9404, 16384, 512, P22, L17),
    BREAK(D("mega8", 0x1E9307, 8192, 512, P21, L18)),
    D("mega48", 0x1E9205, 4096, 256, P17, L8),
    D("mega88", 0x1E930A, 8192, 512, P23, L19),
    D("mega168", 0x1E9406, 16384, 512, P24, L19),
    BREAK(D("mega48P", 0x1E920A, 4096, 256, P17, L8)),
    D("mega88P", 0x1E930F, 8192, 512, P23, L19),
    D("mega168P", 0x1E940B, 16384, 512, P24, L19),
    // mega328P has 1024 bytes of EEPROM
    D("mega328P", 0x1E950F, 32768, 1024, P24, L20),
    BREAK(D("mega16", 0x1E9403, 16384, 512, P25, L21)),
    D("mega32", 0x1E9502, 32768, 1024, P25, L21),
    D("mega64", 0x1E9602, 65536, 2048, P26, L22),
    D("mega128", 0x1E9702, 131072, 4096, P26, L22),
    BREAK(D("90CAN32", 0x1E9581, 32768, 1024, P27, L23)),
    D("90CAN64", 0x1E9681, 65536, 2048, P27, L23),
    D("90CAN128", 0x1E9781, 131072, 4096, P27, L23),
    BREAK(D("90usb82", 0x1E9382, 8192, 512, P22, L24)),
    D("90usb162", 0x1E9482, 16384, 512, P22, L24),
    D("mega8U2", 0x1E9389, 8192, 512, P28_page128, L24),
    D("mega16U2", 0x1E9489, 16384, 512, P22, L24),
    D("mega32U2", 0x1E958A, 32768, 1024, P22, L24),
    D("mega16U4", 0x1E9488, 16384, 512, P22, L25),
    D("mega32U4", 0x1E9587, 32768, 1024, P22, L25),
    BREAK(D("mega32U6", 0x1E9588, 32768, 1024, P22, L25)),
    D("90usb646|90usb647", 0x1E9682, 65536, 2048, P27, L25),
    D("90usb1286|90usb1287", 0x1E9782, 131072, 4096, P27, L25),
    BREAK(D("mega644", 0x1E9609, 65536, 2048, P27, L26)),
    D("mega164P|mega164PA", 0x1E940A, 16384, 512, P22, L26),
    D("mega324P", 0x1E9508, 32768, 1024, P22, L26),
    D("mega324PA", 0x1E9511, 32768, 1024, P22, L26),
    D("mega644P|mega644PA", 0x1E960A, 65536, 2048, P27, L26),
    D("mega1284P", 0x1E9705, 131072, 4096, P27, L26),
    BREAK(D("mega165|mega165P", 0x1E9407, 16384, 512, P22, L23)),
    D("mega325", 0x1E9505, 32768, 1024, P22, L27),
    D("mega325P", 0x1E950D, 32768, 1024, P22, L27),
    D("mega3250", 0x1E9506, 32768, 1024, P22, L27),
    D("mega3250P", 0x1E950E, 32768, 1024, P22, L27),
    D("mega645", 0x1E9605, 65536, 2048, P27, L27),
    D("mega6450", 0x1E9606, 65536, 2048, P27, L27),
    BREAK(D("mega169|mega169P", 0x1E9405, 16384, 512, P22, L23)),
    D("mega329", 0x1E9503, 32768, 1024, P22, L27),
    D("mega329P", 0x1E950B, 32768, 1024, P22, L27),
    D("mega3290", 0x1E9504, 32768, 1024, P22, L27),
    D("mega3290P", 0x1E950C, 32768, 1024, P22, L27),
    D("mega649", 0x1E9603, 65536, 2048, P27, L27),
    D("mega6490", 0x1E9604, 65536, 2048, P27, L27),
    BREAK(D("mega640", 0x1E9608, 65536, 4096, P27, L26)),
    D("mega1280", 0x1E9703, 131072, 4096, P27, L26),
    D("mega1281", 0x1E9704, 131072, 4096, P27, L26),
    // the only chips beyond 128 KiB of flash: every code access needs the
    // extended address byte
    D("mega2560", 0x1E9801, 262144, 4096, P27, L26),
    D("mega2561", 0x1E9802, 262144, 4096, P27, L26),
    BREAK(D("90pwm2|90pwm3", 0x1E9381, 8192, 512, P23, L28)),
    D("90pwm1|90pwm2B|90pwm3B", 0x1E9383, 8192, 512, P23, L28),
    D("90pwm216|90pwm316", 0x1E9483, 16384, 512, P23_page128, L28),
    BREAK(D("mega16M1", 0x1E9484, 16384, 512, P29_ext, L29)),
    D("mega32M1", 0x1E9584, 32768, 1024, P29_ext, L29),
    D("mega64M1", 0x1E9684, 65536, 2048, P30_ext, L29),
    D("mega32C1", 0x1E9586, 32768, 1024, P29_ext, L29),
    D("mega64C1", 0x1E9686, 65536, 2048, P30_ext, L29),
    BREAK(D("mega8HVA", 0x1E9310, 8192, 256, P31, L30)),
    D("mega16HVA", 0x1E940C, 16384, 256, P31, L30),
    D("mega16HVB", 0x1E940D, 16384, 512, P32, L31),
    D("mega32HVB", 0x1E9510, 32768, 1024, P32, L31),
    D("mega8HVD", 0x1E9312, 8192, 256, P33, L30),
};

const int avr_device_count = sizeof(avr_devices) / sizeof(avr_devices[0]);
