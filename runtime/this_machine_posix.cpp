#include "this_machine.h"
#include "worker_thread.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <future>
#include <netdb.h>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace miruteka {

namespace {

std::string lowered(std::string_view name)
{
    std::string text(name);
    std::transform(text.begin(), text.end(), text.begin(),
        [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

std::string hostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return lowered(name);
}

// The resolver's canonical name for the host name, as `hostname -f` finds it.
std::string canonicalName(const std::string& host)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
        return {};
    std::string name = found->ai_canonname ? lowered(found->ai_canonname) : std::string();
    ::freeaddrinfo(found);
    return name;
}

// The canonical name, looked up on a thread nobody waits for at exit: a resolver that hangs
// holds neither the window nor the program's end.
const std::shared_future<std::string>& canonicalOwnName()
{
    static const std::shared_future<std::string> name = [] {
        std::promise<std::string> promise;
        std::shared_future<std::string> future = promise.get_future().share();
        try {
            std::thread([promise = std::move(promise)]() mutable {
                NameThisThread("host lookup");
                // Out of memory, the machine has no full name; an exception here would end the
                // program.
                std::string name;
                try {
                    name = canonicalName(hostName());
                } catch (const std::bad_alloc&) {
                    name.clear();
                }
                promise.set_value(std::move(name));
            }).detach();
        } catch (const std::system_error&) {
            std::promise<std::string> unknown;
            unknown.set_value({});
            return unknown.get_future().share();
        }
        return future;
    }();
    return name;
}

} // namespace

void LookUpThisMachine() { canonicalOwnName(); }

bool NamesMachine(std::string_view host, std::string_view ownName,
    const std::function<std::string()>& canonicalName)
{
    const std::string asked = lowered(host);
    const std::string own = lowered(ownName);
    if (asked.empty() || own.empty())
        return false;
    if (asked == own)
        return true;
    if (!asked.starts_with(own + '.'))
        return false;
    // A machine the resolver knows no full name for has none: the longer name is another's.
    const std::string canonical = lowered(canonicalName());
    return !canonical.empty() && asked == canonical;
}

bool NamesThisMachine(std::string_view host)
{
    static const std::string own = hostName();
    return NamesMachine(host, own, [] {
        const auto& canonical = canonicalOwnName();
        if (canonical.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready)
            return std::string();
        return canonical.get();
    });
}

} // namespace miruteka
