// POSIX: the save. The report goes into a new file beside the target that takes the target's
// name in one step once complete; devices, FIFOs and sockets are written as they are.
#include "native_file.h"
#include "native_names_posix.h"
#include "posix_fd.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

// 64 bits from the kernel's random source: a name nobody can make ahead of us.
std::optional<std::string> temporaryName()
{
    std::uint64_t bits;
    if (::getrandom(&bits, sizeof bits, 0) != sizeof bits)
        return std::nullopt;
    static constexpr char digits[] = "0123456789abcdef";
    std::string name = ".miruteka-0000000000000000.tmp";
    for (std::size_t i = 0; i < 16; ++i)
        name[10 + i] = digits[(bits >> (4 * i)) & 0xF];
    return name;
}

constexpr int nameAttempts = 8;

// An ordinary user can name an unnamed file only through its entry under /proc.
bool canNameUnnamedFiles() { return ::access("/proc/self/fd", X_OK) == 0; }

// A new file in the target's folder, so that the target is replaced only by a complete content:
// without a name where the file system allows it, so that nothing is left behind whenever the
// program ends; else under a name of its own. Created with mode 0666 so that the umask applies
// as for any new file.
std::optional<Output> createBeside(Place& place)
{
    if (canNameUnnamedFiles()) {
        const int fd
            = openAtRetrying(place.folder.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0)
            return Output { fd, Output::Way::unnamed, place.folder.release(), place.name, {} };
    }
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
        auto temporary = temporaryName();
        if (!temporary)
            return std::nullopt;
        const int fd = openAtRetrying(place.folder.get(), temporary->c_str(),
            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0)
            return Output { fd, Output::Way::beside, place.folder.release(), place.name,
                std::move(*temporary) };
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
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

// So that a rename survives a power cut. The content is in place already whatever this gives.
void syncFolder(int folder)
{
    const Fd readable(openAtRetrying(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (readable)
        ::fsync(readable.get());
}

// Removes a file this save created under the target's name, unless someone has put another
// file there meanwhile.
void removeCreated(const Output& output, const struct stat& created)
{
    struct stat now;
    if (::fstatat(output.folder, output.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0
        && now.st_dev == created.st_dev && now.st_ino == created.st_ino)
        ::unlinkat(output.folder, output.name.c_str(), 0);
}

// Gives a complete unnamed file the target's name: directly where the name is free, else under
// a name of its own that is then renamed over the target. Where a file held the name at the
// start, the direct link is not tried: it could only fail.
bool nameUnnamed(const Output& output)
{
    const std::string self = "/proc/self/fd/" + std::to_string(output.handle);
    auto link = [&](const std::string& name) {
        return ::linkat(AT_FDCWD, self.c_str(), output.folder, name.c_str(), AT_SYMLINK_FOLLOW)
            == 0;
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
            if (::renameat(output.folder, temporary->c_str(), output.folder, output.name.c_str())
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

} // namespace

std::optional<Output> openOutput(std::u16string_view path)
{
    std::string buffer(path.size() * maxBytesPerUnit + 1, '\0');
    const auto name = toUtf8(path, buffer);
    if (!name)
        return std::nullopt;
    auto place = locate(std::string(*name));
    if (!place)
        return std::nullopt;

    if (place->existing) {
        const struct stat& st = *place->existing;
        if (!S_ISREG(st.st_mode))
            return openDirectly(*place); // folder (fails), device, FIFO, socket
        // Replacing goes by the folder's permissions alone; a file the user may not write must
        // not be replaced all the same.
        if (::faccessat(place->folder.get(), place->name.c_str(), W_OK, AT_EACCESS) != 0)
            return std::nullopt;
        // An existing file is replaced in one step or not at all: never emptied, never written
        // in place, so that a failure or a kill leaves it as it was.
        auto beside = createBeside(*place);
        if (beside) {
            beside->replaces = true;
            // The new content keeps the old file's permissions and, where allowed, its owner.
            ::fchmod(beside->handle, st.st_mode & 07777);
            [[maybe_unused]] const int ignored = ::fchown(beside->handle, st.st_uid, st.st_gid);
        }
        return beside;
    }
    if (auto beside = createBeside(*place))
        return beside;
    // Where nothing existed nothing can be lost: the name itself may take the content.
    const int fd = openAtRetrying(place->folder.get(), place->name.c_str(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return std::nullopt;
    return Output { fd, Output::Way::created, place->folder.release(), place->name, {} };
}

bool writeAll(const Output& output, std::string_view bytes, const std::stop_token& stop)
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

bool commit(const Output& output)
{
    if (output.way == Output::Way::direct)
        return ::close(output.handle) == 0;
    const Fd folder(output.folder);
    const bool written = ::fsync(output.handle) == 0;
    bool placed = false;
    switch (output.way) {
    case Output::Way::unnamed:
        placed = written && nameUnnamed(output);
        ::close(output.handle);
        break;
    case Output::Way::beside:
        placed = ::close(output.handle) == 0 && written
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
            removeCreated(output, created);
        break;
    }
    case Output::Way::direct:
        break;
    }
    if (placed)
        syncFolder(output.folder);
    return placed;
}

void discard(const Output& output)
{
    const Fd folder(output.folder);
    struct stat created;
    const bool known = output.way == Output::Way::created && ::fstat(output.handle, &created) == 0;
    ::close(output.handle);
    if (output.way == Output::Way::beside)
        ::unlinkat(output.folder, output.temporary.c_str(), 0);
    if (known)
        removeCreated(output, created);
}

} // namespace miruteka::native
