// POSIX: a dropped file opened only to learn its length.
#include "native_file.h"
#include "native_names_posix.h"
#include "posix_fd.h"

#include <array>
#include <climits>
#include <sys/stat.h>

namespace miruteka::native {

std::optional<Input> openInput(std::u16string_view path)
{
    // Every unit gives at least one byte, and the system opens no name of PATH_MAX bytes or
    // more. Any shorter name fits on the stack, which spares a drop an allocation a file.
    if (path.size() >= PATH_MAX)
        return std::nullopt;
    std::array<char, PATH_MAX * maxBytesPerUnit> buffer;
    const auto name = toUtf8(path, buffer);
    if (!name)
        return std::nullopt;
    // Non-blocking, so that a FIFO opens at once and is refused below instead of waiting for a
    // writer; no controlling terminal is ever taken.
    const int fd = openRetrying(name->data(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    return Input { fd, static_cast<std::int64_t>(st.st_size) };
}

void closeInput(const Input& input) { ::close(input.handle); }

} // namespace miruteka::native
