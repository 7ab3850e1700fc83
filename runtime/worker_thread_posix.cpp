#include "worker_thread.h"

#include <algorithm>
#include <cerrno>
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
    // give it about a tenth of the processor share of the window's thread. They are counted
    // from the main thread's value (its id is the process's), not from 0 or from the thread
    // that started this one, so that a program started with nice still puts its workers below
    // the window.
    constexpr int steps = 10;
    constexpr int lowest = 19;
    errno = 0;
    const int window = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
    const int workerNice = std::min(errno == 0 ? window + steps : steps, lowest);
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
