// A library loaded at run time.
#pragma once

class dll_t {
public:
    explicit dll_t(const char *name);  // "Can't load library '%s'\n", win32_error(70)
    ~dll_t();
    dll_t(const dll_t &) = delete;
    dll_t &operator=(const dll_t &) = delete;

    // "Can't get function '%s' from library '%s'\n", win32_error(70)
    void *symbol(const char *function_name);
    // Null, without a message, when the library lacks the function.
    void *find_symbol(const char *function_name);
    const char *library_name() const { return name; }

private:
    char *name;
    void *handle;
};
