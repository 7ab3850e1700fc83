#include "worker_priority.h"

#include <windows.h>

namespace miruteka {

void LowerThisThreadsPriority()
{
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

} // namespace miruteka
