// Parts of the program that are not built yet end a run that reaches them
// with a clear message and status 70. Each block goes when the real code lands.
#include "image/hex_file.h"
#include "image/image.h"
#include "image/passes.h"
#include "run/messages.h"

namespace {
[[noreturn]] void not_built(const char *what)
{
    fail(EXIT_USAGE, "%s: not built yet\n", what);
}
}  // namespace

// ---- images and HEX files ----
PortionList code_image;
PortionList data_image;

void PortionList::clear()
{
    last = nullptr;
}

CodePortion::~CodePortion()
{
    delete[] data;
}

CodePortion::CodePortion(int32_t address, int32_t length, const uint8_t *)
    : address(address), length(length), data(nullptr)
{
    not_built("memory image");
}

void PortionList::append(CodePortion *)
{
    not_built("memory image");
}

CodePortion *PortionList::find_first(portion_predicate_t, void *) const
{
    not_built("memory image");
}

bool contains_address(const CodePortion *, void *)
{
    not_built("memory image");
}

bool write_hex_file(PortionList &, const char *)
{
    not_built("Intel HEX writer");
}

void read_hex_file(const char *, PortionList &)
{
    not_built("Intel HEX reader");
}

void split_image(PortionList &, PortionList &, int32_t)
{
    not_built("image split");
}

// ---- memory passes ----
void read_memory(int, PortionList &)
{
    not_built("memory passes");
}

void program_memory(int, PortionList &)
{
    not_built("memory passes");
}

bool verify_memory(int, PortionList &)
{
    not_built("memory passes");
}

uint8_t blank_check(uint8_t)
{
    not_built("memory passes");
}
