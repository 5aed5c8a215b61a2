// Writing files without losing what the user had: a new file never takes a name
// that exists (not even a link's), and a file that replaces another is written
// beside it and renamed into place only when it is complete.
#pragma once

#include <cstdio>
#include <string>

// Creates wanted, or when that name is taken the next free one of "<stem>-1<ext>",
// "<stem>-2<ext>", ...; used receives the name. Null with errno set when no name could
// be created (any reason but a taken name ends the search). text: Windows line ends.
FILE *create_fresh_file(const std::string &wanted, std::string *used, bool text);

// Closes a stream that this run wrote, its data on the disk; false (errno set) when
// any write or the close failed.
bool finish_file(FILE *stream);

// True when path names nothing or a regular file (not a link, folder or device):
// only such a name may be replaced.
bool replaceable_name(const char *path);

// Both names reach one file, also through other spellings or links.
bool same_file_name(const char *a, const char *b);

// A file written in place of target: a temporary file in target's folder, renamed
// over target by commit(); dropped (removed) when not committed.
class replacing_file_t {
public:
    replacing_file_t(const char *target, bool text);
    ~replacing_file_t();
    replacing_file_t(const replacing_file_t &) = delete;
    replacing_file_t &operator=(const replacing_file_t &) = delete;

    FILE *open();   // null with errno set
    bool commit();  // finishes the file and renames it; false (errno set) leaves target as it was
    void drop();

private:
    std::string target_;
    std::string temporary_;
    bool text_;
    FILE *stream_ = nullptr;
};

// The system's folder for temporary files.
std::string temp_folder();
