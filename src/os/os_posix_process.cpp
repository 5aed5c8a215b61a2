// Process set-up for Linux and other POSIX systems: closed standard streams
// and broken pipes.
#include "os/os.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace os {

void prepare_process()
{
    // In order, so open() hands out exactly the descriptor that is missing.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace os
