// The message stream, the error classes and the run's error handler.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "harness.h"
#include "os/os.h"
#include "base/dll.h"

namespace {

struct level_guard {
    uint8_t saved = msg_out.level;
    ~level_guard() { msg_out.level = saved; }
};

TEST(messages, levels_decide_what_is_shown)
{
    level_guard guard;
    captured_output capture;
    msg_out.level = MSG_INFO;
    msg_print(msg_out, MSG_ERROR, "e");
    msg_print(msg_out, MSG_WARNING, "w");
    msg_print(msg_out, MSG_INFO, "i");
    msg_print(msg_out, MSG_DEBUG, "\t%% d");
    msg_print(msg_out, MSG_TRACE, "t");
    EXPECT_EQ(capture.text(), "ewi");
    msg_out.level = MSG_TRACE;
    msg_print(msg_out, MSG_DEBUG, "\t%% d");
    msg_print(msg_out, MSG_TRACE, "t");
    msg_print(msg_out, 5, "never");
    EXPECT_EQ(capture.text(), "ewi\t% dt");
}

TEST(messages, null_format_prints_nothing)
{
    captured_output capture;
    msg_print(msg_out, MSG_ERROR, nullptr);
    EXPECT_EQ(capture.text(), "");
}

TEST(messages, formats_arguments_and_adds_no_newline)
{
    captured_output capture;
    msg_print(msg_out, MSG_INFO, "%s=%02X %d%%", "x", 0xA, -3);
    EXPECT_EQ(capture.text(), "x=0A -3%");
}

TEST(messages, long_message_is_cut_after_2047_characters)
{
    captured_output capture;
    std::string body(3000, 'x');
    msg_print(msg_out, MSG_INFO, "%s\n", body.c_str());
    EXPECT_EQ(capture.text(), std::string(2047, 'x'));

    captured_output exact;
    std::string fits(2046, 'y');
    msg_print(msg_out, MSG_INFO, "%s\n", fits.c_str());
    EXPECT_EQ(exact.text(), fits + "\n");
}

TEST(messages, printing_keeps_errno_for_the_handler)
{
    captured_output capture;
    errno = ENOENT;
    msg_print(msg_out, MSG_ERROR, "x\n");
    EXPECT_EQ(errno, ENOENT);
}

TEST(errors, what_texts)
{
    EXPECT_STREQ(app_error(10).what(), "");
    EXPECT_EQ(app_error(10).exit_code, 10);

    // the cause is the failing call's, taken when the error is built: what runs
    // between the failure and the handler (closing files, printing) can't change it
    errno = ENOENT;
    rtl_error rtl(50);
    EXPECT_EQ(rtl.exit_code, 50);
    errno = ENOTTY;
    EXPECT_STREQ(rtl.what(), strerror(ENOENT));
    EXPECT_STREQ(rtl_error(70, EISDIR).what(), strerror(EISDIR));
    // a call that failed without a system error (a file that ended) has no text
    EXPECT_STREQ(rtl_error(50, 0).what(), "");

    os::clear_system_error();
    EXPECT_EQ(os::load_library("no-such-library-morvin.so"), nullptr);
    win32_error system(70);
    std::string text = system.what();
    EXPECT_EQ(os::load_library("another-missing-morvin.so"), nullptr);
    EXPECT_EQ(std::string(system.what()), text);
    EXPECT_NE(text.find("no-such-library-morvin.so"), std::string::npos) << text;
    os::clear_system_error();
}

TEST(errors, fail_prints_at_error_level_and_throws_the_status)
{
    level_guard guard;
    captured_output capture;
    msg_out.level = MSG_ERROR;
    try {
        fail(40, "Can't %s %d\n", "resync", 4);
        ADD_FAILURE() << "fail returned";
    } catch (const app_error &e) {
        EXPECT_EQ(e.exit_code, 40);
        EXPECT_STREQ(e.what(), "");
    }
    EXPECT_EQ(capture.text(), "Can't resync 4\n");
}

TEST(errors, open_file_failure_reports_the_name_and_the_cause)
{
    captured_output capture;
    const char *path = "/nonexistent-dir-morvin/x.hex";
    try {
        open_file(path, "rb");
        ADD_FAILURE() << "open_file returned";
    } catch (const rtl_error &e) {
        EXPECT_EQ(e.exit_code, 70);
        EXPECT_STREQ(e.what(), strerror(ENOENT));
    }
    EXPECT_EQ(capture.text(), std::string("Can't open file '") + path + "'\n");
}

TEST(errors, system_error_text_has_no_line_end)
{
    os::clear_system_error();
    EXPECT_EQ(os::load_library("no-such-library-morvin.so"), nullptr);
    std::string text = win32_error(70).what();
    EXPECT_NE(text.find("no-such-library-morvin.so"), std::string::npos) << text;
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.back(), '\r');
    os::clear_system_error();
}

// ---- the handler -------------------------------------------------------------

template <typename E>
std::pair<int, std::string> handled(const E &error)
{
    captured_output capture;
    int status = -1;
    try {
        throw error;
    } catch (...) {
        status = handle_run_error();
    }
    return {status, capture.text()};
}

TEST(handler, statuses_and_texts)
{
    EXPECT_EQ(handled(std::bad_alloc()), std::make_pair(60, std::string("Can't allocate memory\n")));
    EXPECT_EQ(handled(app_error(30)), std::make_pair(30, std::string("\n")));
    EXPECT_EQ(handled(app_error(0)), std::make_pair(0, std::string("\n")));
    EXPECT_EQ(handled(std::runtime_error("boom")), std::make_pair(255, std::string("boom\n")));
    EXPECT_EQ(handled(std::out_of_range("range")), std::make_pair(255, std::string("range\n")));
    errno = EACCES;
    EXPECT_EQ(handled(rtl_error(50)), std::make_pair(50, std::string(strerror(EACCES)) + "\n"));
}

TEST(handler, library_errors_name_library_and_cause)
{
    captured_output capture;
    int status = -1;
    try {
        dll_t library("FTD2XX.DLL");
        ADD_FAILURE() << "a driver library was found";
    } catch (...) {
        status = handle_run_error();
    }
    EXPECT_EQ(status, 70);
    std::string text = capture.text();
    const std::string head = "Can't load library 'FTD2XX.DLL'\n";
    ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
    // the Windows name is mapped to the local one, whatever its case
    EXPECT_NE(text.find("libftd2xx.so", head.size()), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n', head.size()), text.size() - 1) << "one line of cause";
}

TEST(dll, symbols_of_a_loaded_library)
{
    dll_t library("libc.so.6");
    EXPECT_STREQ(library.library_name(), "libc.so.6");
    auto length = reinterpret_cast<size_t (*)(const char *)>(library.symbol("strlen"));
    ASSERT_NE(length, nullptr);
    EXPECT_EQ(length("four"), 4u);

    captured_output capture;
    try {
        library.symbol("no_such_function_morvin");
        ADD_FAILURE() << "symbol returned";
    } catch (const win32_error &e) {
        EXPECT_EQ(e.exit_code, 70);
        EXPECT_NE(std::string(e.what()).find("no_such_function_morvin"), std::string::npos) << e.what();
    }
    EXPECT_EQ(capture.text(), "Can't get function 'no_such_function_morvin' from library 'libc.so.6'\n");
}

TEST(banner, title_version_and_contact)
{
    captured_output capture;
    print_banner();
    std::string text = capture.text();
    EXPECT_EQ(after_banner(text), "");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
}

}  // namespace
