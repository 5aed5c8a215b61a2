#include "base/usage.h"

#include "base/messages.h"

const char short_help_hint[] = "For short help type\n\tmorvin -h";

void fail_invalid_value(const char *value, char letter)
{
    fail(EXIT_USAGE, "Invalid value '%s' for switch %c\n\n%s\n", value, letter, short_help_hint);
}
