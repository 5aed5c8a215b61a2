// Driver libraries loaded at run time.
#include "base/dll.h"

#include <cstring>

#include "os/os.h"
#include "base/messages.h"

dll_t::dll_t(const char *library) : name(nullptr), handle(nullptr)
{
    const char *text = library ? library : "";
    size_t length = strlen(text);
    name = new char[length + 1];
    memcpy(name, text, length + 1);
    handle = os::load_library(library);
    if (!handle) {
        msg_print(msg_out, MSG_ERROR, "Can't load library '%s'\n", name);
        delete[] name;  // the destructor does not run for a failed construction
        name = nullptr;
        throw win32_error(EXIT_USAGE);
    }
}

dll_t::~dll_t()
{
    if (handle)
        os::free_library(handle);
    delete[] name;
}

void *dll_t::symbol(const char *function_name)
{
    void *address = os::library_symbol(handle, function_name);
    if (!address) {
        msg_print(msg_out, MSG_ERROR, "Can't get function '%s' from library '%s'\n",
                  function_name ? function_name : "", name);
        throw win32_error(EXIT_USAGE);
    }
    return address;
}

void *dll_t::find_symbol(const char *function_name)
{
    return os::library_symbol(handle, function_name);
}
