// Windows branch: paths are UTF-16 as the system takes them, text files are in the system's
// ANSI code page (CP_ACP), lengths come from the open handle.
#include "native_file.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>

namespace miruteka::native {

namespace {

std::wstring wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

std::wstring directoryOf(const std::wstring& path)
{
    const auto slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        return L".";
    return path.substr(0, slash + 1 == 3 && path[1] == L':' ? slash + 1 : slash);
}

std::string narrow(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::wstring widen(const std::string& bytes)
{
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

HANDLE createForWriting(const std::wstring& path, DWORD disposition)
{
    return ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
        FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

std::optional<Input> openInput(std::u16string_view path)
{
    const std::wstring name = wide(path);
    // FILE_FLAG_BACKUP_SEMANTICS would open folders; without it they fail, as they should.
    HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    LARGE_INTEGER size;
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileSizeEx(handle, &size)) {
        ::CloseHandle(handle);
        return std::nullopt;
    }
    return Input { handle, static_cast<std::int64_t>(size.QuadPart) };
}

void closeInput(const Input& input) { ::CloseHandle(input.handle); }

std::optional<Output> openOutput(std::u16string_view path)
{
    const std::wstring target = wide(path);
    if (target.empty())
        return std::nullopt;
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return std::nullopt;
    if (!exists || !(attributes & FILE_ATTRIBUTE_DEVICE)) {
        wchar_t temporary[MAX_PATH + 1];
        const std::wstring directory = directoryOf(target);
        if (::GetTempFileNameW(directory.c_str(), L"mrt", 0, temporary) != 0) {
            HANDLE handle = createForWriting(temporary, CREATE_ALWAYS);
            if (handle != INVALID_HANDLE_VALUE)
                return Output { handle, narrow(target), narrow(temporary) };
            ::DeleteFileW(temporary);
        }
    }
    HANDLE handle = createForWriting(target, exists ? OPEN_EXISTING : CREATE_NEW);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    if (::GetFileType(handle) == FILE_TYPE_DISK)
        ::SetEndOfFile(handle);
    return Output { handle, narrow(target), {} };
}

bool writeAll(const Output& output, std::string_view bytes)
{
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(output.handle, bytes.data(), chunk, &written, nullptr) || written == 0)
            return false;
        bytes.remove_prefix(written);
    }
    return true;
}

bool commit(const Output& output)
{
    if (output.temporary.empty())
        return ::CloseHandle(output.handle) != 0;
    const bool flushed = ::FlushFileBuffers(output.handle) != 0;
    const bool closed = ::CloseHandle(output.handle) != 0;
    const std::wstring temporary = widen(output.temporary);
    const std::wstring target = widen(output.target);
    if (flushed && closed
        && ::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    ::DeleteFileW(temporary.c_str());
    return false;
}

void discard(const Output& output)
{
    ::CloseHandle(output.handle);
    if (!output.temporary.empty())
        ::DeleteFileW(widen(output.temporary).c_str());
}

std::string toAnsiCodePage(std::u16string_view text)
{
    if (text.empty())
        return {};
    const auto* wideText = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    const int size = ::WideCharToMultiByte(CP_ACP, 0, wideText, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, wideText, length, out.data(), size, nullptr, nullptr);
    return out;
}

} // namespace miruteka::native
