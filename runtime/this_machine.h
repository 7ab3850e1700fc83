// Whether a host named in a file URI is this machine.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace miruteka {

// True for this machine's host name and for its fully qualified form as the resolver gives it
// (what `hostname` and `hostname -f` print), in any case of letters. POSIX only. The resolver
// may wait on the network, so it is asked once, on a thread of its own, from the first call of
// either function on; a question that comes before its answer waits for it at most a fifth of a
// second and is then answered by the host name alone.
bool NamesThisMachine(std::string_view host);

// The rule behind NamesThisMachine, for a machine whose host name is ownName: the host name
// itself, or a longer name beginning with it and a dot that is the canonical name. canonicalName
// gives that (empty when the resolver knows none, as where /etc/hosts lacks the host name) and is
// called only for such a longer name. Letters compare in any case.
bool NamesMachine(std::string_view host, std::string_view ownName,
    const std::function<std::string()>& canonicalName);

// Asks the resolver now, so that its answer is there before the first file URI needs it.
void LookUpThisMachine();

} // namespace miruteka
