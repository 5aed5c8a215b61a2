// Host time for the virtual ports: a monotonic nanosecond clock, spinning and sleeping on it,
// and one process-wide floor so that the times handed to a chip never go backwards.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace vt {

#if defined(_WIN32)
// The mingw runtime's C++ clocks tick in whole microseconds, too coarse for port cycles of
// tens of nanoseconds; the performance counter is read directly (port_clock_win.cpp).
uint64_t performance_counter_ns();
#endif

inline uint64_t host_now_ns()
{
#if defined(_WIN32)
    return performance_counter_ns();
#else
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
#endif
}

// Busy-wait until the host clock reaches t (used for port write cycles, which are short).
inline uint64_t spin_until_ns(uint64_t t)
{
    uint64_t now = host_now_ns();
    while (now < t)
        now = host_now_ns();
    return now;
}

// Wait until the host clock reaches t; sleeps for the bulk and spins the last stretch.
inline uint64_t wait_until_ns(uint64_t t)
{
    const uint64_t spin_ns = 200000;
    uint64_t now = host_now_ns();
    if (now + spin_ns < t)
        std::this_thread::sleep_for(std::chrono::nanoseconds(t - now - spin_ns));
    return spin_until_ns(t);
}

// The latest time given to any chip by a port of this process. Ports pass every chip time
// through chip_time(), so two ports (or a port and a virtual timeline) never disagree.
inline std::atomic<uint64_t> &chip_time_floor()
{
    static std::atomic<uint64_t> floor{0};
    return floor;
}

inline uint64_t chip_time(uint64_t t)
{
    std::atomic<uint64_t> &floor = chip_time_floor();
    uint64_t seen = floor.load();
    while (seen < t && !floor.compare_exchange_weak(seen, t)) {
    }
    return t > seen ? t : seen;
}

}  // namespace vt
