// The built-in device table and its lookups.
#pragma once

#include <cstdint>

struct avr_memory_t {
    int32_t size;
    int32_t page_size;   // 0: written byte by byte
    int32_t write_ms;
    int32_t poll_kind;   // 0..5
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

enum memory_number_t { CODE_MEMORY = 0, DATA_MEMORY = 1 };

struct avr_device_t {
    const char *name;
    uint32_t signature;
    int32_t erase_ms;
    avr_memory_t memory[2];   // [CODE_MEMORY], [DATA_MEMORY]
    int32_t osccal_count;
    uint32_t flags;
    uint8_t lock_kind;
    uint8_t fuse_kind;
    uint8_t fuse_bytes;
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
