// POSIX branch: a name is bytes on disk, held by the program as UTF-16 with any byte that is not
// UTF-8 carried as a lone surrogate; text files are CP932 through the C library's iconv.
#include "native_file.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <span>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace miruteka::native {

namespace {

// The most bytes one unit of a name takes: three (a surrogate pair takes four for two units).
constexpr std::size_t maxBytesPerUnit = 3;

// Writes the name's bytes and a closing NUL into `out`, which has room for the longest form of
// every unit and the NUL, and gives the bytes. A surrogate of U+DC80 to U+DCFF stands for the
// byte that had no UTF-8 form; any other surrogate without its partner, and a NUL, which would
// end the name early, name no file. Written through a pointer: a drop opens each of its files
// by name, and appending byte by byte cost more than the rest of the step.
std::optional<std::string_view> toUtf8(std::u16string_view text, std::span<char> out)
{
    char* at = out.data();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c < 0x80) {
            if (c == 0)
                return std::nullopt;
            *at++ = static_cast<char>(c);
            // The rest of an ASCII run in a loop of its own: most of a name is ASCII, and a
            // branch a unit between it and the other forms was mispredicted at every change.
            while (i + 1 < text.size() && text[i + 1] != 0 && text[i + 1] < 0x80)
                *at++ = static_cast<char>(text[++i]);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            if (c < 0xDC80 || c > 0xDCFF)
                return std::nullopt;
            *at++ = static_cast<char>(c - 0xDC00);
            continue;
        }
        if (c < 0x800) {
            *at++ = static_cast<char>(0xC0 | (c >> 6));
            *at++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *at++ = static_cast<char>(0xE0 | (c >> 12));
            *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *at++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *at++ = static_cast<char>(0xF0 | (c >> 18));
            *at++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *at++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    *at = '\0';
    return std::string_view(out.data(), static_cast<std::size_t>(at - out.data()));
}

int openRetrying(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do
        fd = ::open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int openAtRetrying(int folder, const char* name, int flags, mode_t mode = 0)
{
    int fd;
    do
        fd = ::openat(folder, name, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

class Fd {
public:
    explicit Fd(int fd = -1)
        : fd_(fd)
    {
    }
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(Fd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1))
    {
    }
    Fd& operator=(Fd&& other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

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
    // Only a pipe stays non-blocking; a device gets ordinary blocking writes.
    if (!isPipe)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
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

bool writeAll(const Output& output, std::string_view bytes)
{
    std::optional<SigpipeBlocked> sigpipeBlocked;
    if (output.isPipe)
        sigpipeBlocked.emplace();
    while (!bytes.empty()) {
        const ssize_t written = ::write(output.handle, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN && output.isPipe) {
            // A reader that stops reading must not hold the window for long.
            pollfd ready { output.handle, POLLOUT, 0 };
            if (::poll(&ready, 1, 2000) > 0 && !(ready.revents & (POLLERR | POLLHUP)))
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

std::u16string fromSystemPath(std::string_view bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char lead = byte(i);
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        // The well-formed sequences: the lead byte gives the length and the range of the second
        // byte, which shuts out overlong forms, surrogates and anything beyond U+10FFFF.
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : low;
            high = lead == 0xED ? 0x9F : high;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : low;
            high = lead == 0xF4 ? 0x8F : high;
        }
        bool valid = length != 0 && i + length <= bytes.size() && byte(i + 1) >= low
            && byte(i + 1) <= high;
        for (std::size_t k = 2; valid && k < length; ++k)
            valid = byte(i + k) >= 0x80 && byte(i + k) <= 0xBF;
        if (!valid) {
            out += static_cast<char16_t>(0xDC00 + lead);
            ++i;
            continue;
        }
        char32_t c = lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k)
            c = (c << 6) | (byte(i + k) & 0x3F);
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += length;
    }
    return out;
}

namespace {

// Converts the units with iconv into `at`, which has room for two bytes a unit, as CP932 takes
// at most two a character; one "?" for each character without a CP932 form, a surrogate pair
// being one character. Gives the end of the bytes, or null when iconv fails otherwise.
char* convertToCp932(iconv_t converter, std::u16string_view text, char* at)
{
    char* in = const_cast<char*>(reinterpret_cast<const char*>(text.data()));
    std::size_t inLeft = text.size() * sizeof(char16_t);
    std::size_t outLeft = text.size() * 2;
    while (inLeft > 0) {
        if (::iconv(converter, &in, &inLeft, &at, &outLeft) != static_cast<std::size_t>(-1))
            break;
        if (errno != EILSEQ && errno != EINVAL)
            return nullptr;
        const auto* unit = reinterpret_cast<const char16_t*>(in);
        std::size_t skip = 1;
        if (inLeft >= 4 && unit[0] >= 0xD800 && unit[0] <= 0xDBFF && unit[1] >= 0xDC00
            && unit[1] <= 0xDFFF)
            skip = 2;
        in += skip * sizeof(char16_t);
        inLeft -= skip * sizeof(char16_t);
        *at++ = '?';
        --outLeft;
        ::iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
    return at;
}

} // namespace

// CP932 keeps no state from one character to the next, and a report uses the same few hundred
// characters over and over: iconv is asked once for each character a converter meets, and its
// answer is looked up after. Given a whole text, iconv takes every character through UCS-4 in
// two steps, at more than twice the cost.
struct AnsiConverter::State {
    struct Bytes {
        std::array<char, 2> bytes;
        std::uint8_t size; // 0 until iconv has been asked
    };

    iconv_t converter;
    std::array<Bytes, 0x10000> byUnit {}; // the surrogates' entries stay empty
};

AnsiConverter::AnsiConverter()
{
    static const char* const utf16
        = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
    const iconv_t converter = ::iconv_open("CP932", utf16);
    if (converter == reinterpret_cast<iconv_t>(-1))
        return;
    state_ = std::make_unique<State>();
    state_->converter = converter;
}

AnsiConverter::~AnsiConverter()
{
    if (state_)
        ::iconv_close(state_->converter);
}

bool AnsiConverter::append(std::u16string_view text, std::string& out)
{
    if (!state_)
        return false;
    State& state = *state_;
    const std::size_t before = out.size();
    out.resize(before + text.size() * 2);
    char* at = out.data() + before;
    for (std::size_t i = 0; i < text.size(); ++i) {
        State::Bytes& known = state.byUnit[text[i]];
        if (known.size == 0) {
            const char16_t unit = text[i];
            if (unit >= 0xD800 && unit <= 0xDFFF) {
                // A pair, or a surrogate alone: rare enough to go to iconv each time.
                const bool pair = unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00
                    && text[i + 1] <= 0xDFFF;
                const std::size_t size = pair ? 2 : 1;
                at = convertToCp932(state.converter, text.substr(i, size), at);
                if (!at) {
                    out.resize(before);
                    return false;
                }
                i += size - 1;
                continue;
            }
            const char* end
                = convertToCp932(state.converter, text.substr(i, 1), known.bytes.data());
            if (!end) {
                out.resize(before);
                return false;
            }
            known.size = static_cast<std::uint8_t>(end - known.bytes.data());
        }
        // Both bytes go, there being room for two a unit; a second that is not the
        // character's own is overwritten by what follows.
        std::memcpy(at, known.bytes.data(), 2);
        at += known.size;
    }
    out.resize(static_cast<std::size_t>(at - out.data()));
    return true;
}

} // namespace miruteka::native
