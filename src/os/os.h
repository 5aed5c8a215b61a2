// Platform layer: the only code that includes system headers.
// os_posix*.cpp implement it for Linux, os_win32*.cpp for Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace os {

// ---- console ----------------------------------------------------------
bool is_console(FILE *stream);            // _isatty / isatty on the stream's descriptor
void make_unbuffered(FILE *stream);       // setvbuf(_IONBF)
void to_oem(char *text);                  // CharToOemA in place on Windows; nothing on POSIX
// One key, no echo, no Enter; -1 at end of input / no terminal. A signal that
// arrives meanwhile finds the terminal's echo and line mode restored.
int read_key_no_echo();
void set_binary_mode(FILE *stream);       // _setmode(_O_BINARY) on Windows; nothing on POSIX

// ---- process set-up ------------------------------------------------------
// Called first thing: standard input, output and error that are closed at
// start are opened on the null device, so no file the program opens later
// takes their place and receives its messages; a write to a closed pipe fails
// instead of ending the process (SIGPIPE ignored).
void prepare_process();

// ---- system error texts -----------------------------------------------
// Text of the last failed system call (FormatMessageA(GetLastError()) on Windows;
// on POSIX the last loader error recorded by this layer, else strerror(errno)).
// Trailing CR/LF removed. Returns a static buffer.
const char *system_error_text();
// Forget a recorded loader error (start of a new run).
void clear_system_error();
// The system's last-error code (GetLastError; 0 on POSIX) and its restore,
// so that printing a message does not lose the cause of a failure.
uint32_t last_error();
void set_last_error(uint32_t code);

// ---- high-resolution counter ------------------------------------------
bool counter_frequency(int64_t *counts_per_second);  // false when there is no such counter
int64_t counter();                                   // monotonic counts
void yield();                                        // give up the rest of the time slice
void sleep_ms(unsigned ms);                          // coarse sleep (drivers, tests)
// How much later than asked a sleep_ms may end when the machine is not overloaded, in ms
// (POSIX nanosleep: well under 1; Windows Sleep: one timer tick, up to 15.6).
unsigned sleep_overshoot_ms();

// ---- console interrupt --------------------------------------------------
// Signal numbers as the run layer knows them.
constexpr int signal_interrupt = 2;   // SIGINT
constexpr int signal_break = 21;      // SIGBREAK (Windows only)
constexpr int signal_terminate = 15;  // SIGTERM
constexpr int signal_hangup = 1;      // SIGHUP (POSIX only: the terminal or SSH session closed)
constexpr int signal_quit = 3;        // SIGQUIT (POSIX only)
// Install handler for SIGINT, SIGTERM, and SIGBREAK or SIGHUP and SIGQUIT where
// they exist. The handler receives the numbers above. reinstall_signal() is for
// the handler itself.
void install_break_handlers(void (*handler)(int));
void reinstall_signal(int signal_number, void (*handler)(int));
void restore_break_handlers();
void raise_signal(int signal_number);  // for tests

// ---- run-time libraries --------------------------------------------------
// Windows names are mapped on POSIX: "ftd2xx.dll" -> "libftd2xx.so",
// "DLportIO.dll" -> "libdlportio.so"; other names pass unchanged.
void *load_library(const char *name);                 // null on failure
void *library_symbol(void *handle, const char *name); // null on failure
void free_library(void *handle);
// Calling convention of the entry points of driver libraries (stdcall on 32-bit Windows).
#if defined(_WIN32)
#define OS_DRIVER_CALL __stdcall
#else
#define OS_DRIVER_CALL
#endif

// ---- files and paths -------------------------------------------------------
// Full path of the running program (GetModuleFileNameA / /proc/self/exe),
// at most size-1 characters, always terminated. False when it can't be had.
bool program_path(char *buffer, size_t size);
// Separator appended between a search directory and a file name.
#ifdef _WIN32
constexpr char path_separator = '\\';
#else
constexpr char path_separator = '/';
#endif
bool is_regular_file(const char *path);
int remove_file(const char *path);

// ---- counter files ---------------------------------------------------------
// A file that one run at a time reads and then replaces (the serial-number
// file). open_locked opens it for reading and writing and holds an exclusive
// lock on it (flock / LockFileEx), waiting while another program holds it; a
// file that was replaced during the wait is opened again. While it waits it
// asks keep_waiting every few milliseconds; when that says no, it gives up
// with EINTR. Null on failure, with the cause in errno.
struct locked_file;
locked_file *open_locked(const char *path, bool (*keep_waiting)());
FILE *locked_stream(locked_file *file);
// Replaces the file's text, still under the lock, so that it is never seen
// empty: a new file beside it renamed into place (POSIX); on Windows, where an
// open file can't be renamed over, one write over the old text, then the rest
// cut. False on failure, with the cause in errno.
bool replace_locked(locked_file *file, const char *text);
// Releases the lock and closes the file.
void close_locked(locked_file *file);

// ---- files that lose nothing (os_*_files.cpp) ---------------------------------
// Every failure leaves errno set for strerror().
// Opens path for writing only when nothing has that name yet, not even a link
// (O_CREAT|O_EXCL|O_NOFOLLOW; _O_CREAT|_O_EXCL). text: Windows line ends.
FILE *create_new_file(const char *path, bool text);
// Puts from in the place of to in one step (rename; MoveFileEx with REPLACE_EXISTING).
bool replace_file(const char *from, const char *to);
// What a name stands for, a final link not followed.
enum class path_kind_t { none, regular, link, other };
path_kind_t path_kind(const char *path);
// Both names reach one file: device and inode (volume and file index on Windows), or,
// for names that do not exist yet, one name in one folder.
bool same_file(const char *a, const char *b);
// The system's folder for temporary files (TMPDIR or /tmp; GetTempPath), without a
// trailing separator.
void temp_directory(char *buffer, size_t size);
// Pushes a closed-to-be stream's data to the disk (fsync; _commit). False with errno.
bool flush_to_disk(FILE *stream);

// ---- environment --------------------------------------------------------
const char *get_env(const char *name);

// ---- parallel ports --------------------------------------------------------
// How this system reaches a parallel port's registers.
enum class port_access {
    direct_io,       // the processor's port instructions (Windows 9x family, 32-bit x86 only)
    driver_library,  // the DLPortIO driver library
    ppdev,           // the kernel's parallel-port devices; the library only where there are none
};
port_access parallel_port_access();

// Calling convention of the DLPortIO library's entry points.
#if defined(_WIN32) && defined(__i386__)
#define OS_DRIVER_API __attribute__((stdcall))
#else
#define OS_DRIVER_API
#endif

// Direct port I/O (elsewhere these do nothing).
uint8_t port_in(uint32_t address);
void port_out(uint32_t address, uint8_t value);
void port_out_block(uint32_t address, const uint8_t *bytes, uint32_t count);

// Linux ppdev.
struct ppdev_port;
// A parallel port of the kernel: parport number and I/O base address (0: not known).
struct parport_t {
    int number;
    uint32_t base;
};
// Folders of the kernel's parport information (/proc/sys/dev/parport) and of the
// device files (/dev); empty: those. Tests point them at a made-up tree.
struct ppdev_dirs_t {
    std::string info;
    std::string devices;
};
// The ports in the kernel's parport information and those with a device file, by number.
std::vector<parport_t> list_parports(const ppdev_dirs_t &dirs);
// The device file of parport n.
std::string parport_device(const ppdev_dirs_t &dirs, int number);

enum class ppdev_failure {
    none,
    no_device,   // no such device file
    permission,  // the device may not be opened by this user
    busy,        // another driver or program holds the port
    other,
};
struct ppdev_open_t {
    ppdev_port *port = nullptr;
    ppdev_failure failure = ppdev_failure::none;
    std::string reason;  // the system's text, or who holds the port
    std::string detail;  // permission: the group that owns the device; busy: the holder's name
};
// Opens and claims the device; a port that another device holds (as the parport
// information in `dirs` tells) is not waited for.
ppdev_open_t ppdev_open(const ppdev_dirs_t &dirs, const std::string &device);
void ppdev_close(ppdev_port *port);
uint8_t ppdev_read(ppdev_port *port, uint8_t reg);
void ppdev_write(ppdev_port *port, uint8_t reg, uint8_t value);
void ppdev_write_data_block(ppdev_port *port, const uint8_t *bytes, uint32_t count);

}  // namespace os
