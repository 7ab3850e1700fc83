// Whether a host named in a file URI is this machine.
#pragma once

#include <string_view>

namespace miruteka {

// True for this machine's host name and for its fully qualified form as the resolver gives it
// (what `hostname` and `hostname -f` print), in any case of letters. POSIX only.
bool NamesThisMachine(std::string_view host);

} // namespace miruteka
