// The peer of a boot series: writes COUNT files of SIZE bytes into DIR with a plain loop (optionally fsync each).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: plainloop DIR COUNT SIZE [--sync]\n");
        return 1;
    }
    const std::string dir = argv[1];
    const int count = std::atoi(argv[2]);
    const size_t size = size_t(std::atol(argv[3]));
    const bool sync = argc > 4 && std::strcmp(argv[4], "--sync") == 0;
    std::vector<char> bytes(size, '\x5A');
    for (int i = 0; i < count; ++i) {
        const std::string path = dir + "/image_" + std::to_string(i) + ".bin";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0 || ::write(fd, bytes.data(), size) != ssize_t(size) || (sync && ::fsync(fd) != 0)) {
            std::perror(path.c_str());
            return 3;
        }
        ::close(fd);
    }
    return 0;
}
