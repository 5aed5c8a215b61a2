// Host time of the Windows build: the performance counter in nanoseconds.
#if defined(_WIN32)
#include <windows.h>

#include "port_clock.h"

namespace vt {

uint64_t performance_counter_ns()
{
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    uint64_t ticks = static_cast<uint64_t>(count.QuadPart);
    return ticks / frequency * 1000000000u + ticks % frequency * 1000000000u / frequency;
}

}  // namespace vt
#endif
