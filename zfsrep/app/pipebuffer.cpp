#include "pipebuffer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace PipeBuffer {

bool isCall(int argc, char **argv)
{
    return argc >= 2 && std::strcmp(argv[1], kOption) == 0;
}

int run(int argc, char **argv)
{
    char *end = nullptr;
    const long bytes = argc >= 4 ? std::strtol(argv[2], &end, 10) : 0;
    if (argc < 4 || end == argv[2] || *end != '\0' || bytes <= 0 || bytes > (1L << 30)) {
        std::fprintf(stderr, "usage: zfsrep %s BYTES PROGRAM [ARGUMENTS...]\n", kOption);
        return 64;
    }
    for (int descriptor : {STDIN_FILENO, STDOUT_FILENO})
        ::fcntl(descriptor, F_SETPIPE_SZ, int(bytes)); // only a pipe takes it
    ::execvp(argv[3], argv + 3);
    std::fprintf(stderr, "zfsrep: cannot run %s: %s\n", argv[3], std::strerror(errno));
    return 127;
}

} // namespace PipeBuffer
