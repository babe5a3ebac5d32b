// Preloaded into a program under test: the disk loses every write, as a failing drive or a pulled USB stick
// would. fsync, fdatasync and syncfs report EIO; everything else is the system's own.
#include <cerrno>

extern "C" {
int fsync(int)
{
    errno = EIO;
    return -1;
}
int fdatasync(int)
{
    errno = EIO;
    return -1;
}
int syncfs(int)
{
    errno = EIO;
    return -1;
}
}
