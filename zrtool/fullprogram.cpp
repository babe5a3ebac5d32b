// The offline zrtool hands the commands that need the bus or the production registry to the full program, so that
// a conversion loads Qt Core alone: the cable backends and Qt SQL cost as much start-up as a small HEX file takes
// to convert.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "zrtool/cli.h"

namespace {
char **g_argv = nullptr;

std::string fullProgramPath()
{
    // Where the full program lies relative to this one is the same in the build tree and in an installed tree
    // (bin/ and libexec/zrflasher/), so a relocated installation keeps working.
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, size_t(n)) : std::string();
    dir.erase(dir.find_last_of('/') + 1);
    return dir + ZRTOOL_FULL_PROGRAM;
}
} // namespace

void setProgramArguments(char **argv)
{
    g_argv = argv;
}

int runInFullProgram(const QStringList &)
{
    const std::string path = fullProgramPath();
    ::execv(path.c_str(), g_argv); // the same arguments, key table and all: the full program parses them afresh
    std::fprintf(stderr, "zrtool: this command runs in %s, which cannot be started: %s\n", path.c_str(),
                 std::strerror(errno));
    return kExitNoFullProgram;
}
