// What a thread that waits on disks for the user sets for itself as it starts: a priority below
// the window's own, and a name that tells it apart in a debugger or a list of threads.
#pragma once

namespace miruteka {

// Lowers the calling thread's priority below that of the threads the process starts with.
// Nothing is changed where the system refuses.
void LowerThisThreadsPriority();

// Names the calling thread; Linux keeps the first 15 bytes. Nothing is changed where the system
// refuses or has no names for threads.
void NameThisThread(const char* name) noexcept;

} // namespace miruteka
