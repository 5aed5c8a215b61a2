// Timer, console interrupt and number formatting.
#include <ctime>

#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "os/os.h"
#include "base/timer.h"
#include "support/name_table.h"

namespace {

TEST(format, time_examples)
{
    struct {
        long double value;
        int unit;
        const char *text;
    } cases[] = {
        {4500, 1, "4.5s"},       {150, 1, "150ms"},      {0.25L, 1, "250us"},   {12.3456L, 1, "12.3ms"},
        {1234, 0, "1234s"},      {300, 1, "300ms"},      {300.001L, 1, "0.30s"}, {0.3L, 1, "300us"},
        {0.31L, 1, "0.31ms"},    {2.999L, 2, "3.00us"},  {3, 2, "3.0us"},       {29.94L, 2, "29.9us"},
        {30, 2, "30us"},         {0.0001L, 3, "0.000100ns"}, {0.02L, 3, "0.0200ns"}, {0.2L, 3, "0.200ns"},
        {0, 1, "0.000000ns"},    {5e6L, 3, "5.0ms"},     {2e9L, 2, "2000s"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(format_time(c.value, c.unit), c.text) << (double)c.value << " unit " << c.unit;
}

TEST(format, frequency_examples)
{
    EXPECT_STREQ(format_frequency(800, 2), "0.80MHz");
    EXPECT_STREQ(format_frequency(250, 2), "250kHz");
    EXPECT_STREQ(format_frequency(4000, 2), "4.0MHz");
    EXPECT_STREQ(format_frequency(2.5L, 1), "2.50MHz");
    EXPECT_STREQ(format_frequency(0.1L, 1), "100kHz");
    EXPECT_STREQ(format_frequency(5000, 0), "5000GHz");
    EXPECT_STREQ(format_frequency(12e6L, 3), "12.0MHz");
}

TEST(format, own_buffers_and_the_shared_one)
{
    char a[format_buffer_size], b[format_buffer_size];
    const char *ta = format_time(4500, 1, a);
    const char *tb = format_frequency(800, 2, b);
    EXPECT_EQ(ta, a);
    EXPECT_EQ(tb, b);
    EXPECT_STREQ(a, "4.5s");
    EXPECT_STREQ(b, "0.80MHz");
    // without a buffer the next call overwrites the last text
    const char *first = format_time(150, 1);
    const char *second = format_frequency(250, 2);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "250kHz");
}

TEST(format, huge_values_stay_in_the_buffer)
{
    char guard_before[8] = "xxxxxxx";
    char buffer[format_buffer_size];
    char guard_after[8] = "yyyyyyy";
    format_time(1e300L, 0, buffer);
    EXPECT_LT(std::string(buffer).size(), format_buffer_size);
    EXPECT_STREQ(guard_before, "xxxxxxx");
    EXPECT_STREQ(guard_after, "yyyyyyy");
    EXPECT_LT(std::string(format_time(1e300L, 0)).size(), 128u);
    // out-of-range unit indices are held to the ends of the unit list
    EXPECT_STREQ(format_time(150, 7, buffer), "150ns");
    EXPECT_STREQ(format_time(150, -2, buffer), "150s");
}

// ---- timer ---------------------------------------------------------------------

TEST(timer, short_delay_waits_at_least_its_time)
{
    os_timer_t delay, clock;
    clock.start();
    delay.set_wait(0.5f);
    delay.wait();
    clock.stop();
    EXPECT_GE(clock.elapsed_ms(), 0.5L);
    EXPECT_LT(clock.elapsed_ms(), 200.0L);
}

TEST(timer, longer_delay_and_time_out)
{
    os_timer_t delay, clock;
    delay.set_wait(30.0f);
    EXPECT_FALSE(delay.expired());
    clock.start();
    delay.wait();  // counts from here
    clock.stop();
    EXPECT_TRUE(delay.expired());
    EXPECT_GE(clock.elapsed_ms(), 30.0L);
    EXPECT_LT(clock.elapsed_ms(), 2000.0L);

    os_timer_t timeout;
    timeout.set_wait(20.0f);
    int polls = 0;
    while (!timeout.expired())
        polls++;
    EXPECT_GT(polls, 0);
    timeout.set_wait(0.0f);
    EXPECT_TRUE(timeout.expired());
    timeout.set_wait(-5.0f);
    EXPECT_TRUE(timeout.expired());
}

TEST(timer, long_delay_sleeps_instead_of_spinning)
{
    os_timer_t delay, clock;
    std::clock_t cpu_before = std::clock();
    clock.start();
    delay.set_wait(60.0f);
    delay.wait();
    clock.stop();
    double cpu_ms = double(std::clock() - cpu_before) * 1000.0 / CLOCKS_PER_SEC;
    EXPECT_GE(clock.elapsed_ms(), 60.0L);
    EXPECT_LT(clock.elapsed_ms(), 2000.0L);
    // the processor is held only for the last couple of milliseconds
    EXPECT_LT(cpu_ms, 12.0) << "a 60 ms wait used " << cpu_ms << " ms of processor time";
}

TEST(timer, absurd_delays_do_not_overflow)
{
    os_timer_t timer;
    timer.set_wait(3.0e38f);
    EXPECT_FALSE(timer.expired());
    timer.set_wait(-3.0e38f);
    EXPECT_TRUE(timer.expired());
}

TEST(timer, stopwatch_runs_and_stops)
{
    os_timer_t watch;
    EXPECT_EQ(watch.elapsed_ms(), 0.0L);
    watch.start();
    os::sleep_ms(5);
    long double running = watch.elapsed_ms();
    EXPECT_GE(running, 5.0L);
    os::sleep_ms(2);
    EXPECT_GT(watch.elapsed_ms(), running);
    watch.stop();
    long double stopped = watch.elapsed_ms();
    os::sleep_ms(3);
    EXPECT_EQ(watch.elapsed_ms(), stopped);
    // a second stop adds nothing
    watch.stop();
    EXPECT_EQ(watch.elapsed_ms(), stopped);
    // start begins a new measurement
    watch.start();
    EXPECT_LT(watch.elapsed_ms(), stopped);
}

// ---- console interrupt -----------------------------------------------------------

std::pair<int, std::string> poll_after(int signal_number)
{
    captured_output capture;
    poll_user_break();  // the first poll installs the handler
    os::raise_signal(signal_number);
    int status = status_of([] { poll_user_break(); });
    return {status, capture.text()};
}

TEST(user_break, every_signal_is_caught_and_ends_the_run)
{
    user_break_scope_t run;
    EXPECT_EQ(poll_after(os::signal_interrupt), std::make_pair(80, std::string("\nTerminated by user (SIGINT)\n\n")));
    // the handler re-installed itself: a second Ctrl-C is caught the same way
    EXPECT_EQ(poll_after(os::signal_interrupt), std::make_pair(80, std::string("\nTerminated by user (SIGINT)\n\n")));
    EXPECT_EQ(poll_after(os::signal_terminate),
              std::make_pair(80, std::string("\nTerminated by user (SIGTERM)\n\n")));
    // a closed terminal or SSH session, and Ctrl-\, end the run the same way
    EXPECT_EQ(poll_after(os::signal_hangup), std::make_pair(80, std::string("\nTerminated by user (SIGHUP)\n\n")));
    EXPECT_EQ(poll_after(os::signal_quit), std::make_pair(80, std::string("\nTerminated by user (SIGQUIT)\n\n")));
    EXPECT_EQ(poll_after(os::signal_hangup), std::make_pair(80, std::string("\nTerminated by user (SIGHUP)\n\n")));
    // the flag is cleared by the poll that reported it
    captured_output capture;
    EXPECT_NO_THROW(poll_user_break());
    EXPECT_EQ(capture.text(), "");
}

TEST(user_break, a_new_run_forgets_a_pending_interrupt)
{
    poll_user_break();
    os::raise_signal(os::signal_interrupt);
    user_break_scope_t next_run;
    EXPECT_NO_THROW(poll_user_break());
}

TEST(user_break, signal_names)
{
    expect_names(signal_name, {{2, "SIGINT"}, {21, "SIGBREAK"}, {15, "SIGTERM"}, {1, "SIGHUP"}, {3, "SIGQUIT"},
                               {9, "unknown signal"}, {0, "unknown signal"}});
}

}  // namespace
