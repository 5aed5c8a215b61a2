#include "run/entry.h"

int main(int argc, char **argv)
{
    return morvin_main(argc, argv);
}
