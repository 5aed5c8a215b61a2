// The program's entry: banner, command line, checks, input files, adapter,
// the operation sequence and the one handler that turns errors into statuses.
#include "run/entry.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include "run/adapter_registry.h"
#include "adapters/spi.h"
#include "avr/chip_aliases.h"
#include "avr/devices.h"
#include "avr/fuses.h"
#include "avr/link.h"
#include "avr/sck_timing.h"
#include "image/file_formats.h"
#include "image/image.h"
#include "os/os.h"
#include "run/insertions.h"
#include "run/long_options.h"
#include "base/messages.h"
#include "base/text.h"
#include "base/usage.h"
#include "run/operations.h"
#include "run/options.h"
#include "run/run_context.h"
#include "run/stream_messages.h"
#include "base/timer.h"

namespace {

void echo_command(int argc, char **argv)
{
    msg_print(msg_out, MSG_INFO, "Command:\n ");
    for (int i = 1; i < argc; i++) {
        if (strpbrk(argv[i], " \t"))
            msg_print(msg_out, MSG_INFO, " \"%s\"", argv[i]);
        else
            msg_print(msg_out, MSG_INFO, " %s", argv[i]);
    }
    msg_print(msg_out, MSG_INFO, "\n");
}

void parse_chip_name(run_options_t &options, const char *argument)
{
    const char *name = argument + 1;
    if (!*name)
        fail(EXIT_USAGE, "Chip name required for '+'\n");
    if (std::strcmp(name, "?") == 0) {
        print_alias_list();
        throw app_error(EXIT_OK);   // through the handler, which adds the empty line
    }
    if (same_prefix(name, "AT"))
        name += 2;
    // an alias stands for its table chip from here on, in messages as well
    options.chip_name = resolve_chip_alias(name);
    if (find_device(options.chip_name) < 0)
        fail(EXIT_USAGE, "Unsupported device %s\n", name);
}

void add_file(run_options_t &options, const char *name)
{
    if (!options.code_file) {
        options.code_file = name;
    } else if (!options.data_file) {
        options.data_file = name;
        options.single_file = false;
    } else {
        fail(EXIT_USAGE, "Too many files\n");
    }
}

// -o#[Hz|kHz|MHz][,divider]
void parse_oscillator(run_options_t &options, const char *text, char letter)
{
    char value[64];
    size_t length = strlen(text);
    if (length >= sizeof value)
        fail_invalid_value(text, letter);
    memcpy(value, text, length + 1);

    if (char *comma = strchr(value, ',')) {
        // as scanf's "%d" reads it: blanks and a sign before the digits, nothing after
        unsigned long long divider = 0;
        const char *end = nullptr;
        if (!read_decimal(comma + 1, divider, &end) || *end || divider < 1 || divider > 32)
            fail_invalid_value(text, letter);
        options.sck_divider = int(divider);
        *comma = 0;
    }

    float number = 0.0f;
    char unit[4] = {0, 0, 0, 0};
    if (sscanf(value, "%f%3s", &number, unit) < 1)
        fail_invalid_value(text, letter);
    if (same_text(unit, "MHZ"))
        number = number * 1000.0f;
    else if (same_text(unit, "HZ"))
        number = number / 1000.0f;
    else if (unit[0] && !same_text(unit, "KHZ"))
        fail_invalid_value(text, letter);

    if (number == 0.0f) {
        options.osc_khz = 0;
        return;
    }
    // The negated test also turns away "nan".
    if (!(number >= 1.0f && number <= 40000.0f))
        fail(EXIT_USAGE, "-o: OSC frequency must be 0 or from 1 to 40000kHz\n");
    options.osc_khz = int32_t(number);
    if (options.sck_divider != 1)
        fail(EXIT_USAGE, "-o: divider can be used only with -o0 form of the switch\n");
}

// -c / -d with a file name (here or in the next argument).
void parse_file_switch(run_options_t &options, char letter, const char *rest, int &index, int argc, char **argv)
{
    bool code = tolower((unsigned char)letter) == 'c';
    options.single_file = false;
    const char *name = rest;
    if (!*name) {
        if (index + 1 >= argc)
            fail(EXIT_USAGE, "File name required for -%c\n", code ? 'C' : 'D');
        name = argv[++index];
    }
    const char *&slot = code ? options.code_file : options.data_file;
    if (slot)
        fail(EXIT_USAGE, "\tCan't use two files for %s\n%s\n%s\n", memory_name(code ? CODE_MEMORY : DATA_MEMORY),
             slot, name);
    slot = name;
}

// -b, -bc, -bd, -bcd: the memories to blank-check.
void parse_blank_check(run_options_t &options, const char *p, char letter)
{
    for (; *p; p++) {
        char c = char(tolower((unsigned char)*p));
        if (c == 'c')
            options.blank_check_mask |= 1;
        else if (c == 'd')
            options.blank_check_mask |= 2;
        else
            fail_invalid_value(p, letter);
    }
    if (!options.blank_check_mask)
        options.blank_check_mask = 3;
}

// -w[+][p]
void parse_write(run_options_t &options, const char *p, char letter)
{
    uint8_t write = WRITE_ON;
    for (; *p; p++) {
        if (*p == '+')
            write |= WRITE_FILL_EEPROM;
        else if (tolower((unsigned char)*p) == 'p')
            write |= WRITE_POLLING;
        else
            fail_invalid_value(p, letter);
    }
    options.write = write;
}

// -n[#]
void parse_erase_counter(run_options_t &options, const char *p, char letter)
{
    options.erase_counter = true;
    if (*p) {
        unsigned long long value = 0;
        if (!read_whole_decimal(p, value) || value < 1 || value > 0xFFFE)
            fail_invalid_value(p, letter);
        options.erase_counter_value = uint16_t(value);
    }
}

// The optional modifier right after a switch letter (-e-, -v+, -l+, -f!):
// steps over it and says whether it was there.
bool take_modifier(const char *&p, char modifier)
{
    if (*p != modifier)
        return false;
    p++;
    return true;
}

// The switches whose value is the rest of the argument: they end the group.
bool ends_group(char letter)
{
    return strchr("?hapfcdbwno", tolower((unsigned char)letter)) != nullptr;
}

void parse_valued_switch(run_context_t &context, char letter, const char *p, int &index, int argc, char **argv)
{
    run_options_t &options = context.options;
    switch (tolower((unsigned char)letter)) {
    case '?':
    case 'h':
        if (options.chip_name)
            print_fuse_list(options.chip_name);
        else
            print_usage();
        // status 0 through the handler, which adds the empty line
        throw app_error(EXIT_OK);
    case 'a':
        options.adapter_spec = p;
        break;
    case 'p':
        options.port_spec = p;
        break;
    case 'f':
        if (options.fuse_list)
            fail(EXIT_USAGE, "Only one -F switch can be used, place all fuses in one switch\n");
        if (take_modifier(p, '!'))
            options.fuse_lockout_ok = true;
        options.fuse_list = p;
        break;
    case 'c':
    case 'd':
        if (*p == '*' || *p == '?')
            parse_hex_extension(context.requests, p - 1);
        else
            parse_file_switch(options, letter, p, index, argc, argv);
        break;
    case 'b':
        parse_blank_check(options, p, letter);
        break;
    case 'w':
        parse_write(options, p, letter);
        break;
    case 'n':
        parse_erase_counter(options, p, letter);
        break;
    case 'o':
        parse_oscillator(options, p, letter);
        break;
    }
}

// A switch that other letters may follow in the same group; returns where
// the next one starts.
const char *parse_flag_switch(run_options_t &options, char letter, const char *p)
{
    static const float delay_factors[] = {1.5f, 2.0f, 3.0f, 4.0f, 5.0f};
    switch (tolower((unsigned char)letter)) {
    case 'e':
        options.erase = true;
        if (take_modifier(p, '-'))
            options.erase_keep_eeprom = true;
        break;
    case 'r':
        options.read = true;
        break;
    case 'v':
        options.verify = true;
        if (take_modifier(p, '+'))
            options.verify_all = true;
        break;
    case 'l':
        if (take_modifier(p, '+'))
            options.lock_first = true;
        if (*p != '1' && *p != '2')
            fail_invalid_value(p, letter);
        options.lock_level = *p++;
        break;
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
        options.delay_factor = delay_factors[letter - '1'];
        break;
    case '!':
        options.force = true;
        break;
    case '%':
        msg_out.level = MSG_TRACE;
        break;
    default:
        fail(EXIT_USAGE, "Invalid switch %c\n%s\n", letter, short_help_hint);
    }
    return p;
}

// One group of switches, "-erv" or "/erv".
void parse_switches(run_context_t &context, const char *argument, int &index, int argc, char **argv)
{
    const char *p = argument + 1;
    while (*p) {
        char letter = *p++;
        if (ends_group(letter)) {
            parse_valued_switch(context, letter, p, index, argc, argv);
            return;
        }
        p = parse_flag_switch(context.options, letter, p);
    }
}

// '/' starts a switch group on Windows. Where '/' is the path separator it
// always starts a file name: -r /ec.hex must never erase the chip.
bool is_switch_group(const char *argument)
{
    if (argument[0] == '-')
        return argument[1] != 0;  // a lone "-" is a standard stream
    return argument[0] == '/' && os::path_separator != '/';
}

void parse_arguments(run_context_t &context, int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const char *argument = argv[i];
        if (argument[0] == '+')
            parse_chip_name(context.options, argument);
        else if (is_switch_group(argument))
            parse_switches(context, argument, i, argc, argv);
        else
            add_file(context.options, argument);
    }
}

// Returns true when the named files are sources to be loaded.
bool check_options(run_context_t &context)
{
    const run_options_t &o = context.options;
    // The FTDI device list needs no chip (morvin -aft2232 -p?).
    bool ftdi_listing = o.adapter_spec && same_prefix(o.adapter_spec, "ft2232") && o.port_spec &&
                        (o.port_spec[0] == '?' || strstr(o.port_spec, ",?"));
    if (!o.chip_name && !ftdi_listing)
        fail(EXIT_USAGE, "Chip name must be specified\n");
    if (o.fuse_list)
        parse_fuse_list(context.target, o.fuse_list);
    bool files = o.code_file || o.data_file;
    if (o.read) {
        if (o.write || o.verify)
            fail(EXIT_USAGE, "Can't both read and write or verify\n");
        if (!files)
            fail(EXIT_USAGE, "Can't read without target files\n");
        if (o.fuse_list)
            fail(EXIT_USAGE, "Nothing to do with fuses, -w or -v must be specified\n");
        return false;
    }
    if (o.write || o.verify) {
        if (!files && !o.fuse_list)
            fail(EXIT_USAGE, "Can't write/verify without source files or fuse list\n");
        return true;
    }
    if (files)
        fail(EXIT_USAGE, "Nothing to do with files, -r or -w or -v must be specified\n");
    if (o.fuse_list)
        fail(EXIT_USAGE, "Nothing to do with fuses, -w or -v must be specified\n");
    return false;
}

void load_files(run_context_t &context)
{
    const run_options_t &o = context.options;
    load_image_files(o.code_file, o.data_file, o.single_file, context.target.code_size(), context.code_image,
                     context.data_image, context.file_facts, context.read_key);
}

void create_adapter(run_context_t &context)
{
    const run_options_t &o = context.options;
    adapter_settings_t settings;
    settings.adapter_text = o.adapter_spec;
    settings.port_text = o.port_spec;
    settings.osc_khz = o.osc_khz;
    settings.force = o.force;
    settings.lpt = context.lpt_access;
    // The SCK phases of the named chip: nothing is detected yet.
    int32_t chip = find_device(o.chip_name);
    sck_periods_t sck = sck_periods(chip >= 0 ? &avr_devices[chip] : nullptr, o.osc_khz, o.sck_divider);
    settings.sck_low_periods = sck.low;
    settings.sck_high_periods = sck.high;

    built_adapter_t built = find_adapter(settings.adapter_text).create(settings);
    if (built.inactive_reset_ms)
        context.options.inactive_reset_ms = *built.inactive_reset_ms;
    context.set_adapter(std::move(built.spi));
    context.target.settings = context.target_settings();
}

void run(run_context_t &context, int argc, char **argv, os_timer_t &stopwatch)
{
    if (answer_long_option(argc, argv))
        return;
    print_banner();
    if (argc < 2)
        fail(EXIT_OK, "Nothing to do!\n%s\n", short_help_hint);
    echo_command(argc, argv);
    parse_arguments(context, argc, argv);
    context.target.settings = context.target_settings();
    if (check_options(context))
        load_files(context);
    create_adapter(context);
    run_operations(context);
    stopwatch.stop();
    msg_print(msg_out, MSG_INFO, "Total time %s\n", format_time(stopwatch.elapsed_ms(), 1));
}

}  // namespace

int handle_run_error()
{
    try {
        throw;
    } catch (const std::bad_alloc &) {
        msg_print(msg_out, MSG_ERROR, "Can't allocate memory\n");
        return EXIT_NO_MEMORY;
    } catch (const app_error &error) {
        msg_print(msg_out, MSG_ERROR, "%s\n", error.what());
        return error.exit_code;
    } catch (const std::exception &error) {
        msg_print(msg_out, MSG_ERROR, "%s\n", error.what());
        return EXIT_OTHER;
    }
}

int morvin_main(int argc, char **argv)
{
    run_context_t context;
    return morvin_main(context, argc, argv);
}

int morvin_main(run_context_t &context, int argc, char **argv)
{
    user_break_scope_t user_break;
    os_timer_t stopwatch;
    stopwatch.start();
    stream_run_messages_t messages(argc, argv);
    int status = EXIT_OK;
    try {
        run(context, argc, argv, stopwatch);
    } catch (const std::exception &) {
        status = handle_run_error();
    }
    // The chip is released whatever happened; a failure while releasing it is
    // reported too, but the run's own status stays.
    try {
        link_close(context.target);
    } catch (const std::exception &) {
        int close_status = handle_run_error();
        if (status == EXIT_OK)
            status = close_status;
    }
    return status;
}

void reset_process_state()
{
    msg_out.level = MSG_INFO;
    os::clear_system_error();
}

void print_usage()
{
    msg_print(msg_out, MSG_INFO,
              "Use:\tmorvin [SWITCHES] [[-c] cfile] [-d dfile]\n"
              "\tSwitches ( # represent number)\n"
              "\n"
              " -?,-h\t this help\n"
              " --help\t this help alone, without the banner\n"
              " --version\tthe version alone\n"
              " +<nam>\tforce chip to specified by name <nam> (list see below)\n"
              " -aX\t'adapter' group (default FBPRG)\n"
              "\t-ab  Altera ByteBlaster, ByteBlasterMV or ByteBlaster-II\n"
              "\t-as  STK200 or STK300 adapter\n"
              "\t-ax  XILINX parallel download cable\n"
              "\t-az  \"vuRiVeraver\" (turn LPT outputs to hi-Z after programming)\n"
              "\t-aft2232[PINMAP] - FTDI MPSSE USB adapter (FT2232C/D, FT2232H,\n"
              "\t\t\tFT4232H, FT232H) with optional user pin configuration\n"
              "\t-amPINMAP - LPT adapter with user pin configuration\n"
              "\t\tPINMAP - pin configuration in one of two forms\n"
              "\t\t  =filename (see documentation for config file format)\n"
              "\t\t  :pincfg[:pincfg] (pin configuration entries as in config file)\n"
              "\t-ai# Inactive reset time, #=time_in_mS\n"
              "\t-ar  reverse Reset polarity\n"
              "\t-ap  chip powered from free LPT data outputs\n"
              " -p<device>\n"
              "    for LPT-based adapters:\n"
              "\t- hexadecimal number - LPT port number or base address for direct IO interface.\n"
              "\t  Default is 2 (LPT2)\n");
    if (os::parallel_port_access() == os::port_access::ppdev)
        msg_print(msg_out, MSG_INFO, "\t- /dev/parportN - the kernel's parallel port device\n");
    msg_print(msg_out, MSG_INFO,
              "    for FT2232-based adapters:\n"
              "\tlist of optional FT2232 attributes  -pv=VID,p=PID,s=SERNO,d=DESCRIPTION\n"
              "\t(VID, PID hexadecimal; without s and d the first MPSSE channel is used)\n"
              "\t-p? lists the FTDI devices (no chip name needed)\n");
    msg_print(msg_out, MSG_INFO,
              " -o#[Hz|kHz|MHz] define oscillator frequency, default units is kHz\n"
              "\tdefault frequency is 800kHz\n"
              " -o0[,#] morvin must generate XTAL, #=additional divider for SCK\n"
              " -1, -2, -3, -4, -5\n"
              "\tset programming delays 1.5, 2, 3, 4, 5 times longer\n"
              "\t(for low voltage programming)\n"
              " -%%\tprint some debug info (use -%%%% in .bat files)\n"
              " -!\tforce operations even chip not detected\n"
              " -n#\tUse last 2 bytes of code memory for erase counter\n"
              "\t# force counter to specified value\n"
              " -c,-d\tmark Code and Data file names\n"
              "\tfiles are Intel HEX, S-record or ELF (told by content), raw binary\n"
              "\tby .bin; a prefix hex: srec: elf: bin: forces a format\n"
              "\t'-' is standard input, or standard output for -r (messages to stderr)\n"
              " -e[-]\tErase\n"
              "\t'-' enable read/erase/writeback sequence for EEPROM\n"
              "\tthe written-back EEPROM is verified; kept in (eeprom).sav if not\n"
              " -b (-b{c|d})\tBlank check (code or data only)\n"
              " -r\tRead from chip to files\n"
              "\t.srec/.s19/.s28/.s37 as S-record, .bin as raw binary, else Intel HEX\n"
              "\ta file is replaced only by a complete read\n"
              " -w[+][p]\tWrite from files to chip\n"
              "\t'+' write FF to EEPROM locations not mentioned in '-d' file\n"
              "\t'p' use polling\n"
              " -v[+]\tVerify chip with files\n"
              "\t'+' enable testing of locations not mentioned in files\n"
              " -l[+]#\tLock chip to level #=1 (LB1 programmed) or 2 (LB1 and LB2 programmed)\n"
              "\t'+' write lock bits before fuses\n"
              " -f<list> -  fuses to be changed\n"
              "\t<list> syntax:\n"
              "\t\tfusename=val,bytename=val,...\n"
              "\t\tfor single-bit fuses val can be ON (0) or OFF (1)\n"
              "\t\tunlisted fuses not changed\n"
              "\t-f!<list> also writes fuses that lock the chip out of\n"
              "\t\tserial programming (RSTDISBL, DWEN, SPIEN, external clock)\n"
              "\t\twithout asking; otherwise they are refused unless\n"
              "\t\tconfirmed on the console\n"
              "\ttype 'morvin +name -?'\n"
              "\tfor list of fuse names for chip 'name'\n");
    print_device_list();
    msg_print(msg_out, MSG_INFO, "\n\nFor latest versions see\nhttps://morvin.example.org/\n");
}
