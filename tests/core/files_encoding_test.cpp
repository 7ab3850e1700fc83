// Text on its way to the system: names of every UTF-8 length, and a text longer than the piece
// that PrintLine converts at a time.
#include "files.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

namespace miruteka {
namespace {

using testing::readBytes;
using testing::ScratchDir;
using testing::u16;

struct NameCase {
    const char* name;
    const char* utf8; // the name on disk
    std::u16string_view text; // the same name as the program holds it
};

TEST(OpenForInput, FindsNamesOfEveryUtf8Length)
{
    const NameCase cases[] = {
        { "ascii", "plain.txt", u"plain.txt" },
        { "two bytes", "caf\u00E9", u"caf\u00E9" },
        { "three bytes", "ミルテカ円.txt", u"ミルテカ円.txt" },
        { "four bytes", "\U0001F600.bin", u"\U0001F600.bin" },
        { "all lengths in a row", "a\u00E9ミ\U0001F600z", u"a\u00E9ミ\U0001F600z" },
    };
    ScratchDir dir;
    for (const auto& c : cases) {
        dir.file(c.utf8, 300);
        ASSERT_TRUE(OpenForInput(u16(dir.path()) + u"/" + std::u16string(c.text), 1)) << c.name;
        EXPECT_EQ(FileLength(1), 300) << c.name;
        CloseFile(1);
    }
}

#ifndef _WIN32
// Names on disk are UTF-8 here, which has no form for a lone surrogate; Windows names are UTF-16
// and may hold one, and "?" cannot stand in a Windows name at all.
TEST(OpenForInput, RefusesANameWithALoneSurrogate)
{
    ScratchDir dir;
    dir.file("a?.txt", 1); // what a careless conversion might look for
    for (const std::u16string_view name : { u"a\xD83D.txt", u"a\xDE00.txt", u"a\xDE00\xD83D.txt" })
        EXPECT_FALSE(OpenForInput(u16(dir.path()) + u"/" + std::u16string(name), 1));
}
#endif

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
        EXPECT_EQ(readBytes(path), ToAnsiCodePage(text).value() + "\r\n") << c.name;
    }
}

} // namespace
} // namespace miruteka
