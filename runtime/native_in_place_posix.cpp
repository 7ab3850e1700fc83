// POSIX: writing into the existing file, with its old content kept beside it until the new one is
// on disk.
#include "native_in_place_posix.h"

#include "native_beside_posix.h"

#include <algorithm>
#include <array>
#include <climits>
#include <new>
#include <sys/stat.h>

namespace miruteka::native {

namespace {

// Copies the whole content from the start, whatever the positions of the two files; false when
// `stop` is requested first.
bool copyContent(int from, int to, const std::stop_token& stop = {})
{
    std::array<char, 65536> buffer;
    off_t at = 0;
    for (;;) {
        if (stop.stop_requested())
            return false;
        const ssize_t got = ::pread(from, buffer.data(), buffer.size(), at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        for (ssize_t put = 0; put < got;) {
            const ssize_t written
                = ::pwrite(to, buffer.data() + put, static_cast<std::size_t>(got - put), at + put);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return false;
            put += written;
        }
        at += got;
        noteSaveProgress();
    }
}

// The copy's name: the file's own name, what it is, and a random tag, so that copies that
// earlier saves left never stand in the way. A name too long for that is cut, at a character.
// Nothing when memory runs out for it.
std::optional<std::string> backupName(const std::string& name) noexcept
{
    try {
        const auto tag = randomTag();
        if (!tag)
            return std::nullopt;
        const std::string suffix = ".miruteka-backup-" + *tag;
        std::size_t keep = std::min(name.size(), NAME_MAX - 1 - suffix.size());
        while (keep > 0 && keep < name.size() && (name[keep] & 0xC0) == 0x80)
            --keep;
        std::string backup;
        backup.reserve(1 + keep + suffix.size());
        backup.append(1, '.').append(name, 0, keep).append(suffix);
        return backup;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

constexpr int nameAttempts = 8;

// Names the complete copy without ever taking a name that another copy still holds, which may
// be the only old content left by a save that was cut off.
std::optional<std::string> nameCopy(int folder, const BesideFile& copy, const std::string& name)
{
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
        auto backup = backupName(name);
        if (!backup)
            return std::nullopt;
        if (linkAs(folder, copy, *backup)) {
            if (!copy.temporary.empty())
                ::unlinkat(folder, copy.temporary.c_str(), 0);
            return backup;
        }
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

// A write by anyone without the privilege to keep them clears the setuid and setgid bits; the
// owner may set them again, and the system drops what the saver may not set.
void keepMode(const Output& output)
{
    struct stat now;
    if (::fstat(output.handle, &now) == 0 && (now.st_mode & 07777) != (output.mode & 07777))
        ::fchmod(output.handle, output.mode & 07777);
}

// Removes the copy's name once the content it kept is safe elsewhere.
void removeCopy(const Output& output)
{
    struct stat copy;
    if (::fstat(output.backup, &copy) == 0)
        removeIfStill(output.folder, output.temporary, copy);
}

// Puts the old content back, to the end whatever stop was requested: a file cut half-way is
// neither the old report nor the new one. The copy stays where that cannot be done.
void restore(const Output& output)
{
    noteSaveProgress();
    if (::ftruncate(output.handle, 0) != 0 || !copyContent(output.backup, output.handle))
        return;
    keepMode(output);
    const bool synced = ::fsync(output.handle) == 0;
    noteSaveProgress();
    if (synced)
        removeCopy(output);
}

void closeAll(const Output& output)
{
    ::close(output.handle);
    ::close(output.backup);
    ::close(output.folder);
}

} // namespace

std::optional<Output> openInPlace(
    Fd folder, const std::string& name, const struct stat& old, const std::stop_token& stop)
{
    // The output's own name, made before anything is: memory that runs out leaves nothing.
    std::string ownName = name;
    // Read as well as written: its content is copied first. Not waiting on a lease someone holds.
    Fd target(openAtRetrying(
        folder.get(), name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!target || ::fstat(target.get(), &st) != 0 || st.st_dev != old.st_dev
        || st.st_ino != old.st_ino)
        return std::nullopt;
    // Nobody but the saver may read the copy; the file it copies is readable by the saver anyway.
    auto copy = createBeside(folder.get(), 0600);
    if (!copy)
        return std::nullopt;
    std::optional<std::string> backup;
    if (copyContent(target.get(), copy->handle, stop) && ::fsync(copy->handle) == 0)
        backup = nameCopy(folder.get(), *copy, name);
    if (!backup) {
        dropBeside(folder.get(), *copy);
        return std::nullopt;
    }
    syncFolder(folder.get());
    Output output { .handle = target.release(),
        .way = Output::Way::inPlace,
        .folder = folder.release(),
        .name = std::move(ownName),
        .temporary = std::move(*backup),
        .backup = copy->handle,
        .mode = st.st_mode };
    // Nothing is written once stopped: emptying the file would only mean putting it all back.
    if (stop.stop_requested() || ::ftruncate(output.handle, 0) != 0) {
        removeCopy(output); // the file is as it was
        closeAll(output);
        return std::nullopt;
    }
    noteSaveProgress();
    return output;
}

bool commitInPlace(const Output& output, const std::stop_token& stop)
{
    keepMode(output);
    const bool synced = ::fsync(output.handle) == 0;
    noteSaveProgress();
    const bool written = synced && !stop.stop_requested();
    if (written) {
        removeCopy(output);
        syncFolder(output.folder);
    } else {
        restore(output);
    }
    closeAll(output);
    return written;
}

void discardInPlace(const Output& output)
{
    restore(output);
    closeAll(output);
}

} // namespace miruteka::native
