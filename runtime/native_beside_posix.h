// POSIX: new files in a target's folder, made there so that a complete content can take a name
// in it in one step. Shared by the save and the in-place write's copy of the old content.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

struct stat;

namespace miruteka::native {

// A new file in a folder: without a name where the file system allows it (temporary empty),
// else under a random name of its own.
struct BesideFile {
    int handle;
    std::string temporary;
};

// 64 bits from the kernel's random source, in 16 hexadecimal digits: a name nobody can make
// ahead of us.
// Nothing, too, when memory runs out for it.
std::optional<std::string> randomTag() noexcept;
// .miruteka-TAG.tmp
std::optional<std::string> temporaryName() noexcept;

// The mode is a new file's, under the umask; a folder's default ACL applies within it.
std::optional<BesideFile> createBeside(int folder, mode_t mode);

// Gives the complete file the name as a second name of its own; never takes a name that is held
// (errno EEXIST then).
bool linkAs(int folder, const BesideFile& file, const std::string& name);

// Removes the file's own name, if it has one, and closes it.
void dropBeside(int folder, const BesideFile& file);

// Removes the name unless someone has put another file there meanwhile.
void removeIfStill(int folder, const std::string& name, const struct stat& file);

// So that a change of names survives a power cut. What it guards is in place whatever this gives.
void syncFolder(int folder);

} // namespace miruteka::native
