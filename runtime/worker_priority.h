// The priority of threads that wait on disks for the user, below the window's own.
#pragma once

namespace miruteka {

// Lowers the calling thread's priority below that of the threads the process starts with.
// Nothing is changed where the system refuses.
void LowerThisThreadsPriority();

} // namespace miruteka
