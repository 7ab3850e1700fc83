// POSIX: new files beside a target, and their names.
#include "native_beside_posix.h"

#include "posix_fd.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <sys/random.h>
#include <sys/stat.h>

namespace miruteka::native {

namespace {

constexpr int nameAttempts = 8;

// An ordinary user can name an unnamed file only through its entry under /proc.
bool canNameUnnamedFiles() { return ::access("/proc/self/fd", X_OK) == 0; }

} // namespace

std::optional<std::string> randomTag() noexcept
{
    std::uint64_t bits;
    if (::getrandom(&bits, sizeof bits, 0) != sizeof bits)
        return std::nullopt;
    static constexpr char digits[] = "0123456789abcdef";
    try {
        std::string tag(16, '0');
        for (std::size_t i = 0; i < tag.size(); ++i)
            tag[i] = digits[(bits >> (4 * i)) & 0xF];
        return tag;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<std::string> temporaryName() noexcept
{
    const auto tag = randomTag();
    if (!tag)
        return std::nullopt;
    try {
        return ".miruteka-" + *tag + ".tmp";
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

// Without a name where it can be had, so that nothing is left behind whenever the program ends.
// Readable too, so that a copy can be read back.
std::optional<BesideFile> createBeside(int folder, mode_t mode)
{
    if (canNameUnnamedFiles()) {
        const int fd = openAtRetrying(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
        if (fd >= 0)
            return BesideFile { fd, {} };
    }
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
        auto temporary = temporaryName();
        if (!temporary)
            return std::nullopt;
        const int fd = openAtRetrying(
            folder, temporary->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0)
            return BesideFile { fd, std::move(*temporary) };
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

bool linkAs(int folder, const BesideFile& file, const std::string& name)
{
    if (!file.temporary.empty())
        return ::linkat(folder, file.temporary.c_str(), folder, name.c_str(), 0) == 0;
    // Made without allocating: this may be a commit's step, where memory may have run out.
    char self[32] = "/proc/self/fd/";
    const std::size_t prefix = std::strlen(self);
    *std::to_chars(self + prefix, self + sizeof self - 1, file.handle).ptr = '\0';
    return ::linkat(AT_FDCWD, self, folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

void dropBeside(int folder, const BesideFile& file)
{
    if (!file.temporary.empty())
        ::unlinkat(folder, file.temporary.c_str(), 0);
    ::close(file.handle);
}

void removeIfStill(int folder, const std::string& name, const struct stat& file)
{
    struct stat now;
    if (::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == file.st_dev
        && now.st_ino == file.st_ino)
        ::unlinkat(folder, name.c_str(), 0);
}

void syncFolder(int folder)
{
    const Fd readable(openAtRetrying(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (readable)
        ::fsync(readable.get());
}

} // namespace miruteka::native
