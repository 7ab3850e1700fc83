// PrintLine of a text longer than the piece it converts at a time: the file holds the bytes of
// the whole text, whatever falls where one piece ends.
#include "files.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

namespace miruteka {
namespace {

using testing::readBytes;
using testing::ScratchDir;
using testing::u16;

struct LongCase {
    const char* name;
    std::size_t filler; // UTF-16 units before the probe
    std::u16string_view probe;
};

// Pieces are 32768 units long; the fillers put each probe across the first or second end.
TEST(PrintLine, WritesALongTextAsTheBytesOfTheWhole)
{
    const LongCase cases[] = {
        { "empty", 0, u"" },
        { "pair across the first end", 32767, u"\U0001F600" },
        { "pair across the second end", 65535, u"\U0001F600 tail" },
        { "lone high surrogate before the end", 32767, u"\xD83D-" },
        { "lone high surrogate last of all", 32767, u"\xD83D" },
        { "two-byte characters across the end", 32767, u"ミ円" },
        { "exactly one piece", 32768, u"" },
        { "one unit past two pieces", 65536, u"x" },
    };
    ScratchDir dir;
    const auto path = dir / "report.txt";
    for (const auto& c : cases) {
        std::u16string text;
        for (std::size_t i = 0; i < c.filler; ++i)
            text += i % 3 == 0 ? u'テ' : u'a';
        text += c.probe;
        ASSERT_TRUE(OpenForOutput(u16(path), 1)) << c.name;
        const bool printed = PrintLine(1, text);
        ASSERT_TRUE(CloseFile(1) && printed) << c.name;
        EXPECT_EQ(readBytes(path), ToAnsiCodePage(text) + "\r\n") << c.name;
    }
}

} // namespace
} // namespace miruteka
