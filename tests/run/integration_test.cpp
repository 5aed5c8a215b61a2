// Runs that lean on the device table, the fuse parser, the HEX reader and the
// image split.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "avr/fuses.h"
#include "harness.h"
#include "support/hex_text.h"
#include "image/image.h"

namespace {

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));
    return lines;
}

TEST(device_list, groups_and_lines_of_five)
{
    captured_output capture;
    print_usage();
    std::vector<std::string> lines = lines_of(capture.text());
    size_t heading = 0;
    while (heading < lines.size() && lines[heading] != "Supported devices")
        heading++;
    ASSERT_LT(heading + 1, lines.size());
    // 90S1200 starts a group, so 86RF401 stands alone
    EXPECT_EQ(lines[heading + 1], " 86RF401   ");
    EXPECT_EQ(lines[heading + 2], " 90S1200    90S2313    90S4414    90S8515    90S4434   ");
    bool seen = false;
    for (size_t i = heading + 1; i + 1 < lines.size(); i++) {
        if (lines[i].compare(0, 8, " tiny15 ") == 0) {
            seen = true;
            EXPECT_EQ(lines[i], " tiny15     tiny25     tiny45     tiny85     tiny43u   ");
            EXPECT_EQ(lines[i + 1], " tiny87     tiny167   ");
            EXPECT_EQ(lines[i + 2].compare(0, 8, " tiny26 "), 0) << lines[i + 2];
        }
    }
    EXPECT_TRUE(seen);
    // every record is listed once, names joined by '|' kept whole
    std::string text = capture.text();
    EXPECT_NE(text.find(" tiny13|tiny13A"), std::string::npos);
    EXPECT_NE(text.find(" 90pwm1|90pwm2B|90pwm3B"), std::string::npos);
    size_t names = 0;
    for (size_t i = heading + 1; i < lines.size() && !lines[i].empty(); i++)
        for (size_t at = 0; (at = lines[i].find_first_not_of(' ', at)) != std::string::npos; names++)
            at = lines[i].find(' ', at);
    EXPECT_EQ(names, 103u);
}

TEST(help, after_a_chip_name_prints_its_fuse_list)
{
    std::string fuse_list;
    {
        captured_output capture;
        print_fuse_list("mega8");
        fuse_list = capture.text();
    }
    ASSERT_FALSE(fuse_list.empty());
    run_result r = run_morvin({"+ATmega8", "-?"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.rest, echo("+ATmega8 -?") + fuse_list + "\n");
}

TEST(checks, fuse_list_without_write_or_verify)
{
    run_result r = run_morvin({"+mega8", "-r", "x.hex", "-fBODEN=1"});
    EXPECT_EQ(r.status, 70);
    EXPECT_EQ(r.rest, echo("+mega8 -r x.hex -fBODEN=1") + "Nothing to do with fuses, -w or -v must be specified\n\n");
    r = run_morvin({"+mega8", "-e", "-fBODEN=1"});
    EXPECT_EQ(r.status, 70);
    EXPECT_EQ(r.rest, echo("+mega8 -e -fBODEN=1") + "Nothing to do with fuses, -w or -v must be specified\n\n");
}

// ---- input files ---------------------------------------------------------------

using e2e::hex_record;

struct temp_hex {
    std::string path;
    explicit temp_hex(const std::string &body)
    {
        char pattern[] = "/tmp/morvin-hex-XXXXXX";
        int fd = mkstemp(pattern);
        EXPECT_GE(fd, 0);
        path = pattern;
        FILE *f = fdopen(fd, "w");
        fputs(body.c_str(), f);
        fputs(":00000001FF\n", f);
        fclose(f);
    }
    ~temp_hex() { remove(path.c_str()); }
};

std::vector<std::pair<int32_t, int32_t>> spans(const PortionList &image)
{
    std::vector<std::pair<int32_t, int32_t>> result;
    // the ring ends at its last element
    for (CodePortion *p = image.first(); p; p = p == image.last_portion() ? nullptr : static_cast<CodePortion *>(p->next))
        result.push_back({p->address, p->length});
    return result;
}

// The runs end at the invalid adapter letter, after the files were loaded.
TEST(input_files, one_file_is_split_at_the_flash_size)
{
    temp_hex file(hex_record(0, 0x0000, {1, 2, 3, 4}) + hex_record(0, 0x1FFE, {5, 6, 7, 8}) +
                  hex_record(0, 0x2010, {9}));
    run_result r = run_morvin({"+mega8", "-w", file.path, "-aq"});
    EXPECT_EQ(r.status, 70);
    using span_list = std::vector<std::pair<int32_t, int32_t>>;
    EXPECT_EQ(spans(last_context()->code_image), (span_list{{0, 4}, {0x1FFE, 2}}));
    EXPECT_EQ(spans(last_context()->data_image), (span_list{{0, 2}, {0x10, 1}}));
    ASSERT_FALSE(last_context()->data_image.empty());
    EXPECT_EQ(last_context()->data_image.first()->byte_at(0), 7);

    // a named code file is not split
    run_morvin({"+mega8", "-w", "-c", file.path, "-aq"});
    EXPECT_EQ(spans(last_context()->code_image), (span_list{{0, 4}, {0x1FFE, 4}, {0x2010, 1}}));
    EXPECT_TRUE(last_context()->data_image.empty());

    // nor is the first of two files
    temp_hex data(hex_record(0, 0x0000, {0xAA}));
    run_morvin({"+mega8", "-v", file.path, data.path, "-aq"});
    EXPECT_EQ(spans(last_context()->code_image), (span_list{{0, 4}, {0x1FFE, 4}, {0x2010, 1}}));
    EXPECT_EQ(spans(last_context()->data_image), (span_list{{0, 1}}));
}

TEST(input_files, a_missing_file_names_the_cause)
{
    run_result r = run_morvin({"+mega8", "-w", "/nonexistent-morvin/x.hex"});
    EXPECT_EQ(r.status, 70);
    EXPECT_EQ(r.rest, echo("+mega8 -w /nonexistent-morvin/x.hex") +
                          "Can't open file '/nonexistent-morvin/x.hex'\n" + strerror(ENOENT) + "\n");
}

// A read run does not load its files: they are its targets.
TEST(input_files, read_runs_do_not_open_their_files)
{
    run_result r = run_morvin({"+mega8", "-r", "/nonexistent-morvin/x.hex", "-aq"});
    EXPECT_EQ(r.status, 70);
    EXPECT_EQ(r.rest.find("Can't open file"), std::string::npos) << r.rest;
    EXPECT_TRUE(last_context()->code_image.empty());
}

}  // namespace
