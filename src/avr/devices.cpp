// Device lookups by name and signature and the texts that belong to the table.
#include "avr/devices.h"

#include <cstring>

#include "base/messages.h"
#include "base/text.h"

namespace {

}  // namespace

bool device_name_matches(const char *name_list, const char *name)
{
    if (name_list == nullptr || name == nullptr)
        return false;
    const char *start = name_list;
    for (const char *bar = std::strchr(start, '|'); bar != nullptr;
         bar = std::strchr(start, '|')) {
        if (same_text(start, static_cast<size_t>(bar - start), name))
            return true;
        start = bar + 1;
    }
    return same_text(start, name);
}

int32_t find_device(const char *name)
{
    if (name == nullptr)
        return -1;
    for (int32_t i = 0; i < avr_device_count; i++) {
        if (device_name_matches(avr_devices[i].name, name))
            return i;
    }
    return -1;
}

int32_t find_device_by_signature(uint32_t signature, const char *requested_name)
{
    int32_t result = -1;
    for (int32_t i = 0; i < avr_device_count; i++) {
        const avr_device_t &device = avr_devices[i];
        if (device.signature != signature)
            continue;
        result = i;
        if (requested_name != nullptr &&
            same_text(device.name, requested_name))
            break;
    }
    return result;
}

const char *device_name(int32_t index)
{
    if (index < 0 || index >= avr_device_count)
        return "unknown";
    return avr_devices[index].name;
}

const char *fuse_byte_name(int slot)
{
    static const char *const names[] = {"_LOCK", "_LOW", "_HIGH", "_EXT"};
    if (slot < 0 || slot > 3)
        return "???";
    return names[slot];
}

const char *memory_name(int memory)
{
    return memory == CODE_MEMORY ? "CODE memory" : "DATA memory";
}

const char *lock_state_text(int32_t state)
{
    switch (state) {
    case 0:
        return "not locked";
    case 1:
        return "locked - programming disabled";
    case 2:
        return "locked - reading and programming disabled";
    default:
        return nullptr;
    }
}

void print_device_list()
{
    msg_print(msg_out, MSG_INFO, "\nSupported devices\n");
    int counter = 5;
    for (int32_t i = 0; i < avr_device_count; i++) {
        const avr_device_t &device = avr_devices[i];
        if (device.flags & flag_unlisted)
            continue;
        if (--counter == 0 || (device.flags & flag_list_break)) {
            msg_print(msg_out, MSG_INFO, "\n");
            counter = 5;
        }
        msg_print(msg_out, MSG_INFO, " %-10s", device.name);
    }
}
