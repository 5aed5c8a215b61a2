#include "os/os.h"
#include "run/entry.h"

int main(int argc, char **argv)
{
    os::prepare_process();
    return morvin_main(argc, argv);
}
