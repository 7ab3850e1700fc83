// Windows: a path names its file system itself, as a drive or as \\server\share.
#include "file_systems.h"

#include <algorithm>
#include <cwctype>
#include <windows.h>

namespace miruteka::native {

std::vector<Mount> readMounts() { return {}; }

Mount mountOfPath(std::u16string_view path)
{
    const auto isSeparator = [](char16_t unit) { return unit == u'\\' || unit == u'/'; };
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        // \\server\share: the two names after the leading separators.
        const std::size_t server = path.find_first_of(u"\\/", 2);
        const std::size_t end
            = server == path.npos ? path.npos : path.find_first_of(u"\\/", server + 1);
        std::u16string share(path.substr(0, end));
        std::transform(share.begin(), share.end(), share.begin(),
            [](char16_t unit) { return static_cast<char16_t>(std::towupper(unit)); });
        return { share, true };
    }
    if (path.size() >= 2 && path[1] == u':') {
        // A mapped network drive is a share by another name. Windows answers from its own list
        // of drives, without asking the server.
        const char16_t letter = static_cast<char16_t>(std::towupper(path[0]));
        const wchar_t root[] = { static_cast<wchar_t>(letter), L':', L'\\', 0 };
        return { std::u16string { letter, u':' }, ::GetDriveTypeW(root) == DRIVE_REMOTE };
    }
    return { u"", false };
}

} // namespace miruteka::native
