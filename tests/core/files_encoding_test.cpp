// Text on its way to the system: names of every UTF-8 length, names that are not UTF-8, and a
// text longer than the piece that PrintLine converts at a time.
#include "files.h"
#include "scratch.h"

#include <algorithm>
#include <bit>
#include <gtest/gtest.h>
#include <random>
#ifndef _WIN32
#include <iconv.h>
#endif

namespace miruteka {
namespace {

using testing::readBytes;
using testing::ScratchDir;
using testing::u16;
namespace fs = std::filesystem;

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

struct BytesCase {
    const char* name;
    std::string_view bytes; // the name on disk
    std::u16string_view text; // what the program holds for it
};

// Each name is made on disk, opened, measured and written under the text it decodes to, and no
// other file is touched: the bytes go back to the file system exactly as they came.
TEST(FileNameFromBytes, KeepsEveryByteOfANameThatIsNotUtf8)
{
    const BytesCase cases[] = {
        { "Latin-1", "caf\xE9.bin", u"caf\xDCE9.bin" },
        { "two bytes that are no lead", "\xFF\xFE.bin", u"\xDCFF\xDCFE.bin" },
        { "sequence cut short", "a\xE3\x81", u"a\xDCE3\xDC81" },
        { "encoded surrogate", "\xED\xA0\x80", u"\xDCED\xDCA0\xDC80" },
        { "overlong slash", "\xC0\xAF", u"\xDCC0\xDCAF" },
        { "beyond U+10FFFF", "\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80" },
        { "valid of every length", "a\xC3\xA9\xE3\x83\x9F\xF0\x9F\x98\x80",
            u"a\u00E9ミ\U0001F600" },
        { "valid then not", "\xE5\x86\x86\x80", u"円\xDC80" },
    };
    ScratchDir dir;
    // What a careless decoding would find instead: U+FFFD in place of each odd byte.
    dir.file("caf\uFFFD.bin", 7);
    dir.file("\uFFFD\uFFFD.bin", 7);
    for (const auto& c : cases) {
        EXPECT_EQ(FileNameFromBytes(c.bytes), c.text) << c.name;
        const auto onDisk = dir.path() / fs::path(std::string(c.bytes));
        std::ofstream(onDisk) << "old";
        const std::u16string path = u16(dir.path()) + u"/" + FileNameFromBytes(c.bytes);
        ASSERT_TRUE(OpenForInput(path, 1)) << c.name;
        EXPECT_EQ(FileLength(1), 3) << c.name;
        CloseFile(1);
        ASSERT_TRUE(OpenForOutput(path, 1)) << c.name;
        EXPECT_TRUE(PrintLine(1, u"new"));
        EXPECT_TRUE(CloseFile(1));
        EXPECT_EQ(readBytes(onDisk), "new\r\n") << c.name;
        fs::remove(onDisk);
    }
    EXPECT_EQ(readBytes(dir / "caf\uFFFD.bin"), std::string(7, '\0'));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

// The whole text through iconv at once, one "?" for each character that it refuses.
std::string cp932ByIconv(std::u16string_view text)
{
    const iconv_t converter = ::iconv_open("CP932", "UTF-16LE");
    EXPECT_NE(converter, reinterpret_cast<iconv_t>(-1));
    std::string out(text.size() * 2, '\0');
    char* in = const_cast<char*>(reinterpret_cast<const char*>(text.data()));
    std::size_t inLeft = text.size() * 2;
    char* at = out.data();
    std::size_t outLeft = out.size();
    while (::iconv(converter, &in, &inLeft, &at, &outLeft) == static_cast<std::size_t>(-1)) {
        const auto* unit = reinterpret_cast<const char16_t*>(in);
        const bool pair = inLeft >= 4 && unit[0] >= 0xD800 && unit[0] <= 0xDBFF && unit[1] >= 0xDC00
            && unit[1] <= 0xDFFF;
        in += pair ? 4 : 2;
        inLeft -= pair ? 4 : 2;
        *at++ = '?';
        --outLeft;
        ::iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
    ::iconv_close(converter);
    out.resize(out.size() - outLeft);
    return out;
}

// The converter asks iconv once a character and remembers the answer: every character of the
// BMP, in an order of no pattern and each more than once, with pairs and lone surrogates among
// them, must come out as iconv writes the whole text.
TEST(ToAnsiCodePage, WritesWhatTheSystemsConverterWritesForEveryCharacter)
{
    static_assert(std::endian::native == std::endian::little, "the reference reads UTF-16LE");
    std::u16string text;
    for (char32_t c = 1; c < 0x10000; ++c) {
        if (c < 0xD800 || c > 0xDFFF)
            text.append(2, static_cast<char16_t>(c));
    }
    std::shuffle(text.begin(), text.end(), std::mt19937(20260314));
    for (const std::u16string_view odd :
        { u"\U0001F600", u"\xD83D", u"\xDE00", u"\U00020B9F", u"\xD83D\xD83D" }) {
        for (int eighth = 1; eighth < 8; ++eighth)
            text.insert(text.size() * eighth / 8, odd);
    }

    const std::string expected = cp932ByIconv(text);
    EXPECT_EQ(ToAnsiCodePage(text), expected);

    // PrintLine converts in pieces with one converter; a character met again in a later piece
    // comes from what the converter remembers.
    ScratchDir dir;
    ASSERT_TRUE(OpenForOutput(u16(dir / "all.txt"), 1));
    const bool printed = PrintLine(1, text);
    ASSERT_TRUE(CloseFile(1) && printed);
    EXPECT_EQ(readBytes(dir / "all.txt"), expected + "\r\n");
}
#endif

// A NUL would end the name early at the system, naming a file the path does not.
TEST(FileNames, ANulNamesNoFile)
{
    ScratchDir dir;
    dir.file("a", 5);
    for (const std::u16string& path : { u16(dir / "a") + u'\0', u16(dir / "a") + u'\0' + u"b",
             u16(dir / "new") + u'\0' + u".txt" }) {
        EXPECT_FALSE(OpenForInput(path, 1));
        EXPECT_FALSE(OpenForOutput(path, 1));
        CloseFile(1);
    }
    EXPECT_EQ(readBytes(dir / "a"), std::string(5, '\0'));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

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
