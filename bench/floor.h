// What the program cannot do without for each dropped file: open it the way OpenForInput does,
// learn its length, close it. The benchmarks' floor.
#pragma once

#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace miruteka::bench {

// The length of a regular file, or 0 for anything else.
inline std::int64_t floorLength(const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return regular ? static_cast<std::int64_t>(st.st_size) : 0;
}

} // namespace miruteka::bench
