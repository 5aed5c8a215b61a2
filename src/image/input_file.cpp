#include "image/input_file.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "base/messages.h"
#include "os/os.h"

namespace {

struct file_closer_t {
    void operator()(FILE *file) const { fclose(file); }
};

void read_all(FILE *file, std::string &content)
{
    char buffer[1 << 16];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        content.append(buffer, n);
    if (ferror(file))
        throw rtl_error(EXIT_USAGE);
}

}  // namespace

input_file_t::input_file_t(const char *path)
    : path(path), name(path), standard_input(path && std::strcmp(path, "-") == 0)
{
    if (standard_input)
        name = "<stdin>";
}

const std::string &input_file_t::bytes()
{
    if (loaded)
        return content;
    if (standard_input) {
        os::set_binary_mode(stdin);
        read_all(stdin, content);
    } else {
        std::unique_ptr<FILE, file_closer_t> file(open_file(path, "rb"));
        read_all(file.get(), content);
    }
    loaded = true;
    return content;
}

std::string input_file_t::head(size_t n)
{
    // Standard input can be read only once: it is read whole.
    if (standard_input || loaded)
        return bytes().substr(0, n);
    std::unique_ptr<FILE, file_closer_t> file(open_file(path, "rb"));
    std::string result(n, '\0');
    result.resize(fread(&result[0], 1, n, file.get()));
    return result;
}

void report_line(const input_file_t &file, unsigned long line)
{
    msg_print(msg_out, MSG_ERROR, "at line %lu of '%s'\n", line, file.name);
}

void report_offset(const input_file_t &file, unsigned long offset)
{
    msg_print(msg_out, MSG_ERROR, "at byte 0x%lX of '%s'\n", offset, file.name);
}
