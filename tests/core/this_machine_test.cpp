#include "this_machine.h"

#include <cctype>
#include <gtest/gtest.h>
#include <string>

namespace miruteka {
namespace {

struct HostCase {
    const char* name;
    std::string_view host;
    std::string_view own;
    std::string canonical; // the resolver's answer; empty when it knows none
    bool names;
    bool asksResolver;
};

void PrintTo(const HostCase& c, std::ostream* out) { *out << c.name; }

class NamesMachineTest : public ::testing::TestWithParam<HostCase> { };

TEST_P(NamesMachineTest, TakesTheHostNameAndOnlyTheResolversFullName)
{
    const HostCase& c = GetParam();
    int asked = 0;
    const bool names = NamesMachine(c.host, c.own, [&] {
        ++asked;
        return c.canonical;
    });
    EXPECT_EQ(names, c.names);
    // The resolver may wait on the network: a name that cannot be this machine's full name must
    // not wait for it.
    EXPECT_EQ(asked > 0, c.asksResolver);
}

INSTANTIATE_TEST_SUITE_P(Hosts, NamesMachineTest,
    ::testing::Values(HostCase { "host name", "box", "box", "box.example.org", true, false },
        HostCase { "host name, other case", "BOX", "Box", "box.example.org", true, false },
        HostCase { "full name", "box.example.org", "box", "box.example.org", true, true },
        HostCase {
            "full name, other case", "Box.EXAMPLE.org", "box", "BOX.example.ORG", true, true },
        // Where the full name cannot be looked up (no line for the host in /etc/hosts), a longer
        // name is taken for another machine's, however plausible.
        HostCase { "full name unknown", "box.example.org", "box", "", false, true },
        HostCase { "resolver gives the host name", "box.example.org", "box", "box", false, true },
        HostCase { "another domain", "box.example.net", "box", "box.example.org", false, true },
        HostCase { "a name that begins the same", "boxer", "box", "box.example.org", false, false },
        HostCase { "another machine", "other.example.org", "box", "box.example.org", false, false },
        HostCase {
            "the full name's domain alone", "example.org", "box", "box.example.org", false, false },
        HostCase { "no host", "", "box", "box.example.org", false, false },
        HostCase { "no host name here", "box", "", "", false, false },
        HostCase { "no host name here, a dotted host", ".example.org", "", "", false, false }),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

} // namespace
} // namespace miruteka
