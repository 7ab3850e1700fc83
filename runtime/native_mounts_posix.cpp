// POSIX: the mount table from /proc/self/mountinfo, which the kernel writes from its own records
// without asking any of the file systems listed.
#include "file_systems.h"
#include "files.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <istream>
#include <sstream>
#include <string>

namespace miruteka::native {

namespace {

// The kernel writes a space, a tab, a line end and a backslash in a mount point as an octal
// escape of three digits.
std::string unescaped(std::string_view field)
{
    const auto isOctal = [](char c) { return c >= '0' && c <= '7'; };
    std::string bytes;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1])
            && isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            bytes += static_cast<char>(
                ((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
            i += 3;
        } else {
            bytes += field[i];
        }
    }
    return bytes;
}

// The kinds that keep their files on this machine's own disks or in its memory; any other
// (network file systems, file systems in user space) may stop answering as a server does.
bool isLocal(const std::string& type)
{
    static constexpr std::array<std::string_view, 32> local { "ext2", "ext3", "ext4", "xfs",
        "btrfs", "f2fs", "jfs", "reiserfs", "vfat", "msdos", "exfat", "ntfs", "ntfs3", "hfs",
        "hfsplus", "iso9660", "udf", "squashfs", "erofs", "tmpfs", "ramfs", "overlay", "zfs",
        "bcachefs", "nilfs2", "devtmpfs", "proc", "sysfs", "debugfs", "securityfs", "cgroup2",
        "efivarfs" };
    return std::find(local.begin(), local.end(), type) != local.end();
}

} // namespace

std::vector<Mount> readMounts()
{
    std::ifstream table("/proc/self/mountinfo");
    return mountsFromMountInfo(table);
}

std::vector<Mount> mountsFromMountInfo(std::istream& table)
{
    std::vector<Mount> mounts;
    std::string line;
    while (std::getline(table, line)) {
        // ID, parent ID, device, root, mount point, options, optional fields up to "-", type.
        std::istringstream fields(line);
        std::string id, parent, device, root, point, field;
        if (!(fields >> id >> parent >> device >> root >> point))
            continue;
        while (fields >> field && field != "-") { }
        std::string type;
        if (!(fields >> type))
            continue;
        mounts.push_back({ FileNameFromBytes(unescaped(point)), !isLocal(type) });
    }
    return mounts;
}

// Without a mount table, every path is on one local file system.
Mount mountOfPath(std::u16string_view) { return { u"/", false }; }

} // namespace miruteka::native
