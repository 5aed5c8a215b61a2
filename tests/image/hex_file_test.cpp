#include <gtest/gtest.h>

#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/hex_file.h"
#include "base/messages.h"
#include "support.h"
#include "support/hex_text.h"

namespace {

std::string temp_path(const char *name)
{
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/morvin_hex_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" + name;
}

void write_text(const std::string &path, const std::string &text)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

std::string read_text(const std::string &path)
{
    std::string text;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return "<missing>";
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    std::fclose(f);
    return text;
}

using e2e::hex_record;

std::vector<uint8_t> sequence(size_t n, uint8_t start)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = uint8_t(start + i * 7);
    return v;
}

const std::string eof = ":00000001FF\n";

// The line that follows a reader's error message, for the file read_text_as_hex writes.
std::string at_line(int line, const char *name = "in.hex")
{
    return "at line " + std::to_string(line) + " of '" + temp_path(name) + "'\n";
}

struct read_result_t {
    int status;         // 0: no exception
    bool runtime_error;  // the exception was an rtl_error
    std::string messages;
    std::string cause;  // the exception's what()
};

// No key reader: a checksum error is answered "no".
read_result_t read_text_as_hex(const std::string &text, PortionList &image, const char *name = "in.hex",
                               key_reader_t ask_key = nullptr)
{
    std::string path = temp_path(name);
    write_text(path, text);
    message_capture_t capture;
    read_result_t result{0, false, "", ""};
    try {
        read_hex_file(path.c_str(), image, ask_key);
    } catch (const rtl_error &e) {
        result = {e.exit_code, true, "", e.what()};
    } catch (const app_error &e) {
        result = {e.exit_code, false, "", e.what()};
    }
    result.messages = capture.take();
    std::remove(path.c_str());
    return result;
}

struct portion_t {
    int32_t address;
    std::vector<uint8_t> bytes;
    bool operator==(const portion_t &o) const { return address == o.address && bytes == o.bytes; }
};

std::vector<portion_t> portions(const PortionList &image)
{
    std::vector<portion_t> out;
    for (CodePortion *p = image.first(); p; p = image.next_of(p))
        out.push_back({p->address, std::vector<uint8_t>(p->data, p->data + p->length)});
    return out;
}

class HexFileTest : public ::testing::Test {
protected:
    PortionList image;
};

}  // namespace

TEST_F(HexFileTest, MalformedLinesAreRefusedWithTheLineAfterBlankRemoval)
{
    const std::string bad[] = {
        "10000000",                                 // no colon
        ":0100000041",                               // too few characters for the length
        ":01000000414100",                           // too many
        ":010000004GBE",                             // not a hex digit in the data
        ":+1000000FF",                               // sign in a field
        ":0000000000",                               // data record without data
        ":00000004FC",                               // extended address without its two bytes
        ":0100000041B",                              // odd count of digits
    };
    for (const std::string &line : bad) {
        PortionList img;
        read_result_t r = read_text_as_hex(line + "\n" + eof, img);
        std::string compact;
        for (char c : line)
            if (c != ' ')
                compact += c;
        EXPECT_EQ(r.status, EXIT_BAD_DATA) << line;
        EXPECT_FALSE(r.runtime_error) << line;
        EXPECT_EQ(r.messages, "Invalid HEX line\n'" + compact + "'\n" + at_line(1)) << line;
    }
    // The line is counted in the file as it stands: comments, blank lines and CR LF
    // ends count, and the rest of an overlong line is still that line.
    PortionList counted;
    read_result_t later = read_text_as_hex("# c\r\n\r\n" + hex_record(0, 0, {1}) + " " + std::string(530, ' ') +
                                               ":0100\n" + eof,
                                           counted);
    EXPECT_EQ(later.messages, "Invalid HEX line\n':0100'\n" + at_line(4));
    // Data beyond the signed 32-bit address space.
    PortionList img;
    read_result_t r = read_text_as_hex(hex_record(4, 0, {0x7F, 0xFF}) + hex_record(0, 0xFFFF, {1, 2}) + eof, img);
    EXPECT_EQ(r.status, EXIT_BAD_DATA);
    EXPECT_NE(r.messages.find("Invalid HEX line"), std::string::npos);
}

TEST_F(HexFileTest, OtherFailuresGiveTheirMessagesAndStatuses)
{
    read_result_t r = read_text_as_hex(hex_record(6, 0, {1}) + eof, image);
    EXPECT_EQ(r.status, EXIT_BAD_DATA);
    EXPECT_EQ(r.messages, "Unknown HEX record type 0x 6\n" + at_line(1));

    // A file that ends early failed no system call: no system text follows,
    // whatever errno an earlier call left behind.
    PortionList no_end;
    errno = ENOTTY;
    r = read_text_as_hex(hex_record(0, 0, {1, 2}), no_end, "noend.hex");
    EXPECT_EQ(r.status, EXIT_BAD_DATA);
    EXPECT_TRUE(r.runtime_error);
    EXPECT_EQ(r.messages, "Unexpected end of file '" + temp_path("noend.hex") + "'\n");
    EXPECT_EQ(r.cause, "");
    // a read that fails gives its own cause
    std::string folder = temp_path("folder.hex");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    PortionList unread;
    message_capture_t folder_capture;
    try {
        read_hex_file(folder.c_str(), unread, nullptr);
        ADD_FAILURE() << "a folder was read as a HEX file";
    } catch (const rtl_error &e) {
        EXPECT_EQ(e.exit_code, EXIT_BAD_DATA);
        EXPECT_STREQ(e.what(), strerror(EISDIR));
    }
    EXPECT_EQ(folder_capture.take(), "Unexpected end of file '" + folder + "'\n");
    rmdir(folder.c_str());

    PortionList missing;
    message_capture_t capture;
    std::string path = temp_path("does_not_exist/x.hex");
    try {
        read_hex_file(path.c_str(), missing, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const rtl_error &e) {
        EXPECT_EQ(e.exit_code, EXIT_USAGE);
    }
    EXPECT_EQ(capture.take(), "Can't open file '" + path + "'\n");
}

TEST_F(HexFileTest, ChecksumQuestionIsAskedOncePerFileAndNoMeansStop)
{
    std::string bad_sum = ":0100000041BF\n";  // right sum would be BE
    std::string also_bad = ":0100010042BB\n";  // right sum would be BC
    static int asked;
    static int answer;
    key_reader_t reader = [] { asked++; return answer; };

    for (int key : {-1, int('n'), int('x')}) {
        PortionList img;
        asked = 0;
        answer = key;
        read_result_t r = read_text_as_hex(bad_sum + eof, img, "in.hex", reader);
        EXPECT_EQ(r.status, EXIT_BAD_DATA) << key;
        EXPECT_EQ(r.messages, "CSUM error in line\n  :0100000041BF\nIgnore ALL CSUM errors (y/N)?\n" + at_line(1));
        EXPECT_EQ(asked, 1);
    }
    for (int key : {int('y'), int('Y')}) {
        PortionList img;
        asked = 0;
        answer = key;
        read_result_t r = read_text_as_hex(bad_sum + also_bad + eof, img, "in.hex", reader);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(asked, 1) << "asked again within one file";
        EXPECT_EQ(portions(img), (std::vector<portion_t>{{0, {0x41, 0x42}}}));
        PortionList next;  // a new file asks again
        read_text_as_hex(bad_sum + eof, next, "in.hex", reader);
        EXPECT_EQ(asked, 2);
    }
}

TEST_F(HexFileTest, RunsGatherConsecutiveRecordsUpTo4096Bytes)
{
    std::string text;
    std::vector<uint8_t> all;
    for (uint16_t a = 0; a < 0x3000; a += 16) {
        std::vector<uint8_t> d = sequence(16, uint8_t(a >> 4));
        all.insert(all.end(), d.begin(), d.end());
        text += hex_record(0, a, d);
    }
    text += hex_record(0, 0x3001, {0xAA});  // a one-byte gap starts a new portion
    read_result_t r = read_text_as_hex(text + eof, image);
    ASSERT_EQ(r.status, 0);
    std::vector<portion_t> got = portions(image);
    ASSERT_EQ(got.size(), 4u);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(got[size_t(i)], (portion_t{i * 4096, std::vector<uint8_t>(all.begin() + i * 4096, all.begin() + (i + 1) * 4096)}));
    EXPECT_EQ(got[3], (portion_t{0x3001, {0xAA}}));
}

TEST_F(HexFileTest, LayoutFreedomAndRecordKinds)
{
    std::vector<uint8_t> big = sequence(255, 3);
    std::string big_line = hex_record(0, 0x4000, big);
    ASSERT_EQ(big_line.size(), 522u);  // 521 characters and the line end
    std::string text = "# comment line\r\n\r\n   \t\n"
                       "  :02 0010 00 1122 BB\r\n" +
                       big_line + hex_record(3, 0, {0, 0, 0, 0}) + hex_record(5, 0, {0, 0, 0, 0}) +
                       hex_record(4, 0, {0x00, 0x01}) + hex_record(0, 0x0000, {0x51}) +
                       hex_record(2, 0, {0x10, 0x00}) + hex_record(0, 0x0002, {0x52}) +
                       hex_record(4, 0, {0x00, 0x02, 0x33}) + hex_record(0, 0xFFF8, sequence(16, 9)) + eof +
                       "garbage after the end record\n";
    read_result_t r = read_text_as_hex(text, image);
    ASSERT_EQ(r.status, 0) << r.messages;
    EXPECT_EQ(r.messages, "Start address record in HEX file ignored\nStart address record in HEX file ignored\n");
    EXPECT_EQ(portions(image), (std::vector<portion_t>{{0x10, {0x11, 0x22}},
                                                       {0x4000, big},
                                                       {0x10000, {0x51}},
                                                       {0x10002, {0x52}},
                                                       {0x2FFF8, sequence(16, 9)}}));
    // A line longer than 521 characters goes on as the next line.
    PortionList img;
    r = read_text_as_hex(" " + big_line + eof, img);
    EXPECT_EQ(r.status, EXIT_BAD_DATA);
}

TEST_F(HexFileTest, PortionsAreSortedAndOverlapsChecked)
{
    std::string text = hex_record(0, 0x20, {1, 2, 3, 4}) + hex_record(0, 0x10, {9}) + hex_record(0, 0x20, {1, 2}) +
                       hex_record(0, 0x30, {7}) + hex_record(0, 0x22, {3}) + eof;
    read_result_t r = read_text_as_hex(text, image);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(portions(image), (std::vector<portion_t>{{0x10, {9}}, {0x20, {1, 2}}, {0x20, {1, 2, 3, 4}}, {0x22, {3}}, {0x30, {7}}}));
    EXPECT_EQ(r.messages,
              "Warning: HEX file records overlapped in addresses 0x20-0x21 with equal data\n"
              "Warning: HEX file records overlapped in addresses 0x22-0x22 with equal data\n");

    PortionList clash;
    r = read_text_as_hex(hex_record(0, 0x100, {1, 2, 3}) + hex_record(0, 0x102, {4, 5}) + eof, clash);
    EXPECT_EQ(r.status, EXIT_BAD_DATA);
    EXPECT_EQ(r.messages, "HEX file records overlapped in addresses 0x102-0x102 with NON-equal data\n");

    PortionList empty;
    r = read_text_as_hex("# nothing\n" + eof, empty, "empty.hex");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(r.messages, "Warning: '" + temp_path("empty.hex") + "' has no data records\n");
}

// One warning per record that meets earlier ones, however many it meets, with
// the stretch it shares with them; the check is not quadratic in the records.
TEST_F(HexFileTest, EachOverlappingRecordIsReportedOnce)
{
    std::vector<uint8_t> pattern = sequence(16, 0x40);
    std::vector<uint8_t> tail(pattern.begin() + 4, pattern.end());
    std::vector<uint8_t> middle(pattern.begin() + 6, pattern.begin() + 8);
    std::string text = hex_record(0, 0x100, pattern) + hex_record(0, 0x104, tail) + hex_record(0, 0x106, middle) + eof;
    read_result_t r = read_text_as_hex(text, image);
    ASSERT_EQ(r.status, 0) << r.messages;
    EXPECT_EQ(r.messages,
              "Warning: HEX file records overlapped in addresses 0x104-0x10F with equal data\n"
              "Warning: HEX file records overlapped in addresses 0x106-0x107 with equal data\n");
    EXPECT_EQ(image.count(), 3);

    // a record that differs from an earlier one it overlaps
    std::vector<uint8_t> changed = middle;
    changed[1] ^= 1;
    PortionList clash;
    r = read_text_as_hex(hex_record(0, 0x100, pattern) + hex_record(0, 0x102, {pattern[2]}) + hex_record(0, 0x106, changed) + eof,
                         clash);
    EXPECT_EQ(r.status, EXIT_BAD_DATA);
    EXPECT_EQ(r.messages,
              "Warning: HEX file records overlapped in addresses 0x102-0x102 with equal data\n"
              "HEX file records overlapped in addresses 0x106-0x107 with NON-equal data\n");

    // 30,000 copies of one record: 29,999 warnings, in well under the test's
    // time-out (pair by pair it would be 450 million lines and hours)
    std::string copies;
    std::string one = hex_record(0, 0x200, pattern);
    for (int i = 0; i < 30000; i++)
        copies += one;
    PortionList many;
    auto start = std::chrono::steady_clock::now();
    r = read_text_as_hex(copies + eof, many);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(r.status, 0);
    const std::string warning = "Warning: HEX file records overlapped in addresses 0x200-0x20F with equal data\n";
    EXPECT_EQ(r.messages.size(), 29999 * warning.size());
    EXPECT_EQ(r.messages.substr(0, warning.size()), warning);
    EXPECT_EQ(many.count(), 30000);
    EXPECT_LT(seconds, 20.0);
}

TEST_F(HexFileTest, WriterTextIsExact)
{
    std::string path = temp_path("out.hex");
    uint8_t three[] = {1, 2, 3};
    uint8_t high[] = {0xAB};
    image.append(new CodePortion(0x0100, 3, three));
    image.append(new CodePortion(0x10000, 1, high));
    ASSERT_TRUE(write_hex_file(image, path.c_str()));
    EXPECT_EQ(read_text(path), ":03010000010203F6\n:020000040001F9\n:01000000AB54\n" + eof);

    PortionList empty;
    ASSERT_TRUE(write_hex_file(empty, path.c_str()));
    EXPECT_EQ(read_text(path), eof);
    std::remove(path.c_str());
}

TEST_F(HexFileTest, RoundTripKeepsEveryByteAcross64KiB)
{
    std::string path = temp_path("round.hex");
    // Record cutting: 37 bytes give 16 + 16 + 5; a portion across 0x10000 and
    // one above 0x20000 need extended address records.
    image.append(new CodePortion(0x0000, 37, sequence(37, 1).data()));
    image.append(new CodePortion(0xFFF8, 40, sequence(40, 2).data()));
    image.append(new CodePortion(0x2F000, 300, sequence(300, 3).data()));
    ASSERT_TRUE(write_hex_file(image, path.c_str()));
    std::string text = read_text(path);
    EXPECT_NE(text.find(":100000"), std::string::npos);
    EXPECT_NE(text.find(":05002000"), std::string::npos);
    EXPECT_NE(text.find(":10FFF800"), std::string::npos);  // crosses 64 KiB in one record
    EXPECT_NE(text.find(":020000040002F8\n"), std::string::npos);

    PortionList back;
    message_capture_t capture;
    read_hex_file(path.c_str(), back, nullptr);
    EXPECT_EQ(portions(back), portions(image));
    EXPECT_EQ(capture.take(), "");
    std::remove(path.c_str());
}

TEST_F(HexFileTest, WriteErrorIsReportedAndTheOldFileKept)
{
    // a file size limit makes every write past it fail (EFBIG), as a full disk would
    std::string path = temp_path("full.hex");
    write_text(path, "old\n");
    std::vector<uint8_t> bytes(70000, 0x5A);
    image.append(new CodePortion(0, int32_t(bytes.size()), bytes.data()));
    PortionList tiny;  // small enough to sit in the stream buffer until the close
    struct rlimit saved_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
    void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    for (rlim_t limit : {rlim_t(4096), rlim_t(0)}) {
        struct rlimit small = saved_limit;
        small.rlim_cur = limit;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        message_capture_t capture;
        bool written = write_hex_file(limit ? image : tiny, path.c_str());
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved_limit), 0);
        EXPECT_FALSE(written) << limit;
        EXPECT_EQ(capture.take(), path + " - write error\n");
        EXPECT_EQ(read_text(path), "old\n") << "the old file was touched";
        EXPECT_EQ(read_text(path + ".part"), "<missing>") << "the temporary file was left";
    }
    signal(SIGXFSZ, saved_handler);

    // without the limit the file is replaced
    EXPECT_TRUE(write_hex_file(tiny, path.c_str()));
    EXPECT_EQ(read_text(path), ":00000001FF\n");
    std::remove(path.c_str());
}
