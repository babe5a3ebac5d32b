// The offline zrtool hands the commands that need the bus or the production registry to the full program, so that
// a conversion loads Qt Core alone: the cable backends and Qt SQL cost as much start-up as a small HEX file takes
// to convert.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <QString>

#include "registry/registryurl.h"
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

namespace {
// A --registry URL's password goes to the full program through PGPASSWORD, never on its command line, where
// every local user could read it (ps).
std::string withoutPassword(const char *url)
{
    QString password;
    const QString plain = registryUrlWithoutPassword(QString::fromLocal8Bit(url), &password);
    if (password.isEmpty())
        return url;
    ::setenv("PGPASSWORD", password.toLocal8Bit().constData(), 1);
    return plain.toLocal8Bit().toStdString();
}
} // namespace

int runInFullProgram(const QStringList &)
{
    const std::string path = fullProgramPath();
    // The same arguments, key table and all (the full program parses them afresh), passwords taken out.
    std::vector<std::string> arguments;
    for (char **arg = g_argv; *arg; ++arg) {
        const std::string word = *arg;
        if (word.rfind("--registry=", 0) == 0) {
            arguments.push_back("--registry=" + withoutPassword(*arg + 11));
        } else {
            arguments.push_back(word);
            if (word == "--registry" && arg[1])
                arguments.push_back(withoutPassword(*++arg));
        }
    }
    std::vector<char *> argv;
    for (std::string &a : arguments)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    std::fprintf(stderr, "zrtool: this command runs in %s, which cannot be started: %s\n", path.c_str(),
                 std::strerror(errno));
    return kExitNoFullProgram;
}
