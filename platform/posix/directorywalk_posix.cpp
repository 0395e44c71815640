#include "platform/posix/directorywalk_posix.h"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/uniquefd_posix.h"

int walkDirectory(int directory, const std::function<bool(const char *name, unsigned char type)> &visit)
{
    UniqueFd listed(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listed)
        return errno;
    DIR *stream = ::fdopendir(listed.get());
    if (stream == nullptr)
        return errno;
    listed.release();  // the stream owns it now
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(stream);
        if (entry == nullptr) {
            error = errno;
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (!visit(entry->d_name, entry->d_type))
            break;
    }
    ::closedir(stream);
    return error;
}
