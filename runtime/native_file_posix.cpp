// POSIX branch: paths are UTF-8 on disk, text files are CP932 through the C library's iconv.
#include "native_file.h"

#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <iconv.h>
#include <memory>
#include <poll.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace miruteka::native {

namespace {

// A surrogate without its partner has no UTF-8 form, so no file can carry such a name.
// Written through a pointer into room for the longest form (three bytes a unit): a drop opens
// each of its files by name, and appending byte by byte cost more than the rest of the step.
std::optional<std::string> toUtf8(std::u16string_view text)
{
    std::string out(text.size() * 3, '\0');
    char* at = out.data();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c < 0x80) {
            *at++ = static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return std::nullopt;
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
    out.resize(static_cast<std::size_t>(at - out.data()));
    return out;
}

int openRetrying(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do
        fd = ::open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

std::string directoryOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// A new file beside the target, so that the target is replaced only by a complete content.
// Created with mode 0666 so that the umask applies as for any new file.
std::optional<Output> createBeside(const std::string& target)
{
    static std::minstd_rand random(static_cast<unsigned>(std::time(nullptr) ^ ::getpid()));
    const std::string directory = directoryOf(target);
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::string temporary
            = directory + "/.miruteka-" + std::to_string(random() % 1'000'000'000) + ".tmp";
        const int fd
            = openRetrying(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return Output { fd, target, std::move(temporary) };
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<Output> openInPlace(const std::string& target, int extraFlags)
{
    const int fd = openRetrying(
        target.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | extraFlags, 0666);
    if (fd < 0)
        return std::nullopt;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    const bool isPipe = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    // Only a pipe stays non-blocking; a device or file gets ordinary blocking writes.
    if (!isPipe)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return Output { fd, target, {}, isPipe };
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
    const auto name = toUtf8(path);
    if (!name)
        return std::nullopt;
    // Non-blocking, so that a FIFO opens at once and is refused below instead of waiting for a
    // writer; no controlling terminal is ever taken.
    const int fd = openRetrying(name->c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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
    const auto name = toUtf8(path);
    if (!name || name->empty())
        return std::nullopt;

    struct stat st;
    if (::stat(name->c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return openInPlace(*name, 0); // folder (fails), device, FIFO, socket
        // Replacing goes by the folder's permissions alone; a file the user may not write must
        // not be replaced all the same.
        if (::faccessat(AT_FDCWD, name->c_str(), W_OK, AT_EACCESS) != 0)
            return std::nullopt;
        // Replace the file a link points to, not the link.
        std::string target = *name;
        if (std::unique_ptr<char, decltype(&std::free)> resolved {
                ::realpath(name->c_str(), nullptr), &std::free })
            target = resolved.get();
        if (auto beside = createBeside(target)) {
            // The new content keeps the old file's permissions and, where allowed, its owner.
            ::fchmod(beside->handle, st.st_mode & 07777);
            [[maybe_unused]] const int ignored = ::fchown(beside->handle, st.st_uid, st.st_gid);
            return beside;
        }
        return openInPlace(target, O_TRUNC);
    }
    if (errno != ENOENT)
        return std::nullopt;
    struct stat link;
    if (::lstat(name->c_str(), &link) == 0) // a dangling link: create what it points to
        return openInPlace(*name, O_CREAT | O_TRUNC);
    if (auto beside = createBeside(*name))
        return beside;
    return openInPlace(*name, O_CREAT | O_TRUNC);
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
    if (output.temporary.empty())
        return ::close(output.handle) == 0;
    const bool written = ::fsync(output.handle) == 0;
    const bool closed = ::close(output.handle) == 0;
    if (written && closed && ::rename(output.temporary.c_str(), output.target.c_str()) == 0)
        return true;
    ::unlink(output.temporary.c_str());
    return false;
}

void discard(const Output& output)
{
    ::close(output.handle);
    if (!output.temporary.empty())
        ::unlink(output.temporary.c_str());
}

std::optional<std::string> toAnsiCodePage(std::u16string_view text)
{
    static const char* const utf16
        = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
    std::string out(text.size() * 2, '\0'); // CP932 needs at most two bytes a character
    const iconv_t converter = ::iconv_open("CP932", utf16);
    if (converter == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    char* in = const_cast<char*>(reinterpret_cast<const char*>(text.data()));
    std::size_t inLeft = text.size() * sizeof(char16_t);
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    while (inLeft > 0) {
        if (::iconv(converter, &in, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1))
            break;
        if (errno != EILSEQ && errno != EINVAL) {
            ::iconv_close(converter);
            return std::nullopt;
        }
        // One "?" for the character that has no CP932 form; a surrogate pair is one character.
        const auto* unit = reinterpret_cast<const char16_t*>(in);
        std::size_t skip = 1;
        if (inLeft >= 4 && unit[0] >= 0xD800 && unit[0] <= 0xDBFF && unit[1] >= 0xDC00
            && unit[1] <= 0xDFFF)
            skip = 2;
        in += skip * sizeof(char16_t);
        inLeft -= skip * sizeof(char16_t);
        *outPtr++ = '?';
        --outLeft;
        ::iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
    ::iconv_close(converter);
    out.resize(out.size() - outLeft);
    return out;
}

} // namespace miruteka::native
