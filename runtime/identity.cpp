#include "identity.h"

namespace miruteka {

std::u16string AppTitle() { return u"ミルテカ"; }
std::int16_t AppMajor() { return 1; }
std::int16_t AppMinor() { return 0; }

} // namespace miruteka
