#include "base/text.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool same_letter(char a, char b)
{
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

}  // namespace

bool same_text(const char *a, const char *b)
{
    for (; *a && *b; a++, b++)
        if (!same_letter(*a, *b))
            return false;
    return *a == *b;
}

bool same_text(const char *a, size_t length, const char *b)
{
    if (std::strlen(b) != length)
        return false;
    for (size_t i = 0; i < length; i++)
        if (!same_letter(a[i], b[i]))
            return false;
    return true;
}

bool same_prefix(const char *text, const char *prefix)
{
    for (; *prefix; text++, prefix++)
        if (!*text || !same_letter(*text, *prefix))
            return false;
    return true;
}

bool read_decimal(const char *text, unsigned long long &value, const char **end)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        text++;
    const char *digits = text;
    if (*digits == '+' || *digits == '-')
        digits++;
    if (!std::isdigit(static_cast<unsigned char>(*digits)))
        return false;
    errno = 0;
    char *stop;
    value = std::strtoull(text, &stop, 10);
    if (errno == ERANGE || *text == '-')
        value = ~0ULL;  // out of any range
    if (end)
        *end = stop;
    return true;
}

bool read_whole_decimal(const char *text, unsigned long long &value)
{
    const char *end;
    return std::isdigit(static_cast<unsigned char>(*text)) && read_decimal(text, value, &end) && *end == '\0';
}
