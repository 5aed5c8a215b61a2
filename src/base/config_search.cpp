// Finding adapter configuration files: the name as given, the directories of
// MORVIN_CONFIG_PATH, the program's own directory, then the data folder of an
// installation (share/morvin beside the program's bin folder).
#include "base/config_search.h"

#include <cstring>

#include "os/os.h"
#include "base/messages.h"

namespace {
// The program's directory, worked out once per process; empty when unknown.
const char *program_directory()
{
    static char directory[259];
    static bool tried = false;
    if (!tried) {
        tried = true;
        if (os::program_path(directory, 259)) {
            directory[258] = 0;
            char *back = strrchr(directory, '\\');
            char *forward = strrchr(directory, '/');
            char *cut = back > forward ? back : forward;
            if (cut)
                *cut = 0;
            else
                directory[0] = 0;
        } else {
            directory[0] = 0;
        }
    }
    return directory;
}

bool is_separator(char c)
{
    return c == '\\' || c == '/';
}

#ifdef MORVIN_DATA_FROM_BIN
const char data_from_bin[] = MORVIN_DATA_FROM_BIN;
#else
const char data_from_bin[] = "";
#endif

// The installation's data folder: the program's directory with the relative
// path MORVIN_DATA_FROM_BIN ("../share/morvin") applied, each leading ".."
// taking off one folder. Empty when the program's directory is unknown or too
// short for the path.
const char *data_directory()
{
    static char directory[259];
    static bool worked_out = false;
    if (worked_out)
        return directory;
    worked_out = true;
    directory[0] = 0;
    const char *program = program_directory();
    if (!*program || !*data_from_bin)
        return directory;
    char path[259];
    strcpy(path, program);
    const char *rest = data_from_bin;
    while (rest[0] == '.' && rest[1] == '.' && (is_separator(rest[2]) || !rest[2])) {
        char *back = strrchr(path, '\\');
        char *forward = strrchr(path, '/');
        char *cut = back > forward ? back : forward;
        if (!cut || cut == path)
            return directory;
        *cut = 0;
        rest += rest[2] ? 3 : 2;
    }
    size_t length = strlen(path);
    size_t rest_length = strlen(rest);
    if (length + 1 + rest_length >= sizeof path)
        return directory;
    if (rest_length) {
        path[length++] = os::path_separator;
        for (const char *c = rest; *c; c++)
            path[length++] = is_separator(*c) ? os::path_separator : *c;
        path[length] = 0;
    }
    strcpy(directory, path);
    return directory;
}

// Tries every ';'-separated element of `list` as the directory of `name`.
bool search_list(char *buffer, size_t size, const char *list, const char *name)
{
    size_t name_length = strlen(name);
    // room for the directory: the name, a separator and the terminator stay
    size_t room = size - name_length - 2;
    const char *element = list;
    while (*element) {
        const char *end = strchr(element, ';');
        size_t length = end ? size_t(end - element) : strlen(element);
        size_t kept = length > room ? room : length;
        if (kept > 0) {
            memcpy(buffer, element, kept);
            size_t at = kept;
            if (!is_separator(buffer[kept - 1]))
                buffer[at++] = os::path_separator;
            memcpy(buffer + at, name, name_length + 1);
            if (os::is_regular_file(buffer))
                return true;
        }
        if (!end)
            break;
        element = end + 1;
    }
    return false;
}
}  // namespace

bool find_config_file(char *buffer, size_t size, const char *name)
{
    if (!buffer || size == 0 || !name)
        return false;

    const char *config_path = os::get_env("MORVIN_CONFIG_PATH");
    if (config_path && !*config_path)
        config_path = nullptr;
    msg_print(msg_out, MSG_DEBUG, "\t%% config path %s\n", config_path ? config_path : "not defined");

    const char *directory = program_directory();
    if (*directory)
        msg_print(msg_out, MSG_DEBUG, "\t%% program path %s\n", directory);
    else
        directory = nullptr;

    const char *data = data_directory();
    if (*data)
        msg_print(msg_out, MSG_DEBUG, "\t%% data path %s\n", data);
    else
        data = nullptr;

    if (os::is_regular_file(name)) {
        strncpy(buffer, name, size - 1);
        buffer[size - 1] = 0;
        return true;
    }

    if (strpbrk(name, "\\/:") && name[0] != '.')
        return false;
    size_t name_length = strlen(name);
    if (size <= name_length + 1)
        return false;

    const char *lists[3] = {config_path, directory, data};
    for (const char *list : lists) {
        if (list && search_list(buffer, size, list, name))
            return true;
    }
    return false;
}
