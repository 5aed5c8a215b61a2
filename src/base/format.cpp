// Times and frequencies for messages, with the unit and precision chosen
// from the value.
#include <cstdio>

#include "base/timer.h"

namespace {
const char *const time_units[4] = {"s", "ms", "us", "ns"};
const char *const frequency_units[4] = {"GHz", "MHz", "kHz", "Hz"};

const char *format_scaled(long double value, int unit, char *buffer, const char *const units[4])
{
    static char shared[128];
    const int last = 3;
    if (unit < 0)
        unit = 0;
    if (unit > last)
        unit = last;
    while (value > 300 && unit > 0) {
        value *= 0.001L;
        unit--;
    }
    while (value <= 0.3L && unit < last) {
        value *= 1000;
        unit++;
    }
    const char *format;
    if (value < 0.003L)
        format = "%.6f%s";
    else if (value < 0.03L)
        format = "%.4f%s";
    else if (value < 0.3L)
        format = "%.3f%s";
    else if (value < 3)
        format = "%.2f%s";
    else if (value < 30)
        format = "%.1f%s";
    else
        format = "%.0f%s";
    char *text = buffer ? buffer : shared;
    size_t size = buffer ? format_buffer_size : sizeof shared;
    snprintf(text, size, format, double(value), units[unit]);
    return text;
}
}  // namespace

const char *format_time(long double value, int unit_index, char *buffer)
{
    return format_scaled(value, unit_index, buffer, time_units);
}

const char *format_frequency(long double value, int unit_index, char *buffer)
{
    return format_scaled(value, unit_index, buffer, frequency_units);
}
