// Process set-up for Windows: standard streams without a handle.
#include "os/os.h"

#include <cstdint>
#include <cstdio>

#include <io.h>

namespace os {

void prepare_process()
{
    const struct {
        FILE *stream;
        const char *mode;
    } standard[] = {{stdin, "r"}, {stdout, "w"}, {stderr, "w"}};
    for (const auto &s : standard) {
        int fd = _fileno(s.stream);
        intptr_t handle = fd < 0 ? -1 : _get_osfhandle(fd);
        if (handle == -1 || handle == -2)
            freopen("NUL", s.mode, s.stream);
    }
}

}  // namespace os
