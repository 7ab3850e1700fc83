// Windows branch: paths are UTF-16 as the system takes them, text files are in the system's
// ANSI code page (CP_ACP), lengths come from the open handle.
#include "native_file.h"
#include "native_lock_keys_windows.h"
#include "native_replace_windows.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include <windows.h>

namespace miruteka::native {

ReplaceFileFunction replaceFile = &::ReplaceFileW;

namespace {

// char16_t and wchar_t are both UTF-16 code units here; unpaired surrogates pass unchanged,
// as the file system takes them. A NUL would end the name early, so it names no file.
std::optional<std::wstring> wide(std::u16string_view text)
{
    if (text.find(u'\0') != std::u16string_view::npos)
        return std::nullopt;
    return std::wstring(text.begin(), text.end());
}

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Every output handle is overlapped, so that a write to a pipe can be given up after a while.
HANDLE openForWriting(
    const std::wstring& path, DWORD disposition, SECURITY_ATTRIBUTES* security = nullptr)
{
    return ::CreateFileW(path.c_str(), GENERIC_WRITE, shareAll, security, disposition,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// Security that admits the user alone and inherits nothing from the folder: a new file that is
// to replace a report is readable by nobody else until ReplaceFileW gives it the report's DACL.
struct OwnerOnlySecurity {
    std::vector<unsigned char> user; // TOKEN_USER
    std::vector<unsigned char> acl;
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
};

// Nothing when the user cannot be told.
std::unique_ptr<OwnerOnlySecurity> ownerOnlySecurity()
{
    auto security = std::make_unique<OwnerOnlySecurity>();
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    security->user.resize(size);
    const bool known
        = size > 0 && ::GetTokenInformation(token, TokenUser, security->user.data(), size, &size);
    ::CloseHandle(token);
    if (!known)
        return nullptr;
    const PSID sid = reinterpret_cast<TOKEN_USER*>(security->user.data())->User.Sid;
    security->acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid));
    auto* acl = reinterpret_cast<ACL*>(security->acl.data());
    if (!::InitializeAcl(acl, static_cast<DWORD>(security->acl.size()), ACL_REVISION)
        || !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid)
        || !::InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION)
        || !::SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE)
        || !::SetSecurityDescriptorControl(
            &security->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return nullptr;
    security->attributes = { sizeof(SECURITY_ATTRIBUTES), &security->descriptor, FALSE };
    return security;
}

// 64 bits from the system's random source, in 16 hexadecimal digits: a name nobody can make
// ahead of us.
std::optional<std::wstring> randomTag()
{
    try {
        std::random_device random;
        const std::uint64_t bits = (std::uint64_t { random() } << 32) ^ random();
        static constexpr wchar_t digits[] = L"0123456789abcdef";
        std::wstring tag(16, L'0');
        for (std::size_t i = 0; i < tag.size(); ++i)
            tag[i] = digits[(bits >> (4 * i)) & 0xF];
        return tag;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::wstring> temporaryName()
{
    const auto tag = randomTag();
    if (!tag)
        return std::nullopt;
    return L".miruteka-" + *tag + L".tmp";
}

// Where ReplaceFileW moves the old report while the new one takes its name: beside it, named
// for it, and new each time, so that a copy an earlier failure left is never overwritten. A
// name too long for that is cut, never between the halves of a surrogate pair, so that a report
// of the longest name can be replaced too.
std::optional<std::wstring> backupPath(const std::wstring& target)
{
    const auto tag = randomTag();
    if (!tag)
        return std::nullopt;
    const std::filesystem::path path(target);
    const std::wstring suffix = L".miruteka-backup-" + *tag;
    const std::wstring name = path.filename().native();
    constexpr std::size_t longestName = 255; // UTF-16 units, on NTFS and FAT alike
    std::size_t keep = std::min(name.size(), longestName - 1 - suffix.size());
    if (keep > 0 && keep < name.size() && name[keep - 1] >= 0xD800 && name[keep - 1] <= 0xDBFF)
        --keep;
    return (path.parent_path() / (L"." + name.substr(0, keep) + suffix)).native();
}

// A new file beside the target, so that the target is replaced only by a complete content. One
// that replaces a report starts readable by the user alone; a new report gets the folder's
// inherited security, as any new file does.
std::optional<Output> createBeside(const std::wstring& target, bool replacing)
{
    const std::filesystem::path directory = std::filesystem::path(target).parent_path();
    const auto security = replacing ? ownerOnlySecurity() : nullptr;
    if (replacing && !security)
        return std::nullopt;
    // Made before the file, so that memory running out leaves nothing beside the target.
    std::wstring ownTarget = target;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const auto name = temporaryName();
        if (!name)
            return std::nullopt;
        std::wstring temporary = (directory / *name).native();
        const HANDLE handle
            = openForWriting(temporary, CREATE_NEW, security ? &security->attributes : nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            return Output { handle, std::move(ownTarget), std::move(temporary) };
        if (::GetLastError() != ERROR_FILE_EXISTS)
            return std::nullopt;
    }
    return std::nullopt;
}

// Where nothing existed nothing can be lost: the name itself may take the content.
std::optional<Output> createDirectly(const std::wstring& target)
{
    std::wstring ownTarget = target;
    const HANDLE handle = openForWriting(target, CREATE_NEW);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    return Output { handle, std::move(ownTarget), {}, true };
}

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

std::optional<Output> openLocked(const std::wstring& name)
{
    // Opening what is there for writing changes nothing and does not wait. It fails on a folder,
    // a read-only file and a file that another program holds, and it tells a file on disk,
    // which is replaced, from a device or a pipe, which is written directly.
    std::wstring ownName = name;
    if (const HANDLE opened = openForWriting(name, OPEN_EXISTING); opened != INVALID_HANDLE_VALUE) {
        UniqueHandle existing { opened };
        const DWORD type = ::GetFileType(existing.get());
        if (type != FILE_TYPE_DISK)
            return Output { existing.release(), std::move(ownName), {}, false,
                type == FILE_TYPE_PIPE };
        const std::wstring target = finalPath(existing.get(), name);
        existing.reset();
        // Replaced in one step or not at all: never emptied, never written in place.
        return createBeside(target, true);
    }
    // A missing folder on the way (ERROR_PATH_NOT_FOUND) or an unusable name fails here.
    if (::GetLastError() != ERROR_FILE_NOT_FOUND)
        return std::nullopt;
    if (auto beside = createBeside(name, false))
        return beside;
    return createDirectly(name);
}

bool exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// ReplaceFileW failed part of the way. Where the old report is gone from its name, it is put
// back from where the call moved it; where it is gone altogether, the new one is all there is
// and takes the name, or stays where it is.
bool recoverReplace(
    const Output& output, const std::wstring& backup, std::u16string* oldContentLeftAt)
{
    const wchar_t* target = output.target.c_str();
    const wchar_t* temporary = output.temporary.c_str();
    if (exists(output.target)) {
        ::DeleteFileW(temporary);
        return false;
    }
    if (exists(backup)) {
        if (::MoveFileExW(backup.c_str(), target, MOVEFILE_WRITE_THROUGH)) {
            ::DeleteFileW(temporary);
        } else if (oldContentLeftAt) {
            // The old report lives on under the hidden name only: the user must learn it.
            // Named as the user would type it, without the prefix for long names.
            try {
                std::wstring_view shown(backup);
                std::u16string name;
                if (shown.starts_with(LR"(\\?\UNC\)")) {
                    name = u"\\\\";
                    shown.remove_prefix(8);
                } else if (shown.starts_with(LR"(\\?\)")) {
                    shown.remove_prefix(4);
                }
                name.append(shown.begin(), shown.end());
                *oldContentLeftAt = std::move(name);
            } catch (const std::bad_alloc&) {
            }
        }
        return false;
    }
    return ::MoveFileExW(temporary, target, MOVEFILE_WRITE_THROUGH) != 0;
}

} // namespace

// Windows opens a file by its whole path; no folder is held.
std::optional<Input> openInputInFolder(std::u16string_view path) { return openInput(path); }
void forgetInputFolder() { }

std::optional<Input> openInput(std::u16string_view path)
{
    const auto name = wide(path);
    if (!name)
        return std::nullopt;
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open, as it should not.
    const HANDLE handle = ::CreateFileW(name->c_str(), GENERIC_READ, shareAll, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    // Devices, consoles and pipes are no files to measure.
    LARGE_INTEGER size;
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileSizeEx(handle, &size)) {
        ::CloseHandle(handle);
        return std::nullopt;
    }
    return Input { handle, static_cast<std::int64_t>(size.QuadPart) };
}

void closeInput(const Input& input) { ::CloseHandle(input.handle); }

std::optional<Output> openOutput(std::u16string_view path, const std::stop_token& stop)
{
    const auto wideName = wide(path);
    if (!wideName)
        return std::nullopt;
    const std::wstring& name = *wideName;
    // The file is looked at again once no other save holds it: the one that held it may have
    // made it or put another in its place, which then needs locking in its turn.
    constexpr int lookups = 8;
    for (int lookup = 0; lookup < lookups; ++lookup) {
        const auto keys = lockKeys(name);
        auto lock = SaveLock::acquire(keys, stop);
        if (!lock)
            return std::nullopt;
        if (lockKeys(name) != keys)
            continue;
        auto output = openLocked(name);
        if (output)
            output->lock = std::move(*lock);
        return output;
    }
    return std::nullopt;
}

bool writeAll(Output& output, std::string_view bytes, const std::stop_token& stop)
{
    const UniqueHandle done { ::CreateEventW(nullptr, TRUE, FALSE, nullptr) };
    if (!done)
        return false;
    // A pipe whose reader stops reading is given up on after this long; anything else takes as
    // long as it takes. Either way a stop is noticed within one slice.
    constexpr DWORD pipePatienceMs = 2000;
    constexpr DWORD sliceMs = 100;
    while (!bytes.empty()) {
        if (stop.stop_requested())
            return false;
        OVERLAPPED request {};
        // At the end of a file; devices and pipes take no position.
        request.Offset = request.OffsetHigh = 0xFFFFFFFF;
        request.hEvent = done.get();
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!::WriteFile(output.handle, bytes.data(), chunk, nullptr, &request)
            && ::GetLastError() != ERROR_IO_PENDING)
            return false;
        DWORD waitedMs = 0;
        while (::WaitForSingleObject(done.get(), sliceMs) == WAIT_TIMEOUT) {
            waitedMs += sliceMs;
            if (stop.stop_requested() || (output.isPipe && waitedMs >= pipePatienceMs)) {
                ::CancelIoEx(output.handle, &request);
                break;
            }
        }
        DWORD written = 0;
        if (!::GetOverlappedResult(output.handle, &request, &written, TRUE) || written == 0)
            return false;
        bytes.remove_prefix(written);
        noteSaveProgress();
    }
    return true;
}

bool commit(const Output& output, const std::stop_token& stop, std::u16string* oldContentLeftAt)
{
    if (output.temporary.empty()) {
        // A new file under the target's own name is in place once on disk.
        const bool flushed = !output.created || ::FlushFileBuffers(output.handle) != 0;
        noteSaveProgress();
        const bool closed = ::CloseHandle(output.handle) != 0;
        const bool kept = flushed && closed && !(output.created && stop.stop_requested());
        if (output.created && !kept)
            ::DeleteFileW(output.target.c_str());
        return kept;
    }
    // ReplaceFileW is the commit point; a stop before it leaves the report as it was.
    const bool flushed = ::FlushFileBuffers(output.handle) != 0;
    noteSaveProgress();
    const bool closed = ::CloseHandle(output.handle) != 0;
    if (flushed && closed && !stop.stop_requested()) {
        // ReplaceFileW keeps the old file's DACL, attributes and creation time, and fails when
        // it cannot carry them over: the new file would otherwise keep its own DACL, which
        // admits the user alone. The old file is moved aside under a name of its own rather than
        // deleted, so that whatever step of the call fails, it can be put back.
        const auto backup = backupPath(output.target);
        if (backup) {
            if (replaceFile(output.target.c_str(), output.temporary.c_str(), backup->c_str(), 0,
                    nullptr, nullptr)) {
                ::DeleteFileW(backup->c_str());
                return true;
            }
            return recoverReplace(output, *backup, oldContentLeftAt);
        }
    }
    ::DeleteFileW(output.temporary.c_str());
    return false;
}

void discard(const Output& output)
{
    ::CloseHandle(output.handle);
    if (!output.temporary.empty())
        ::DeleteFileW(output.temporary.c_str());
    else if (output.created)
        ::DeleteFileW(output.target.c_str());
}

// The system converts without any set-up of ours.
struct AnsiConverter::State { };

AnsiConverter::AnsiConverter() = default;
AnsiConverter::~AnsiConverter() = default;

bool AnsiConverter::append(std::u16string_view text, std::string& out)
{
    // Best-fit mappings would turn "é" into "e" and "¥" into a backslash; an unmappable
    // character is to become the code page's default character instead. UTF-8 and GB18030
    // represent everything and take no flags.
    const UINT codePage = ::GetACP();
    const bool unicode = codePage == CP_UTF8 || codePage == 54936;
    const DWORD flags = unicode ? 0 : WC_NO_BEST_FIT_CHARS;

    const std::size_t before = out.size();
    out.reserve(before + text.size() * 2);
    bool failed = false;
    auto convert = [&](std::u16string_view part) {
        if (part.empty() || failed)
            return;
        const auto* units = reinterpret_cast<const wchar_t*>(part.data());
        const int length = static_cast<int>(part.size());
        const int size
            = ::WideCharToMultiByte(CP_ACP, flags, units, length, nullptr, 0, nullptr, nullptr);
        if (size <= 0) {
            failed = true;
            return;
        }
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(size));
        ::WideCharToMultiByte(
            CP_ACP, flags, units, length, out.data() + at, size, nullptr, nullptr);
    };

    // The system gives one default character per UTF-16 unit of a character beyond the BMP;
    // such a character, or a lone surrogate, is written here as one "?".
    auto isHigh = [](char16_t c) { return c >= 0xD800 && c <= 0xDBFF; };
    auto isLow = [](char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; };
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (!isHigh(text[i]) && !isLow(text[i])) {
            ++i;
            continue;
        }
        convert(text.substr(start, i - start));
        const bool pair = isHigh(text[i]) && i + 1 < text.size() && isLow(text[i + 1]);
        if (pair && unicode)
            convert(text.substr(i, 2));
        else
            out.push_back('?');
        i += pair ? 2 : 1;
        start = i;
    }
    convert(text.substr(start));
    if (failed)
        out.resize(before);
    return !failed;
}

} // namespace miruteka::native
