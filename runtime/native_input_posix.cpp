// POSIX: a dropped file opened only to learn its length.
#include "native_file.h"
#include "native_names_posix.h"
#include "posix_fd.h"

#include <array>
#include <climits>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace miruteka::native {

namespace {

// The type and length of an open file. On Linux, as opening it learned them: opening a file on
// a share asks the server for them already (a lookup, NFS's and SMB's open), and fstat would
// ask again once the client's copy has expired, which on a share that keeps none (FUSE without
// caching, a lease lost) is a round trip more for every file.
std::optional<std::pair<mode_t, std::int64_t>> typeAndLength(int fd)
{
#ifdef __linux__
    struct statx known;
    constexpr unsigned needed = STATX_TYPE | STATX_SIZE;
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, needed, &known) == 0
        && (known.stx_mask & needed) == needed)
        return std::pair { static_cast<mode_t>(known.stx_mode),
            static_cast<std::int64_t>(known.stx_size) };
#endif
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    return std::pair { st.st_mode, static_cast<std::int64_t>(st.st_size) };
}

// A regular file's length from what opening it gave; anything else is closed and refused.
std::optional<Input> regularFile(int fd)
{
    if (fd < 0)
        return std::nullopt;
    const auto known = typeAndLength(fd);
    if (!known || !S_ISREG(known->first)) {
        ::close(fd);
        return std::nullopt;
    }
    return Input { fd, known->second };
}

// Non-blocking, so that a FIFO opens at once and is refused instead of waiting for a writer; no
// controlling terminal is ever taken.
constexpr int inputFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The folder of the last file this thread measured, held by an O_PATH descriptor (which needs
// no right to read the folder, only to pass through it, as a path does): a drop's files mostly
// share a folder, and opening each by its name alone spares the kernel the walk down the
// folder's path for every file, a tenth of what measuring costs on a local disk.
struct LastFolder {
    ~LastFolder() { forget(); }
    void forget()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        path.clear();
    }
    std::string path;
    int fd = -1;
};
thread_local LastFolder lastFolder;

// Every unit gives at least one byte, and the system opens no name of PATH_MAX bytes or more.
// Any shorter name fits on the stack, which spares a drop an allocation a file.
using NameBuffer = std::array<char, PATH_MAX * maxBytesPerUnit>;

std::optional<std::string_view> systemName(std::u16string_view path, NameBuffer& buffer)
{
    if (path.size() >= PATH_MAX)
        return std::nullopt;
    return toUtf8(path, buffer);
}

} // namespace

std::optional<Input> openInput(std::u16string_view path)
{
    NameBuffer buffer;
    const auto name = systemName(path, buffer);
    if (!name)
        return std::nullopt;
    return regularFile(openRetrying(name->data(), inputFlags));
}

std::optional<Input> openInputInFolder(std::u16string_view path)
{
    NameBuffer buffer;
    const auto name = systemName(path, buffer);
    if (!name)
        return std::nullopt;
    const std::size_t slash = name->rfind('/');
    // A name of its own is needed: not the root, nor a name that ends in a slash or a dot entry,
    // which are opened by the whole path as before.
    const std::string_view leaf
        = slash == std::string_view::npos ? std::string_view() : name->substr(slash + 1);
    if (slash == 0 || leaf.empty() || leaf == "." || leaf == "..")
        return regularFile(openRetrying(name->data(), inputFlags));
    const std::string_view folder = name->substr(0, slash);
    if (lastFolder.fd < 0 || folder != lastFolder.path) {
        lastFolder.forget();
        // The folder's name needs an end of its own; the buffer holds the whole path.
        buffer[slash] = '\0';
        const int fd = openRetrying(buffer.data(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        buffer[slash] = '/';
        if (fd < 0)
            return regularFile(openRetrying(name->data(), inputFlags));
        try {
            lastFolder.path.assign(folder);
        } catch (...) {
            ::close(fd);
            throw;
        }
        lastFolder.fd = fd;
    }
    return regularFile(openAtRetrying(lastFolder.fd, name->data() + slash + 1, inputFlags));
}

void forgetInputFolder() { lastFolder.forget(); }

void closeInput(const Input& input) { ::close(input.handle); }

} // namespace miruteka::native
