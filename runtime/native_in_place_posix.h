// POSIX: a save into the existing file itself, for a report that no new file could replace
// without changing who may use it. Nothing is written into it before a complete copy of its old
// content is on disk beside it, named .NAME.miruteka-backup-TAG with a random TAG of its own; a
// failed or stopped write puts that content back, and a commit removes the copy. A kill in
// between leaves the copy under that name.
#pragma once

#include "native_file.h"
#include "posix_fd.h"

struct stat;

namespace miruteka::native {

// `old` is the file that the name in the folder held when the save began. A stop requested while
// the copy is being made gives up there, with the file untouched.
std::optional<Output> openInPlace(
    Fd folder, const std::string& name, const struct stat& old, const std::stop_token& stop);
// The commit point is the removal of the copy, once the new content is on disk; a stop before
// it puts the old content back.
bool commitInPlace(const Output& output, const std::stop_token& stop);
void discardInPlace(const Output& output);

} // namespace miruteka::native
