// The conversions between the UTF-16 strings of the plug-in interface and the UTF-8 of POSIX
// file names: every length of sequence, and what becomes U+FFFD (unpaired surrogates one way;
// stray, cut, overlong, surrogate and out-of-range sequences the other).
#include "utf16_convert.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char16_t bad = 0xFFFD;

TEST(Utf16, narrow_encodes_each_length_and_replaces_unpaired_surrogates)
{
    struct Case {
        std::u16string in;
        std::string out;
    };
    const Case cases[] = {
        {u"", ""},
        {u"A~\x7f", "A~\x7f"},
        {u"\u0080\u00e9\u07ff", "\xc2\x80\xc3\xa9\xdf\xbf"},
        {u"\u0800\u20ac\uffff", "\xe0\xa0\x80\xe2\x82\xac\xef\xbf\xbf"},
        {u"\U00010000\U0001F4FA\U0010FFFF", "\xf0\x90\x80\x80\xf0\x9f\x93\xba\xf4\x8f\xbf\xbf"},
        {{0xD83D}, "\xef\xbf\xbd"},                       // high surrogate at the end
        {{0xD83D, u'a'}, "\xef\xbf\xbd" "a"},             // high surrogate before no low one
        {{0xDCFA, u'a'}, "\xef\xbf\xbd" "a"},             // low surrogate alone
        {{0xDC00, 0xD800}, "\xef\xbf\xbd\xef\xbf\xbd"},   // a pair the wrong way round
        {{0xD800, 0xD800, 0xDC00}, "\xef\xbf\xbd\xf0\x90\x80\x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.out));
        EXPECT_EQ(utf16::Narrow(c.in.c_str()), c.out);
    }
    EXPECT_EQ(utf16::Narrow(nullptr), "");
}

TEST(Utf16, widen_decodes_each_length_and_replaces_what_is_not_utf8)
{
    struct Case {
        const char* what;
        std::string in;
        std::u16string out;
    };
    const Case cases[] = {
        {"empty", "", u""},
        {"ASCII", "A~\x7f", u"A~\x7f"},
        {"two bytes", "\xc2\x80\xc3\xa9\xdf\xbf", u"\u0080\u00e9\u07ff"},
        {"three bytes", "\xe0\xa0\x80\xe2\x82\xac\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf",
         u"\u0800\u20ac\ud7ff\ue000\uffff"},
        {"four bytes", "\xf0\x90\x80\x80\xf0\x9f\x93\xba\xf4\x8f\xbf\xbf",
         u"\U00010000\U0001F4FA\U0010FFFF"},
        {"stray continuation bytes", "\x80" "a\xbf", {bad, u'a', bad}},
        {"bytes that start nothing", "\xf8\xfe\xff", {bad, bad, bad}},
        {"a five-byte form, byte by byte", "\xf8\x88\x80\x80\x80", {bad, bad, bad, bad, bad}},
        {"cut at the end", "a\xf0\x9f\x93", {u'a', bad}},
        {"cut by another byte", "\xe2(\xc3\xc3\xa9", {bad, u'(', bad, 0xE9}},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80\xf7\xbf\xbf\xbf", {bad, bad}},
        {"overlong terminator and slash", "\xc0\x80\xc0\xaf\xe0\x80\xaf", {bad, bad, bad}},
        {"overlong at each length", "\xc1\xbf\xe0\x9f\xbf\xf0\x8f\xbf\xbf", {bad, bad, bad}},
        {"surrogates", "\xed\xa0\x80\xed\xbf\xbf", {bad, bad}},
        {"a surrogate pair spelled as two sequences", "\xed\xa0\xbd\xed\xb3\xba", {bad, bad}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(utf16::Widen(c.in), c.out);
    }
}

TEST(Utf16, every_character_goes_there_and_back)
{
    std::u16string all;
    for (char32_t c = 1; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        if (c < 0x10000) {
            all.push_back(static_cast<char16_t>(c));
        } else {
            all.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            all.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        }
    }
    std::string narrow = utf16::Narrow(all.c_str());
    // 127 one-byte, 1920 two-byte, 61440 three-byte and 1048576 four-byte characters.
    EXPECT_EQ(narrow.size(), 127u + 2u * 1920u + 3u * 61440u + 4u * 1048576u);
    EXPECT_TRUE(utf16::Widen(narrow) == all);
}

}  // namespace
