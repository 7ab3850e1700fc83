#include "worker_thread.h"

#include <pthread.h>
#include <string_view>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace miruteka {

void LowerThisThreadsPriority()
{
#ifdef __linux__
    // On Linux each thread has a nice value of its own, set through its thread id. Ten steps
    // give it about a tenth of the processor share of a thread at the default value.
    constexpr int workerNice = 10;
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    ::setpriority(PRIO_PROCESS, tid, workerNice);
#endif
}

void NameThisThread(const char* name) noexcept
{
#ifdef __linux__
    // A longer name is refused whole, not cut; it is cut here, in a buffer of its own, so that
    // naming allocates nothing and cannot fail a thread as it starts.
    char kept[16] {};
    std::string_view(name).copy(kept, sizeof kept - 1);
    ::pthread_setname_np(::pthread_self(), kept);
#else
    static_cast<void>(name);
#endif
}

} // namespace miruteka
