// The parallel-port adapter switches (-a, -p, -o0) of the built program, run
// against the virtual chip through the drop-in DLPortIO library: cable detection,
// refusals, powering, reset polarity, pin maps and configuration files, port
// selection. A subset runs the Windows build under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_cli/cli_support.h"

namespace {

using cli::build;
using cli::chip_vars;
using cli::osc_switch;

const char detected[] = "Device connected, mega328P detected";

// The debug lines from the port's write cycle up to (not including) the timing lines:
// what cable detection and the cable choice printed.
std::vector<std::string> cable_lines(const e2e::run_result &r)
{
    std::vector<std::string> result;
    bool on = false;
    for (const std::string &l : cli::debug_lines(r)) {
        if (l.compare(0, 23, "\t% MCU osc frequency = ") == 0 || l.find(" XTAL will be generated") != std::string::npos)
            break;
        if (on)
            result.push_back(l);
        if (l.compare(0, 19, "\t% LPT write cycle ") == 0)
            on = true;
    }
    return result;
}

// What a case gives the program (a switch, a cable file's text) and the message that refuses it.
struct bad_input {
    const char *given;
    const char *message;
};

// A run refused with status 70; after: the output after the command line.
void expect_refused(const e2e::virtual_target &target, const std::vector<std::string> &args,
                    const std::string &after, const std::string &given)
{
    e2e::run_result r = target.morvin(args);
    EXPECT_EQ(70, r.status) << given << "\n" << r.out;
    EXPECT_EQ(after, cli::after_command(r)) << given;
}

// ---------------------------------------------------------------- default cable

void check_default_cable(build b)
{
    e2e::virtual_target target("mega328P", chip_vars());
    e2e::run_result r = cli::run(target, b, {"+mega328P", osc_switch, "-%"});
    ASSERT_EQ(0, r.status) << r.out;
    std::vector<std::string> expected = {"\t% LPT port number 2", "\t% LPT base address 0x278"};
    if (b == build::native && e2e::over_ppdev()) {
        // the kernel's device at LPT2's base address; no library is loaded
        expected.push_back("\t% ppdev interface /dev/parport0 activated");
        EXPECT_FALSE(r.has("DLportIO")) << r.out;
    } else {
        if (b == build::native) {
            // no parallel port device here, so the library stands in
            expected.push_back("\t% ppdev: no parallel port device, trying DLportIO");
        }
        expected.push_back("\t% DLportIO.dll succesfully loaded, DLportIO.sys interface activated");
    }
    expected.push_back(cli::line_starting(r, "\t% LPT write cycle "));
    expected.push_back("\t% FBPRG adapter mode");
    expected.push_back("\t% MCU osc frequency = 4000kHz");
    expected.push_back("\t% setup 0.50us, hold 0.50us");
    std::vector<std::string> debug = cli::debug_lines(r);
    ASSERT_GE(debug.size(), expected.size()) << r.out;
    EXPECT_EQ(expected, std::vector<std::string>(debug.begin(), debug.begin() + expected.size())) << r.out;
    EXPECT_TRUE(cli::lines_in_order(r, {detected, "Chip not locked", "Reset pin released"}));
    // the default cable has no buffer to enable
    EXPECT_FALSE(cli::has_line(r, "Adapter enabled")) << r.out;
}

NATIVE_AND_WINE_TESTS(DefaultCable, NativeTalksToTheChipOnLpt2, WineTalksToTheChipOnLpt2, check_default_cable)

TEST(DefaultCable, ABufferedCableOnThePortDoesNotAnswer)
{
    for (const char *cable : {"byteblaster", "stk200"}) {
        e2e::virtual_target target("mega328P", chip_vars({{"VT_CABLE", cable}}));
        e2e::run_result r = target.morvin({"+mega328P", osc_switch});
        EXPECT_EQ(40, r.status) << cable << "\n" << r.out;
        EXPECT_EQ("Can't resync\n\nReset pin released\n", cli::after_command(r)) << cable;
    }
}

// ---------------------------------------------------------------- buffered cables found

struct detection_case {
    const char *cable;
    const char *letters;
    std::vector<std::string> lines;  // detection and mode lines
};

void check_detection(build b, const detection_case &c)
{
    e2e::virtual_target target("mega328P", chip_vars({{"VT_CABLE", c.cable}}));
    e2e::run_result r = cli::run(target, b, {"+mega328P", osc_switch, c.letters, "-%"});
    SCOPED_TRACE(std::string(c.cable) + " " + c.letters + " " + cli::build_name(b));
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(c.lines, cable_lines(r)) << r.out;
    // the buffer is switched on before the chip is reset and off at the end
    EXPECT_TRUE(cli::lines_in_order(r, {"Adapter enabled", "\t% Reset", detected, "Reset pin released",
                                        "Adapter disabled"}));
}

TEST(BufferedCables, DetectedAndUsed)
{
    const std::vector<detection_case> cases = {
        {"byteblaster", "-ab", {"\t% ByteBlaster found", "\t% ByteBlaster adapter mode"}},
        {"byteblaster_mv", "-ab", {"\t% ByteBlasterMV found", "\t% ByteBlaster adapter mode"}},
        {"byteblaster_ii", "-aB", {"\t% ByteBlaster-II found", "\t% ByteBlasterII adapter mode"}},
        {"stk200", "-as", {"\t% Atmel adapter for STK200 found", "\t% STK adapter mode"}},
        {"stk300", "-aS", {"\t% Atmel adapter for STK300 found", "\t% STK adapter mode"}},
        // automatic: STK first, then ByteBlaster
        {"stk200", "-aa", {"\t% Atmel adapter for STK200 found", "\t% STK adapter mode"}},
        {"stk300", "-aA", {"\t% Atmel adapter for STK300 found", "\t% STK adapter mode"}},
        {"byteblaster",
         "-aa",
         {"\t% Atmel adapter for STK not found", "\t% ByteBlaster found", "\t% ByteBlaster adapter mode"}},
        {"byteblaster_mv",
         "-aa",
         {"\t% Atmel adapter for STK not found", "\t% ByteBlasterMV found", "\t% ByteBlaster adapter mode"}},
        {"byteblaster_ii",
         "-aa",
         {"\t% Atmel adapter for STK not found", "\t% ByteBlaster-II found", "\t% ByteBlasterII adapter mode"}},
        // a later kind letter replaces an earlier one
        {"stk300", "-abs", {"\t% Atmel adapter for STK300 found", "\t% STK adapter mode"}},
    };
    for (const detection_case &c : cases)
        check_detection(build::native, c);
}

WINE_TEST(BufferedCables, WineDetectsByteBlasterII)
{
    REQUIRE_WINDOWS_BUILD();
    check_detection(build::wine, {"byteblaster_ii", "-ab", {"\t% ByteBlaster-II found", "\t% ByteBlasterII adapter mode"}});
}

// ---------------------------------------------------------------- buffered cables refused

struct refusal_case {
    const char *cable;
    std::vector<std::string> letters;
    std::vector<std::string> detection;
    const char *message;
};

void check_refusal(build b, const refusal_case &c)
{
    e2e::virtual_target target("mega328P", chip_vars({{"VT_CABLE", c.cable}}));
    std::vector<std::string> args = {"+mega328P", osc_switch, "-%"};
    args.insert(args.end(), c.letters.begin(), c.letters.end());
    e2e::run_result r = cli::run(target, b, args);
    SCOPED_TRACE(std::string(c.cable) + " " + c.letters[0] + " " + cli::build_name(b));
    EXPECT_EQ(70, r.status) << r.out;
    EXPECT_EQ(c.detection, cable_lines(r)) << r.out;
    EXPECT_EQ(std::string(c.message) + "\n\n", cli::plain_text(r));
    // nothing reached the chip
    EXPECT_EQ("", target.trace());
}

const std::vector<std::string> no_byteblaster = {"\t% ByteBlaster not found"};
const std::vector<std::string> no_stk = {"\t% Atmel adapter for STK not found"};
const std::vector<std::string> no_cable = {"\t% Atmel adapter for STK not found", "\t% ByteBlaster not found"};

TEST(BufferedCables, RefusedWhenAnotherOrNoCableIsAttached)
{
    struct kind_case {
        const char *letters;
        std::vector<const char *> cables;  // attached instead
        const std::vector<std::string> &detection;
        const char *message;
    };
    const kind_case kinds[] = {
        {"-ab", {"fbprg", "stk200", "stk300", "xilinx", "none"}, no_byteblaster, "Altera ByteBlaster not found"},
        {"-as", {"fbprg", "byteblaster", "byteblaster_mv", "byteblaster_ii", "none"}, no_stk,
         "Atmel STK* adapter not found"},
        {"-aa", {"fbprg", "xilinx", "none"}, no_cable, "Known buffered adapter not found"},
    };
    for (const kind_case &k : kinds)
        for (const char *cable : k.cables)
            check_refusal(build::native, {cable, {k.letters}, k.detection, k.message});
    // forcing does not help the automatic choice
    check_refusal(build::native, {"none", {"-aa", "-!"}, no_cable, "Known buffered adapter not found"});
}

WINE_TEST(BufferedCables, WineRefusesStkWithoutCable)
{
    REQUIRE_WINDOWS_BUILD();
    check_refusal(build::wine, {"none", {"-as"}, no_stk, "Atmel STK* adapter not found"});
}

TEST(BufferedCables, ForcedPastAFailedDetection)
{
    struct forced {
        const char *cable;
        const char *letters;
        const char *warning;
    };
    for (const forced &f : {forced{"stk200", "-ab", "Altera ByteBlaster not found, but forced by '-!'"},
                            forced{"none", "-ab", "Altera ByteBlaster not found, but forced by '-!'"},
                            forced{"byteblaster", "-as", "Atmel STK* adapter not found, but forced by '-!'"}}) {
        e2e::virtual_target target("mega328P", chip_vars({{"VT_CABLE", f.cable}}));
        e2e::run_result r = target.morvin({"+mega328P", osc_switch, f.letters, "-!"});
        SCOPED_TRACE(std::string(f.cable) + " " + f.letters);
        // the run goes on with the cable asked for, which then finds no chip answering
        EXPECT_EQ(40, r.status) << r.out;
        EXPECT_EQ(std::string(f.warning) + "\nAdapter enabled\nCan't resync\n\nReset pin released\nAdapter disabled\n",
                  cli::after_command(r));
    }
}

// ---------------------------------------------------------------- Xilinx cable and XTAL generation

TEST(XilinxCable, UsedWithItsOwnClockAndRefusedForXtal)
{
    e2e::virtual_target target("mega328P", chip_vars({{"VT_CABLE", "xilinx"}}));
    e2e::run_result r = target.morvin({"+mega328P", osc_switch, "-ax", "-%"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(std::vector<std::string>{"\t% XILINX adapter mode"}, cable_lines(r)) << r.out;
    EXPECT_TRUE(cli::lines_in_order(r, {"Adapter enabled", detected, "Adapter disabled"}));

    e2e::run_result xtal = target.morvin({"+mega328P", "-o0", "-ax"});
    EXPECT_EQ(70, xtal.status) << xtal.out;
    EXPECT_EQ("Can't generate XTAL, XILINX has no XTAL output\n\n", cli::after_command(xtal));
}

WINE_TEST(XilinxCable, WineRefusesXtalGeneration)
{
    REQUIRE_WINDOWS_BUILD();
    e2e::virtual_target target("mega328P", chip_vars({{"VT_CABLE", "xilinx"}}));
    e2e::run_result r = target.morvin_exe({"+mega328P", "-o0", "-ax"});
    EXPECT_EQ(70, r.status) << r.out;
    EXPECT_EQ("Can't generate XTAL, XILINX has no XTAL output\n\n", cli::after_command(r));
}

TEST(XtalGeneration, ClocksAChipWithoutOscillatorOnCablesThatHaveXtal)
{
    struct xtal_case {
        const char *cable;
        std::vector<std::string> args;
        const char *periods;  // the SCK phases, the divider after -o0, applied
    };
    for (const xtal_case &c : {xtal_case{"fbprg", {"-o0"}, "low 2 periods, high 2 periods"},
                               xtal_case{"byteblaster_ii", {"-o0", "-ab"}, "low 2 periods, high 2 periods"},
                               xtal_case{"stk200", {"-o0", "-as"}, "low 2 periods, high 2 periods"},
                               xtal_case{"fbprg", {"-o0,3"}, "low 6 periods, high 6 periods"}}) {
        e2e::virtual_target target("mega328P", {{"VT_CABLE", c.cable}, {"VT_CLOCK_KHZ", "0"}});
        std::vector<std::string> args = {"+mega328P", "-%"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        e2e::run_result r = target.morvin(args);
        SCOPED_TRACE(c.cable + std::string(" ") + c.args.front());
        EXPECT_EQ(0, r.status) << r.out;
        EXPECT_TRUE(cli::has_line(r, detected)) << r.out;
        EXPECT_TRUE(cli::has_line(r, std::string("\t% with SCK ") + c.periods)) << r.out;
        bool generated = false;
        const std::string tail = " XTAL will be generated";
        for (const std::string &l : cli::debug_lines(r)) {
            size_t at = l.find(tail);
            if (at != std::string::npos && at + tail.size() == l.size())
                generated = cli::frequency_mhz(l.substr(3, at - 3)) > 0.1;  // half the port's write rate
        }
        EXPECT_TRUE(generated) << r.out;
    }
}

TEST(XtalGeneration, UserMapWithoutXtalIsNamedInTheRefusal)
{
    e2e::virtual_target target("mega328P", chip_vars());
    e2e::run_result r = target.morvin({"+mega328P", "-o0", "-am:name=Bench wire:mosi=D5:miso=ACK:sck=D6:reset=D4"});
    EXPECT_EQ(70, r.status) << r.out;
    EXPECT_EQ("Adapter 'Bench wire'\nCan't generate XTAL, Bench wire has no XTAL output\n\n", cli::after_command(r));
}

// ---------------------------------------------------------------- letters Z, P, R, I

TEST(TristateLetter, NeedsTheDirectionBit)
{
    e2e::virtual_target target("mega328P", chip_vars());
    e2e::run_result r = target.morvin({"+mega328P", osc_switch, "-az"});
    EXPECT_EQ(0, r.status) << r.out;
    // the data lines are released through the enable signal at the end
    EXPECT_TRUE(cli::lines_in_order(r, {"Adapter enabled", detected, "Reset pin released", "Adapter disabled"}));

    target.set("VT_BIDIR", "0");
    e2e::run_result refused = target.morvin({"+mega328P", osc_switch, "-aZ"});
    EXPECT_EQ(70, refused.status) << refused.out;
    EXPECT_EQ("Can't control LPT data direction bit (required for -AZ)\n\n", cli::after_command(refused));
}

WINE_TEST(TristateLetter, WineRefusesAPortWithoutDirectionBit)
{
    REQUIRE_WINDOWS_BUILD();
    e2e::virtual_target target("mega328P", chip_vars({{"VT_BIDIR", "0"}}));
    e2e::run_result r = target.morvin_exe({"+mega328P", osc_switch, "-az"});
    EXPECT_EQ(70, r.status) << r.out;
    EXPECT_EQ("Can't control LPT data direction bit (required for -AZ)\n\n", cli::after_command(r));
}

TEST(LetterConflicts, PowerAndTristateOnlyWithTheDefaultCable)
{
    const bad_input cases[] = {
        {"-abz", "VuriVeraver can be used only with \"wires-only\" adapter"},
        {"-asz", "VuriVeraver can be used only with \"wires-only\" adapter"},
        {"-axz", "VuriVeraver can be used only with \"wires-only\" adapter"},
        {"-apb", "Can't supply power via buffered adapter"},
        {"-aap", "Can't supply power via buffered adapter"},
        // power is checked first
        {"-azpb", "Can't supply power via buffered adapter"},
    };
    e2e::virtual_target target("mega328P", chip_vars({{"VT_CABLE", "byteblaster"}}));
    // refused before the port is opened
    for (const bad_input &c : cases)
        expect_refused(target, {"+mega328P", osc_switch, c.given, "-%"}, std::string(c.message) + "\n\n", c.given);
}

void check_port_power(build b)
{
    // the chip's supply comes from the port's data lines only
    e2e::virtual_target target("mega328P", chip_vars({{"VT_PORT_POWER", "1"}}));
    e2e::run_result powered = cli::run(target, b, {"+mega328P", osc_switch, "-ap"});
    EXPECT_EQ(0, powered.status) << powered.out;
    EXPECT_TRUE(cli::lines_in_order(powered, {"Power ON", detected, "Reset pin released", "Power OFF"}));

    if (b == build::native) {
        e2e::run_result unpowered = cli::run(target, b, {"+mega328P", osc_switch});
        EXPECT_EQ(40, unpowered.status) << unpowered.out;
        EXPECT_EQ("Can't resync\n\nReset pin released\n", cli::after_command(unpowered));
    }
}

NATIVE_AND_WINE_TESTS(PowerLetter, PowersTheChipFromTheDataLines, WinePowersTheChipFromTheDataLines, check_port_power)

TEST(ResetLetter, ReversesTheResetLevelOfBuiltInAndUserCables)
{
    // On the plain cable -ar holds the chip out of reset, so it never answers.
    {
        e2e::virtual_target target("mega328P", chip_vars());
        e2e::run_result r = target.morvin({"+mega328P", osc_switch, "-ar"});
        EXPECT_EQ(40, r.status) << r.out;
        EXPECT_EQ("Can't resync\n\nReset pin released\n", cli::after_command(r));
    }
    // A cable with an inverter in the RESET line needs it.
    e2e::virtual_target target("mega328P", chip_vars({{"VT_CABLE", "mosi=D5,sck=D6,reset=~D4,miso=ACK"}}));
    e2e::run_result plain = target.morvin({"+mega328P", osc_switch});
    EXPECT_EQ(40, plain.status) << plain.out;
    e2e::run_result reversed = target.morvin({"+mega328P", osc_switch, "-aR"});
    EXPECT_EQ(0, reversed.status) << reversed.out;
    EXPECT_TRUE(cli::has_line(reversed, detected)) << reversed.out;
    // the letters before M apply to the user's map too
    e2e::run_result mapped = target.morvin({"+mega328P", osc_switch, "-arm:mosi=D5:miso=ACK:sck=D6:reset=D4"});
    EXPECT_EQ(0, mapped.status) << mapped.out;
    EXPECT_TRUE(cli::has_line(mapped, detected)) << mapped.out;
    e2e::run_result unreversed_map = target.morvin({"+mega328P", osc_switch, "-am:mosi=D5:miso=ACK:sck=D6:reset=D4"});
    EXPECT_EQ(40, unreversed_map.status) << unreversed_map.out;
}

// Time from the chip erase to the next Programming Enable in the chip's trace, in ms.
double erase_gap_ms(const std::string &trace)
{
    double erase_at = -1;
    for (const std::string &l : cli::split_lines(trace)) {
        double t = std::stod(l);
        if (l.find("chip_erase") != std::string::npos)
            erase_at = t;
        else if (erase_at >= 0 && l.find("pgm_enable") != std::string::npos)
            return t - erase_at;
    }
    return -1;
}

TEST(InactiveResetLetter, TimeIsMillisecondsWithRestOfTextIgnored)
{
    e2e::virtual_target target("mega328P", chip_vars());
    // A busy host only stretches a gap: the least of three 1 ms runs is the baseline.
    double fast_gap = 1e9;
    for (int i = 0; i < 3; i++) {
        e2e::write_text(target.path("trace.txt"), "");
        e2e::run_result fast = target.morvin({"+mega328P", osc_switch, "-e", "-ai1"});
        ASSERT_EQ(0, fast.status) << fast.out;
        double gap = erase_gap_ms(target.trace());
        ASSERT_GT(gap, 0) << target.trace();
        fast_gap = std::min(fast_gap, gap);
    }
    e2e::write_text(target.path("trace.txt"), "");
    // "b" after the number is not read as a cable letter
    e2e::run_result slow = target.morvin({"+mega328P", osc_switch, "-e", "-ai400b"});
    ASSERT_EQ(0, slow.status) << slow.out;
    EXPECT_FALSE(cli::has_line(slow, "Adapter enabled")) << slow.out;
    double slow_gap = erase_gap_ms(target.trace());
    // RESET is released 399 ms longer after the erase
    EXPECT_GE(slow_gap - fast_gap, 390) << fast_gap << " " << slow_gap;
    EXPECT_LT(slow_gap - fast_gap, 3000) << fast_gap << " " << slow_gap;
}

TEST(InactiveResetLetter, BadValuesAndUnknownLetters)
{
    const char hint[] = "\n\nFor short help type\n\tmorvin -h\n\n";
    const bad_input cases[] = {
        {"-ai0", "Invalid value '0' for switch A"},
        {"-ai10001", "Invalid value '10001' for switch A"},
        {"-aai-3", "Invalid value '-3' for switch A"},
        {"-aq", "Invalid value 'q' for switch A"},
        {"-abrq5", "Invalid value 'q5' for switch A"},
        {"-ai", "Value required for switch '-ai'"},
        {"-aix", "Value required for switch '-ai'"},
    };
    e2e::virtual_target target("mega328P", chip_vars());
    for (const bad_input &c : cases) {
        bool with_hint = std::string(c.message).find("Invalid") == 0;
        std::string after = c.message + std::string(with_hint ? hint : "\n\n");
        expect_refused(target, {"+mega328P", osc_switch, c.given, "-%"}, after, c.given);
    }
    EXPECT_EQ("", target.trace());
}

// ---------------------------------------------------------------- pin maps

const char bench_wiring[] = "mosi=D2,sck=D3,reset=D7,miso=PE";

TEST(PinMaps, InlineMapDrivesTheCableItDescribes)
{
    e2e::virtual_target target("mega328P", chip_vars({{"VT_CABLE", bench_wiring}}));
    e2e::run_result plain = target.morvin({"+mega328P", osc_switch});
    EXPECT_EQ(40, plain.status) << plain.out;

    e2e::run_result r = target.morvin({"+mega328P", osc_switch, "-am:name=Bench wire:mosi=D2:sck=D3:reset=D7:miso=PE", "-%"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(std::vector<std::string>{"\t% Bench wire adapter mode"}, cable_lines(r)) << r.out;
    EXPECT_TRUE(cli::lines_in_order(r, {"Adapter 'Bench wire'", "\t% LPT port number 2", detected}));

    // names of signals and pins in any case, entries in any order, no name
    e2e::run_result mixed = target.morvin({"+mega328P", osc_switch, "-AM:MISO=pe::Reset=d7:SCK=D3:mosi=d2:"});
    EXPECT_EQ(0, mixed.status) << mixed.out;
    EXPECT_TRUE(cli::lines_in_order(mixed, {"Adapter ''", detected}));
}

struct map_error {
    std::string arg;
    std::string message;
};

void check_map_errors(build b, const std::vector<map_error> &cases)
{
    e2e::virtual_target target("mega328P", chip_vars());
    for (const map_error &c : cases) {
        e2e::run_result r = cli::run(target, b, {"+mega328P", osc_switch, c.arg, "-%"});
        SCOPED_TRACE(c.arg + " " + cli::build_name(b));
        EXPECT_EQ(70, r.status) << r.out;
        // refused before the port is opened
        EXPECT_EQ(c.message + "\n\n", cli::plain_text(r));
        EXPECT_EQ("", cli::line_starting(r, "\t% LPT")) << r.out;
    }
    EXPECT_EQ("", target.trace());
}

TEST(PinMaps, EveryInlineMapError)
{
    check_map_errors(build::native,
                     {
                         {"-am", "mosi must be defined"},
                         {"-am=", "Invalid adapter switch 'm='"},
                         {"-am:", "Invalid adapter switch 'm:'"},
                         {"-arm=", "Invalid adapter switch 'rm='"},
                         {"-am:mosi", "adapter: invalid string 'mosi'"},
                         {"-am:mosi=", "adapter: invalid string 'mosi='"},
                         {"-am:name=A:name=B", "adapter: duplicate keyword 'name'"},
                         {"-am:NAME=A:Name=B", "adapter: duplicate keyword 'name'"},
                         {"-am:foo=D1", "adapter: invalid signal name 'foo'"},
                         {"-am: clk =D1", "adapter: invalid signal name 'clk'"},
                         {"-am:mosi=D5:mosi=D6", "adapter: duplicate signal name 'mosi'"},
                         {"-am:mosi=D5:MOSI=D6", "adapter: duplicate signal name 'MOSI'"},
                         {"-am:mosi=D9", "adapter: invalid pin name 'D9'"},
                         {"-am:mosi=~Q", "adapter: invalid pin name 'Q'"},
                         {"-am:mosi=D5,D5", "adapter: can't use 'D5' for 'mosi' - already used for 'mosi'"},
                         {"-am:mosi=D5:SCK=~d5", "adapter: can't use 'd5' for 'SCK' - already used for 'mosi'"},
                         {"-am:miso=D0", "adapter: can't use output pin 'D0' for input signal 'miso'"},
                         {"-am:mosi=ack", "adapter: can't use input pin 'ACK' for output signal 'mosi'"},
                         {"-am:button=INIT", "adapter: can't use output pin 'INIT' for input signal 'button'"},
                         {"-am:mosi=D5:miso=ACK:sck=D6", "reset must be defined"},
                         {"-am:mosi=D5:sck=D6:reset=D4", "miso must be defined"},
                         {"-am:miso=ACK:reset=D4", "mosi must be defined"},
                         {"-am:mosi=D5:miso=ACK:reset=D4", "sck must be defined"},
                         {"-am:mosi=STROBE:miso=ACK:sck=D6:reset=D4", "mosi must be in D0..D7 lines"},
                         {"-am:mosi=D5:miso=ACK:sck=D6:reset=~SELECT", "reset must be in D0..D7 lines"},
                         {"-am:mosi=D5:miso=ACK:sck=D6:reset=D4:xtal=INIT", "xtal must be in D0..D7 lines"},
                         {"-am=no-such-cable.cfg", "File 'no-such-cable.cfg' not found"},
                     });
}

WINE_TEST(PinMaps, WineMapErrors)
{
    REQUIRE_WINDOWS_BUILD();
    check_map_errors(build::wine, {
                                      {"-am:miso=D0", "adapter: can't use output pin 'D0' for input signal 'miso'"},
                                      {"-am=no-such-cable.cfg", "File 'no-such-cable.cfg' not found"},
                                  });
}

const char bench_file[] =
    "# the bench cable\n"
    "name = Bench wire   ; shown in the banner\n"
    "mosi=D2\n"
    "  sck = D3   # clock\n"
    "\n"
    "reset=D7\n"
    "miso=PE\n";

TEST(ConfigFiles, FoundThroughTheSearchPath)
{
    e2e::virtual_target target("mega328P", chip_vars({{"VT_CABLE", bench_wiring}}));
    ASSERT_EQ(0, mkdir(target.path("empty").c_str(), 0755));
    ASSERT_EQ(0, mkdir(target.path("cables").c_str(), 0755));
    e2e::write_text(target.path("cables/bench.cfg"), bench_file);
    std::string search = target.path("empty") + ";" + target.path("cables");
    target.set("MORVIN_CONFIG_PATH", search);
    e2e::run_result r = target.morvin({"+mega328P", osc_switch, "-am=bench.cfg", "-%"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_TRUE(cli::lines_in_order(r, {"\t% config path " + search,
                                        "\t% loading config file '" + target.path("cables/bench.cfg") + "'",
                                        "Adapter 'Bench wire'", "\t% Bench wire adapter mode", detected}));
}

TEST(ConfigFiles, OneEntryPerLineAndBlanksRemovedBeforeReading)
{
    e2e::virtual_target target("mega328P", chip_vars({{"VT_CABLE", bench_wiring}}));
    target.set("MORVIN_CONFIG_PATH", target.dir);
    const bad_input cases[] = {
        {"mosi=D2:sck=D3\n", "adapter: invalid pin name 'D2:sck=D3'"},
        {"name=   \nmosi=D2\n", "adapter: invalid string 'name='"},
        {"mosi=D2\nsck=D3\nreset=D7\nmiso=D0\n", "adapter: can't use output pin 'D0' for input signal 'miso'"},
        {"mosi=D2\nsck=D3\nreset=D7\n# miso=PE\n", "miso must be defined"},
    };
    for (const bad_input &c : cases) {
        e2e::write_text(target.path("bad.cfg"), c.given);
        expect_refused(target, {"+mega328P", osc_switch, "-am=bad.cfg"}, std::string(c.message) + "\n\n", c.given);
    }
    // inline, a name of blanks leaves the name empty and a later one is taken
    e2e::run_result inline_name =
        target.morvin({"+mega328P", osc_switch, "-am:name=   :name=Late:mosi=D2:sck=D3:reset=D7:miso=PE"});
    EXPECT_EQ(0, inline_name.status) << inline_name.out;
    EXPECT_TRUE(cli::lines_in_order(inline_name, {"Adapter 'Late'", detected}));
}

// A copy of the program in a folder of its own, with the cable file beside it.
void check_file_beside_program(build b)
{
    e2e::virtual_target target("mega328P", chip_vars({{"VT_CABLE", bench_wiring}}));
    std::string folder = target.path("bin");
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    std::vector<std::string> argv;
    std::map<std::string, std::string> env = {{"VT_CHIP", "mega328P"},
                                              {"VT_CLOCK_KHZ", cli::chip_clock_khz},
                                              {"VT_CABLE", bench_wiring},
                                              {"VT_STATE", target.path("chip.state")}};
    std::string program_dir;
    if (b == build::native) {
        ASSERT_TRUE(cli::copy_file(MORVIN_EXE, folder + "/morvin"));
        argv = {folder + "/morvin"};
        env["LD_LIBRARY_PATH"] = std::string(MORVIN_BUILD_DIR) + "/vtarget";
        e2e::attach_port(env);
        program_dir = folder;
    } else {
        ASSERT_TRUE(cli::copy_file(cli::windows_exe(), folder + "/morvin.exe"));
        ASSERT_TRUE(cli::copy_file(cli::windows_dll(), folder + "/DLportIO.dll"));
        argv = {"wine", folder + "/morvin.exe"};
        env["WINEDEBUG"] = "-all";
        program_dir = cli::dos_path(folder);
    }
    e2e::write_text(folder + "/bench.cfg", bench_file);
    argv.insert(argv.end(), {"+mega328P", osc_switch, "-am=bench.cfg", "-%"});
    e2e::run_result r = cli::run_program(argv, env, b == build::wine);
    EXPECT_EQ(0, r.status) << r.out;
    std::string separator = b == build::native ? "/" : "\\";
    EXPECT_TRUE(cli::lines_in_order(r, {"\t% config path not defined", "\t% program path " + program_dir,
                                        "\t% loading config file '" + program_dir + separator + "bench.cfg'",
                                        "Adapter 'Bench wire'", detected}));
}

NATIVE_AND_WINE_TESTS(ConfigFiles, FoundBesideTheProgram, WineFindsTheFileBesideTheProgram,
                      check_file_beside_program)

// ---------------------------------------------------------------- port selection

TEST(PortSelection, NumbersAndBaseAddresses)
{
    struct port_case {
        const char *arg;
        const char *port_base;  // VT_LPT_BASE: the only address where the port answers
        std::vector<std::string> lines;
        bool warning;
    };
    const port_case cases[] = {
        {"-p1", "378", {"\t% LPT port number 1", "\t% LPT base address 0x378"}, false},
        {"-p2", "278", {"\t% LPT port number 2", "\t% LPT base address 0x278"}, false},
        {"-p3", "3BC", {"\t% LPT port number 3", "\t% LPT base address 0x3BC"}, false},
        {"-p378", "378", {"\t% LPT base address 0x378"}, false},
        {"-p0x3bc", "3BC", {"\t% LPT base address 0x3BC"}, false},
        {"-pE010", "E010", {"\t% LPT base address 0xE010"}, false},
        {"-p378,2.5", "378", {"\t% LPT base address 0x378"}, true},
        {"-p1,", "378", {"\t% LPT port number 1", "\t% LPT base address 0x378"}, true},
    };
    for (const port_case &c : cases) {
        e2e::virtual_target target("mega328P", chip_vars({{"VT_LPT_BASE", c.port_base}}));
        e2e::run_result r = target.morvin({"+mega328P", osc_switch, c.arg, "-%"});
        SCOPED_TRACE(c.arg);
        EXPECT_EQ(0, r.status) << r.out;
        EXPECT_TRUE(cli::has_line(r, detected)) << r.out;
        std::vector<std::string> debug = cli::debug_lines(r);
        ASSERT_GE(debug.size(), c.lines.size());
        EXPECT_EQ(c.lines, std::vector<std::string>(debug.begin(), debug.begin() + c.lines.size())) << r.out;
        EXPECT_EQ(c.warning, cli::has_line(r, "warning: forced LPT cycle time will be ignored")) << r.out;
    }
    // the same port asked for at another address finds nothing there
    e2e::virtual_target target("mega328P", chip_vars({{"VT_LPT_BASE", "378"}}));
    e2e::run_result elsewhere = target.morvin({"+mega328P", osc_switch, "-p3"});
    e2e::run_result default_port = target.morvin({"+mega328P", osc_switch});
    if (e2e::over_ppdev()) {
        // the kernel lists its ports: an absent one is named with those present, and
        // without -p the only port stands in for LPT2, said at the normal level
        EXPECT_EQ(70, elsewhere.status) << elsewhere.out;
        EXPECT_EQ("No parallel port LPT3 (0x3BC); the ports present: /dev/parport0 (0x378)\n\n",
                  cli::after_command(elsewhere));
        EXPECT_EQ(0, default_port.status) << default_port.out;
        EXPECT_TRUE(cli::lines_in_order(default_port, {"No parallel port LPT2 (0x278), using the only one: "
                                                       "/dev/parport0 (0x378)",
                                                       detected}));
    } else {
        EXPECT_EQ(40, elsewhere.status) << elsewhere.out;
        EXPECT_EQ(40, default_port.status) << default_port.out;
        EXPECT_EQ("", target.trace());
    }
}

void check_bad_port_values(build b, const std::vector<std::string> &values)
{
    e2e::virtual_target target("mega328P", chip_vars());
    for (const std::string &v : values) {
        e2e::run_result r = cli::run(target, b, {"+mega328P", osc_switch, v, "-%"});
        SCOPED_TRACE(v + " " + cli::build_name(b));
        EXPECT_EQ(70, r.status) << r.out;
        // refused before any port line
        std::string expected = "Invalid value for switch -p\n\n";
        if (v.find(',') != std::string::npos)
            expected = "warning: forced LPT cycle time will be ignored\n" + expected;
        EXPECT_EQ(expected, cli::after_command(r));
    }
}

TEST(PortSelection, BadValues)
{
    check_bad_port_values(build::native, {"-p0", "-p4", "-pFF", "-p0xff", "-p/1", "-pxyz", "-p", "-p10000",
                                          "-p,378", "-p/378,1"});
}

WINE_TEST(PortSelection, WineBadValue)
{
    REQUIRE_WINDOWS_BUILD();
    check_bad_port_values(build::wine, {"-p4"});
}

// The measured write cycle follows the port's, and the SPI clock follows from it.
void check_write_cycle(build b, int cycle_ns)
{
    e2e::virtual_target target("mega328P", chip_vars({{"VT_PORT_CYCLE_NS", std::to_string(cycle_ns)}}));
    e2e::run_result r = cli::run(target, b, {"+mega328P", osc_switch, "-%"});
    SCOPED_TRACE(cli::build_name(b));
    ASSERT_EQ(0, r.status) << r.out;
    std::string line = cli::line_starting(r, "\t% LPT write cycle ");
    double cycle = cli::time_ns(line.substr(19));
    EXPECT_GE(cycle, 0.95 * cycle_ns) << line;
    // a slow host (a sanitizer build, a loaded machine) may not keep up with the port,
    // but the figure stays of the port's order
    EXPECT_LE(cycle, 3.0 * cycle_ns + 300) << line;
    // 500 ns setup and hold: whole cycles each, plus the status read
    int writes = 2 * ((500 + (int)cycle - 1) / (int)cycle);
    std::string freq_line = cli::line_starting(r, "\t% actual spi IO frequency ");
    double mhz = cli::frequency_mhz(freq_line.substr(27));
    EXPECT_NEAR(1000.0 / cycle / (writes + 1), mhz, 0.03 * mhz) << freq_line;
}

TEST(PortSelection, WriteCycleMeasured)
{
    check_write_cycle(build::native, 1000);
    check_write_cycle(build::native, 200);
}

WINE_TEST(PortSelection, WineWriteCycleMeasured)
{
    REQUIRE_WINDOWS_BUILD();
    check_write_cycle(build::wine, 200);
}

// Linux: the kernel's parport devices, whatever the suite's port.
TEST(PortSelection, KernelPortsChosenByBaseNumberOrDevice)
{
    struct choice_case {
        const char *ports;   // VT_PARPORTS
        const char *target;  // the parport with the cable and chip
        std::vector<std::string> args;
        std::vector<std::string> lines;  // in order, debug lines among them
    };
    const std::string opened = "\t% ppdev interface /dev/parport";
    const choice_case cases[] = {
        // LPTn is the port at LPTn's standard base, wherever the kernel numbered it
        {"0@378,1@278", "0", {"-p1"}, {"\t% LPT base address 0x378", opened + "0 activated", detected}},
        {"0@278,1@378", "1", {"-p1"}, {"\t% LPT base address 0x378", opened + "1 activated", detected}},
        {"0@378,1@278", "1", {}, {"\t% LPT port number 2", opened + "1 activated", detected}},
        // else parport n-1
        {"0@3BC,1@2BC", "1", {"-p2"}, {"\t% LPT base address 0x278", opened + "1 activated", detected}},
        {"0@378,1@2BC", "1", {"-p2BC"}, {"\t% LPT base address 0x2BC", opened + "1 activated", detected}},
        // a device named directly; its cycle-time part is ignored as for the others
        {"0@378,1@278", "1", {"-p/dev/parport1,3"},
         {"warning: forced LPT cycle time will be ignored", "\t% LPT device /dev/parport1", opened + "1 activated",
          detected}},
    };
    for (const choice_case &c : cases) {
        e2e::virtual_target target("mega328P", chip_vars({{"VT_PARPORTS", c.ports}, {"VT_PARPORT_TARGET", c.target}}));
        std::vector<std::string> args = {"+mega328P", osc_switch, "-%"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        e2e::run_result r = target.morvin(args);
        SCOPED_TRACE(std::string(c.ports) + " " + (c.args.empty() ? "" : c.args[0]));
        EXPECT_EQ(0, r.status) << r.out;
        EXPECT_TRUE(cli::lines_in_order(r, c.lines));
        EXPECT_FALSE(r.has("DLportIO")) << r.out;
    }
}

TEST(PortSelection, KernelPortThatCannotBeOpenedNamesCauseAndFix)
{
    struct failure_case {
        const char *ports;
        const char *arg;
        std::string message;  // after the command line
    };
    const failure_case cases[] = {
        {"0@278/denied", nullptr,
         "Can't open parallel port /dev/parport0: Permission denied\n"
         "The device belongs to group 'lp': add your user to it (sudo usermod -aG lp $USER) and log in again\n"},
        {"0@278/busy=lp", nullptr,
         "Can't open parallel port /dev/parport0: in use by lp\n"
         "The printer driver lp holds the port: let the printing end, or unload the driver (sudo rmmod lp)\n"},
        {"0@378,1@278/busy=ppdev1", "-p2",
         "Can't open parallel port /dev/parport1: in use by ppdev1\nAnother program uses the port: end it first\n"},
        {"0@278/nodev", nullptr,
         "Can't open parallel port /dev/parport0: No such file or directory\n"
         "The port has no device file: load the kernel's ppdev driver (sudo modprobe ppdev)\n"},
        {"0@278", "-p/dev/parport3", "Can't open parallel port /dev/parport3: No such file or directory\n"},
        // a port is present, just not the one asked for: no library is tried
        {"0@378,2@3BC", nullptr, "No parallel port LPT2 (0x278); the ports present: /dev/parport0 (0x378), "
                                 "/dev/parport2 (0x3BC)\n"},
        {"1@3BC", "-p1", "No parallel port LPT1 (0x378); the ports present: /dev/parport1 (0x3BC)\n"},
    };
    for (const failure_case &c : cases) {
        e2e::virtual_target target("mega328P", chip_vars({{"VT_PARPORTS", c.ports}}));
        std::vector<std::string> args = {"+mega328P", osc_switch};
        if (c.arg)
            args.push_back(c.arg);
        e2e::run_result r = target.morvin(args);
        SCOPED_TRACE(std::string(c.ports) + " " + (c.arg ? c.arg : ""));
        EXPECT_EQ(70, r.status) << r.out;
        // shown without -%, and the run ends before anything reaches a chip
        EXPECT_EQ(c.message + "\n", cli::after_command(r));
        EXPECT_EQ("", target.trace());
    }
}

TEST(PortSelection, MissingDriverLibraryNamesThePort)
{
    // no parport device at all: the library is tried, and its loader error is the message
    std::map<std::string, std::string> env = {{"VT_CHIP", "mega328P"}, {"VT_PARPORTS", ""}};
    e2e::attach_port(env);
    e2e::run_result r = cli::run_program({MORVIN_EXE, "+mega328P", "-p3"}, env, false);
    EXPECT_EQ(70, r.status) << r.out;
    std::vector<std::string> lines = cli::split_lines(cli::after_command(r));
    ASSERT_GE(lines.size(), 2u) << r.out;
    EXPECT_EQ("Can't load library 'DLportIO.dll'", lines[0]);
    EXPECT_EQ(0u, lines[1].find("Can't open parallel port LPT3 (0x3BC): ")) << lines[1];
}

}  // namespace
