// The built-in device table and its lookups.
#pragma once

#include <cstdint>

// How the end of a write is detected when the user asks for polling. A value
// the chip returns while it is still busy can't be polled for: the fixed
// wait is used for it.
enum poll_kind_t : int32_t {
    poll_none = 0,            // no polling: always the fixed wait
    poll_value_not_00_ff = 1, // read back until it matches; not for 00 and FF
    poll_value_not_7f_80 = 2, // the same; not for 7F and 80
    poll_value_not_7f = 3,    // the same; not for 7F
    poll_value_not_ff = 4,    // the same; not for FF
    poll_rdy_bsy = 5,         // Poll RDY/BSY (F0 00 xx xx) until bit 0 is clear
};

// How the lock bits LB1 and LB2 are read (Read Lock, 58 00 xx xx) and written.
enum lock_kind_t : uint8_t {
    lock_write_only = 0,      // not readable; written as AC FD/F9 00 00
    lock_read_lb1_bit7 = 1,   // LB1 in bit 7, LB2 in bit 6; written as kind 0
    lock_read_lb1_bit1 = 2,   // LB1 in bit 1, LB2 in bit 2; written as kind 0
    lock_byte = 3,            // LB1 in bit 0, LB2 in bit 1; written as a byte (AC E0 00 xx)
};

// How the fuse bits are read and written.
enum fuse_kind_t : uint8_t {
    fuses_none = 0,
    fuses_classic_read_58 = 1,  // one set in the low slot, read with the lock bits (58 00)
    fuses_classic_read_50 = 2,  // the same, read with 50 00
    fuses_by_byte = 3,          // each fuse byte read and written by its own command
};

struct avr_memory_t {
    int32_t size;
    int32_t page_size;   // 0: written byte by byte
    int32_t write_ms;
    poll_kind_t poll_kind;
};

struct fuse_info_t {
    const char *name;
    const char *description;
    const char *alias;   // or null
};

struct fuse_field_t {
    const fuse_info_t *info;  // null ends a list
    int32_t width;
    int32_t shift;
};

// Array of field lists indexed by slot, ended by a null pointer.
typedef const fuse_field_t *const *fuse_layout_t;

enum device_flag_t : uint32_t {
    flag_no_sync = 0x0002,
    flag_resync_sck = 0x0004,
    flag_unlisted = 0x0008,
    flag_sck_2_5 = 0x0010,
    flag_sck_5_17 = 0x0020,
    flag_fuses_when_locked = 0x0040,
    flag_erase_fix = 0x0080,
    flag_list_break = 0x8000,
};

enum fuse_slot_t { FUSE_LOCK = 0, FUSE_LOW = 1, FUSE_HIGH = 2, FUSE_EXT = 3 };

// Bits of avr_device_t::fuse_bytes: the fuse bytes a chip has, by slot.
enum fuse_byte_bit_t : uint8_t {
    has_lock_byte = 1u << FUSE_LOCK,   // boot lock bits as fuse fields
    has_low_byte = 1u << FUSE_LOW,
    has_high_byte = 1u << FUSE_HIGH,
    has_ext_byte = 1u << FUSE_EXT,
};

enum memory_number_t { CODE_MEMORY = 0, DATA_MEMORY = 1 };

struct avr_device_t {
    const char *name;
    uint32_t signature;
    int32_t erase_ms;
    avr_memory_t memory[2];   // [CODE_MEMORY], [DATA_MEMORY]
    int32_t osccal_count;
    uint32_t flags;
    lock_kind_t lock_kind;
    fuse_kind_t fuse_kind;
    uint8_t fuse_bytes;       // fuse_byte_bit_t bits
    fuse_layout_t fuses;      // null: no serially writable fuses
};

extern const avr_device_t avr_devices[];
extern const int avr_device_count;   // 103

// Every fuse field meaning the layouts refer to.
extern const fuse_info_t fuse_infos[];
extern const int fuse_info_count;

bool device_name_matches(const char *name_list, const char *name);
int32_t find_device(const char *name);
int32_t find_device_by_signature(uint32_t signature, const char *requested_name);

const char *device_name(int32_t index);
const char *fuse_byte_name(int slot);
const char *memory_name(int memory);
// "not locked", ... for lock states 0 to 2; null for unknown (-1) or any other.
const char *lock_state_text(int32_t state);

void print_device_list();            // "\nSupported devices\n" and the names
