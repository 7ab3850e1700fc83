// Windows: the identities behind names, by volume serial number and file index.
#include "native_lock_keys_windows.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

namespace miruteka::native {

namespace {

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

std::string keyText(wchar_t kind, std::wstring text)
{
    // Names differ by case alone only where the file system says so; here they are one name.
    if (!text.empty())
        ::CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    text.insert(text.begin(), kind);
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// The identity of what a handle is open on: the volume's serial number and the file's index.
std::optional<std::wstring> identity(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(handle, &info))
        return std::nullopt;
    return std::to_wstring(info.dwVolumeSerialNumber) + L":"
        + std::to_wstring((std::uint64_t { info.nFileIndexHigh } << 32) | info.nFileIndexLow);
}

// Open for its identity alone: no access asked, so that nobody's sharing is in the way.
UniqueHandle openForIdentity(const std::wstring& path)
{
    const HANDLE handle = ::CreateFileW(
        path.c_str(), 0, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

// A name in the system's device space (\\.\, or \\?\ without a drive or share), such as a
// pipe, which even an open for identity would connect to.
bool isDeviceName(const std::wstring& name)
{
    if (name.starts_with(LR"(\\.\)"))
        return true;
    if (!name.starts_with(LR"(\\?\)"))
        return false;
    const std::wstring rest = name.substr(4);
    return !(rest.size() >= 2 && rest[1] == L':') && !rest.starts_with(L"UNC\\")
        && !rest.starts_with(L"unc\\");
}

} // namespace

std::vector<std::string> lockKeys(const std::wstring& name)
{
    const std::vector<std::string> byName { keyText(L'p', name) };
    if (isDeviceName(name))
        return byName;
    std::wstring inFolder = name;
    std::vector<std::string> keys;
    if (const UniqueHandle existing = openForIdentity(name)) {
        const auto file = identity(existing.get());
        if (::GetFileType(existing.get()) != FILE_TYPE_DISK || !file)
            return byName;
        keys.push_back(keyText(L'f', *file));
        inFolder = finalPath(existing.get(), name);
    } else if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
        return byName;
    }
    const std::filesystem::path path(inFolder);
    const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : L".";
    const UniqueHandle folder = openForIdentity(parent.native());
    const auto folderIdentity = folder ? identity(folder.get()) : std::nullopt;
    if (!folderIdentity)
        return byName;
    keys.push_back(keyText(L'n', *folderIdentity + L"\\" + path.filename().native()));
    return keys;
}

std::wstring finalPath(HANDLE handle, const std::wstring& fallback)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(),
            static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return fallback;
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length);
    }
}

} // namespace miruteka::native
