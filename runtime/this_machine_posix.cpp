#include "this_machine.h"

#include <algorithm>
#include <climits>
#include <netdb.h>
#include <string>
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

} // namespace

bool NamesThisMachine(std::string_view host)
{
    static const std::string own = hostName();
    const std::string asked = lowered(host);
    if (asked.empty() || own.empty())
        return false;
    if (asked == own)
        return true;
    // The resolver may wait on the network where the name is not in /etc/hosts, so it is asked
    // once, and only about a host that may be this machine's full name.
    if (!asked.starts_with(own + '.'))
        return false;
    static const std::string canonical = canonicalName(own);
    return asked == canonical;
}

} // namespace miruteka
