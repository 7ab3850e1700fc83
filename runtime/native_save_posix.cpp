// POSIX: the save. The report goes into a new file beside the target that takes the target's
// name in one step once complete, and what the old file was; where it cannot become that, into
// the old file itself after a copy of its content. Devices, FIFOs and sockets are written as
// they are.
#include "native_beside_posix.h"
#include "native_file.h"
#include "native_identity_posix.h"
#include "native_in_place_posix.h"
#include "native_names_posix.h"
#include "posix_fd.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace miruteka::native {

namespace {

// Where a save lands: the folder, open, and the name in it. The folder's own path is not needed
// again, so a path close to PATH_MAX leaves room for any name beside the target.
struct Place {
    Fd folder;
    std::string name;
    std::optional<struct stat> existing; // what the name holds now, if anything
};

// The system's limit on links followed in one lookup.
constexpr int maxLinks = 40;

// Links on the way are the kernel's to follow; a link at the end is followed here, one at a
// time, so that the file it stands for is replaced and the link stays. A link that leads
// nowhere usable (a loop, a missing folder) gives nothing rather than the link itself.
std::optional<Place> locate(std::string path)
{
    Fd base; // the folder of the last link, which its relative target starts from
    for (int links = 0; links <= maxLinks; ++links) {
        if (path.ends_with('/'))
            return std::nullopt; // a folder
        std::string folderPath = ".";
        std::string name = path;
        if (const auto slash = path.rfind('/'); slash != std::string::npos) {
            folderPath = slash == 0 ? "/" : path.substr(0, slash);
            name = path.substr(slash + 1);
        }
        if (name == "." || name == "..")
            return std::nullopt; // a folder
        Fd folder(openAtRetrying(
            base ? base.get() : AT_FDCWD, folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!folder)
            return std::nullopt;
        struct stat st;
        if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return std::nullopt;
            return Place { std::move(folder), std::move(name), std::nullopt };
        }
        if (!S_ISLNK(st.st_mode))
            return Place { std::move(folder), std::move(name), st };
        std::string target(PATH_MAX, '\0');
        const ssize_t length
            = ::readlinkat(folder.get(), name.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size())
            return std::nullopt;
        target.resize(static_cast<std::size_t>(length));
        path = std::move(target);
        base = std::move(folder);
    }
    return std::nullopt;
}

// The report goes into a new file in the target's folder, which takes the target's name once
// complete; the output holds the folder from then on. Allocates nothing.
Output intoBeside(Place& place, BesideFile file)
{
    const auto way = file.temporary.empty() ? Output::Way::unnamed : Output::Way::beside;
    return Output { file.handle, way, place.folder.release(), std::move(place.name),
        std::move(file.temporary) };
}

// A device, FIFO or socket takes the content as it comes; a folder fails here.
std::optional<Output> openDirectly(const Place& place)
{
    const int fd = openAtRetrying(place.folder.get(), place.name.c_str(),
        O_WRONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    const bool isPipe = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    // Non-blocking throughout, so that a terminal or pipe nobody reads cannot hold the save
    // past a stop; writeAll waits for room in short slices instead.
    return Output { fd, Output::Way::direct, -1, {}, {}, isPipe };
}

constexpr int nameAttempts = 8;

// Gives a complete unnamed file the target's name: directly where the name is free, else under
// a name of its own that is then renamed over the target. Where a file held the name at the
// start, the direct link is not tried: it could only fail. The link of the target's name, or the
// rename, is the commit point; a stop before it leaves nothing.
bool nameUnnamed(const Output& output, const std::stop_token& stop)
{
    auto link = [&](const std::string& name) {
        return linkAs(output.folder, BesideFile { output.handle, {} }, name);
    };
    if (!output.replaces) {
        if (link(output.name))
            return true;
        if (errno != EEXIST)
            return false;
    }
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
        const auto temporary = temporaryName();
        if (!temporary)
            return false;
        if (link(*temporary)) {
            noteSaveProgress();
            if (!stop.stop_requested()
                && ::renameat(output.folder, temporary->c_str(), output.folder, output.name.c_str())
                    == 0)
                return true;
            ::unlinkat(output.folder, temporary->c_str(), 0);
            return false;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// The file being replaced, open for its identity: for reading, or where the saver may only write
// it, for writing, which changes nothing. Only the file the name held at the start will do.
Fd openOriginal(const Place& place)
{
    for (const int access : { O_RDONLY, O_WRONLY }) {
        Fd original(openAtRetrying(place.folder.get(), place.name.c_str(),
            access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat st;
        if (original)
            return ::fstat(original.get(), &st) == 0 && st.st_dev == place.existing->st_dev
                    && st.st_ino == place.existing->st_ino
                ? std::move(original)
                : Fd();
        if (errno != EACCES)
            break;
    }
    return Fd();
}

// An existing file is replaced in one step by a new file that has become what the old one was:
// never emptied, so that a failure or a kill leaves it as it was. Where no new file can become
// that (an owner or a group the saver may not give it, other names of the same file, a sticky
// folder that would refuse the rename of someone else's file), the report goes into the file
// itself, after a copy of its old content.
std::optional<Output> openReplacing(Place& place, const std::stop_token& stop)
{
    const struct stat& old = *place.existing;
    if (old.st_nlink == 1) {
        Fd original = openOriginal(place);
        if (!original)
            return std::nullopt;
        // Readable by the saver alone until it has become what the old file was.
        auto fresh = createBeside(place.folder.get(), 0600);
        if (!fresh)
            return std::nullopt; // nor could a copy of the old content be made beside it
        if (takeOwnership(fresh->handle, old)) {
            Output output = intoBeside(place, std::move(*fresh));
            output.replaces = true;
            output.original = original.release();
            return output;
        }
        dropBeside(place.folder.get(), *fresh);
    }
    return openInPlace(std::move(place.folder), place.name, old, stop);
}

// Writing to a pipe whose reader has gone raises SIGPIPE, which would end the program.
class SigpipeBlocked {
public:
    SigpipeBlocked()
    {
        sigemptyset(&pipeSignal_);
        sigaddset(&pipeSignal_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal_, &previous_);
    }
    ~SigpipeBlocked()
    {
        const timespec noWait {};
        while (sigtimedwait(&pipeSignal_, nullptr, &noWait) > 0) { }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlocked(const SigpipeBlocked&) = delete;
    SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

private:
    sigset_t pipeSignal_;
    sigset_t previous_;
};

// What no other save may touch meanwhile: the name in its folder, which a new file may be about
// to take, and the file the name holds, under whichever of its names it is saved.
std::optional<std::vector<std::string>> lockKeys(const Place& place)
{
    struct stat folder;
    if (::fstat(place.folder.get(), &folder) != 0)
        return std::nullopt;
    auto identity = [](char kind, const struct stat& st) {
        return kind + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    };
    std::vector<std::string> keys { identity('n', folder) + "/" + place.name };
    if (place.existing)
        keys.push_back(identity('f', *place.existing));
    return keys;
}

std::optional<Output> openLocated(Place& place, const std::stop_token& stop)
{
    if (place.existing) {
        const struct stat& st = *place.existing;
        if (!S_ISREG(st.st_mode))
            return openDirectly(place); // folder (fails), device, FIFO, socket
        // Replacing goes by the folder's permissions alone; a file the user may not write must
        // not be replaced all the same.
        if (::faccessat(place.folder.get(), place.name.c_str(), W_OK, AT_EACCESS) != 0)
            return std::nullopt;
        return openReplacing(place, stop);
    }
    // Mode 0666 lets the umask and the folder's default ACL apply, as for any new file.
    if (auto beside = createBeside(place.folder.get(), 0666))
        return intoBeside(place, std::move(*beside));
    // Where nothing existed nothing can be lost: the name itself may take the content.
    const int fd = openAtRetrying(place.folder.get(), place.name.c_str(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return std::nullopt;
    return Output { fd, Output::Way::created, place.folder.release(), std::move(place.name), {} };
}

} // namespace

std::optional<Output> openOutput(std::u16string_view path, const std::stop_token& stop)
{
    std::string buffer(path.size() * maxBytesPerUnit + 1, '\0');
    const auto name = toUtf8(path, buffer);
    if (!name)
        return std::nullopt;
    // The file is looked at again once no other save holds it: the one that held it may have
    // made it or put another in its place, which then needs locking in its turn.
    constexpr int lookups = 8;
    for (int lookup = 0; lookup < lookups; ++lookup) {
        const auto seen = locate(std::string(*name));
        const auto keys = seen ? lockKeys(*seen) : std::nullopt;
        if (!keys)
            return std::nullopt;
        auto lock = SaveLock::acquire(*keys, stop);
        if (!lock)
            return std::nullopt;
        auto place = locate(std::string(*name));
        if (!place)
            return std::nullopt;
        if (lockKeys(*place) != keys)
            continue;
        auto output = openLocated(*place, stop);
        if (output)
            output->lock = std::move(*lock);
        return output;
    }
    return std::nullopt;
}

namespace {
// A file that the save will fsync has the disk write each mebibyte as soon as it is written, so
// that the disk works while the rest of the report is converted and written, and the fsync at
// the end waits for little more than the last of it. Only advice: the fsync tells any failure.
void startWriteback(Output& output, std::size_t written)
{
#ifdef __linux__
    constexpr std::size_t every = std::size_t(1) << 20;
    output.notWrittenBack += written;
    if (output.way == Output::Way::direct || output.notWrittenBack < every)
        return;
    output.notWrittenBack = 0;
    ::sync_file_range(output.handle, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    static_cast<void>(output);
    static_cast<void>(written);
#endif
}
} // namespace

bool writeAll(Output& output, std::string_view bytes, const std::stop_token& stop)
{
    std::optional<SigpipeBlocked> sigpipeBlocked;
    if (output.isPipe)
        sigpipeBlocked.emplace();
    // A pipe whose reader stops reading is given up on after this long without progress; a
    // device takes as long as it takes. Either way a stop is noticed within one slice.
    constexpr int pipePatienceMs = 2000;
    constexpr int sliceMs = 100;
    int waitedMs = 0;
    while (!bytes.empty()) {
        if (stop.stop_requested())
            return false;
        const ssize_t written = ::write(output.handle, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            startWriteback(output, static_cast<std::size_t>(written));
            noteSaveProgress();
            waitedMs = 0;
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN && output.way == Output::Way::direct) {
            pollfd ready { output.handle, POLLOUT, 0 };
            const int polled = ::poll(&ready, 1, sliceMs);
            if (polled < 0 && errno != EINTR)
                return false;
            if (polled > 0 && (ready.revents & (POLLERR | POLLHUP)))
                return false;
            if (polled == 0 && output.isPipe && (waitedMs += sliceMs) >= pipePatienceMs)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

bool commit(const Output& output, const std::stop_token& stop, std::u16string*)
{
    if (output.way == Output::Way::direct)
        return ::close(output.handle) == 0;
    if (output.way == Output::Way::inPlace)
        return commitInPlace(output, stop);
    const Fd folder(output.folder);
    const Fd original(output.original);
    // Each step moves the save on, for whoever waits for it; after each, a stop still leaves the
    // old file as it was.
    const auto step = [&](bool done) {
        noteSaveProgress();
        return done && !stop.stop_requested();
    };
    // What the old file was, before the new one takes its name, and on disk with the content.
    // A new file under the target's own name is in place once this is done.
    const bool written = (!original || step(copyPermissions(original.get(), output.handle)))
        && step(::fsync(output.handle) == 0);
    bool placed = false;
    switch (output.way) {
    case Output::Way::unnamed:
        placed = written && nameUnnamed(output, stop);
        ::close(output.handle);
        break;
    case Output::Way::beside:
        placed = step(::close(output.handle) == 0) && written
            && ::renameat(
                   output.folder, output.temporary.c_str(), output.folder, output.name.c_str())
                == 0;
        if (!placed)
            ::unlinkat(output.folder, output.temporary.c_str(), 0);
        break;
    case Output::Way::created: {
        struct stat created;
        const bool known = ::fstat(output.handle, &created) == 0;
        placed = ::close(output.handle) == 0 && written;
        if (!placed && known)
            removeIfStill(output.folder, output.name, created);
        break;
    }
    case Output::Way::direct:
    case Output::Way::inPlace:
        break;
    }
    if (placed)
        syncFolder(output.folder);
    return placed;
}

void discard(const Output& output)
{
    if (output.way == Output::Way::inPlace)
        return discardInPlace(output);
    const Fd folder(output.folder);
    const Fd original(output.original);
    struct stat created;
    const bool known = output.way == Output::Way::created && ::fstat(output.handle, &created) == 0;
    ::close(output.handle);
    if (output.way == Output::Way::beside)
        ::unlinkat(output.folder, output.temporary.c_str(), 0);
    if (known)
        removeIfStill(output.folder, output.name, created);
}

} // namespace miruteka::native
