// Parts of the program that are not built yet end a run that reaches them
// with a clear message and status 70.
#include "run/messages.h"
#include "run/entry.h"

int morvin_main(int, char **)
{
    return EXIT_USAGE;
}
