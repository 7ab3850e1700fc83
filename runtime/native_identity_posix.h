// POSIX: what a replaced file was, given to the new file that takes its place, so that a save
// changes nobody's access to the report.
#pragma once

struct stat;

namespace miruteka::native {

// Gives the new file the old one's owner and group where they differ. False when the saver may
// not: the new file could then not stand in for the old one.
bool takeOwnership(int fresh, const struct stat& old);

// Gives the new file the old one's access ACL with its permission bits (replacing whatever the
// folder's default ACL gave it), its user.* extended attributes, its security.* ones where the
// saver may set them, and last the setuid, setgid and sticky bits, which a change of owner or a
// write clears. False when any but the security.* attributes could not be copied.
bool copyPermissions(int old, int fresh);

} // namespace miruteka::native
