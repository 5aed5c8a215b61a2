// The chip behind a drop-in driver library: made from the environment on first use, saved
// when a device is closed and when the library is unloaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "vtarget/avr_chip.h"

namespace vtd {

// A small lock (the mingw runtime used for the DLLs has no std::mutex).
class spin_lock {
public:
    void lock()
    {
        while (flag_.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() { flag_.clear(std::memory_order_release); }

private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

class guard {
public:
    explicit guard(spin_lock &l) : l_(l) { l_.lock(); }
    ~guard() { l_.unlock(); }
    guard(const guard &) = delete;
    guard &operator=(const guard &) = delete;

private:
    spin_lock &l_;
};

// The chip configured by the VT_* variables; null (and a message on stderr) when they are bad.
std::shared_ptr<vt::avr_chip> target_chip();
// Writes the chip's state and counters now.
void save_target();
// USB round trips of a closed device, reported with the chip's counters.
void add_usb_round_trips(uint64_t n);
// Parallel-port register accesses, reported with the chip's counters.
void add_port_accesses(uint64_t n);
// Called by a library's own state before it is used, so that the chip outlives that state
// when statics are destroyed at unload.
void target_first();
// Reports a configuration problem on stderr.
void report_config_error(const char *what);

}  // namespace vtd

#if defined(_WIN32)
#define VT_EXPORT extern "C" __declspec(dllexport)
#define VT_WINAPI __stdcall
#else
#define VT_EXPORT extern "C" __attribute__((visibility("default")))
#define VT_WINAPI
#endif
