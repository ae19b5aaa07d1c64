// The open-file query: the eight extension bytes and their check, the match suffix, the
// case-insensitive suffix match over the open paths, and a list the system refuses.
#include "fake_platform.h"
#include "proxy_core.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using namespace proxy;
using proxy_test::FakeSystem;
using proxy_test::FreshFake;
using proxy_test::UString;

namespace {

// Packs up to eight bytes into the two words as a sender does: character 1 in the lowest byte
// of wParam, character 5 in the lowest byte of lParam.
struct Packed {
    WParam w;
    LParam l;
};

Packed Pack(const unsigned char (&bytes)[8])
{
    std::uint64_t w = 0, l = 0;
    for (int k = 0; k < 4; ++k) {
        w |= std::uint64_t(bytes[k]) << (8 * k);
        l |= std::uint64_t(bytes[k + 4]) << (8 * k);
    }
    return {static_cast<WParam>(w), static_cast<LParam>(l)};
}

Packed PackText(const char* ext)
{
    unsigned char bytes[8] = {};
    for (int k = 0; k < 8 && ext[k] != 0; ++k)
        bytes[k] = static_cast<unsigned char>(ext[k]);
    return Pack(bytes);
}

UString U(const char* s)
{
    UString u;
    for (; *s != 0; ++s)
        u += static_cast<Unit>(static_cast<unsigned char>(*s));
    return u;
}

class OpenFileQueryTest : public ::testing::Test {
protected:
    void Open(std::initializer_list<const char*> paths)
    {
        sys.open_files.clear();
        for (const char* p : paths)
            sys.open_files.push_back(U(p));
    }
    LResult Query(Packed p)
    {
        LResult result = 0;
        EXPECT_TRUE(HandleProxyMessage(state, msg_open_file_query, p.w, p.l, &result));
        return result;
    }
    LResult Query(const char* ext) { return Query(PackText(ext)); }

    ProxyState state;
    FakeSystem& sys = FreshFake();
};

bool IsExtensionByte(unsigned v)
{
    return v == 0 || (v >= '0' && v <= '9') || (v >= 'A' && v <= 'Z') || (v >= 'a' && v <= 'z');
}

TEST_F(OpenFileQueryTest, every_byte_value_at_every_position)
{
    for (int position = 0; position < 8; ++position) {
        for (unsigned v = 0; v < 256; ++v) {
            unsigned char bytes[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
            bytes[position] = static_cast<unsigned char>(v);
            const bool valid = IsExtensionByte(v) && !(position == 0 && v == 0);

            // The one open file carries the expected suffix in upper case, so a valid query
            // finds it only if the suffix was built from exactly these bytes.
            std::string name = "D:\\share\\recording.";
            for (int k = 0; k < 8 && bytes[k] != 0; ++k)
                name += static_cast<char>(bytes[k] >= 'a' && bytes[k] <= 'z' ? bytes[k] - 32
                                                                              : bytes[k]);
            Open({name.c_str()});

            const int before = sys.searches;
            LResult r = Query(Pack(bytes));
            EXPECT_EQ(r, valid ? 1 : -1) << "byte " << v << " at " << position;
            EXPECT_EQ(sys.searches - before, valid ? 1 : 0)
                << "byte " << v << " at " << position;
        }
    }
}

TEST_F(OpenFileQueryTest, bytes_behind_the_end_are_checked_but_not_matched)
{
    // t, x, 0, A: the suffix is ".tx"; the A is valid and takes no part.
    const unsigned char tx_a[8] = {'t', 'x', 0, 'A', 0, 0, 0, 0};
    Open({"C:\\a.txA", "C:\\b.TX"});
    EXPECT_EQ(Query(Pack(tx_a)), 1);
    Open({"C:\\a.txA"});
    EXPECT_EQ(Query(Pack(tx_a)), -1);

    // t, x, 0, 0, then a dot as character 5: invalid, refused before any enumeration.
    const unsigned char tx_dot[8] = {'t', 'x', 0, 0, '.', 0, 0, 0};
    Open({"C:\\b.tx"});
    EXPECT_EQ(Query(Pack(tx_dot)), -1);
    const unsigned char late_space[8] = {'t', 'x', 't', 0, 0, 0, 0, ' '};
    EXPECT_EQ(Query(Pack(late_space)), -1);
    EXPECT_EQ(sys.searches, 2);
}

TEST_F(OpenFileQueryTest, suffix_match_needs_the_dot_and_ignores_case)
{
    struct Case {
        const char* path;
        bool matches;
    };
    const Case cases[] = {
        {"\\\\server\\share\\news.TXT", true},
        {"C:\\rec\\news.Txt", true},
        {".txt", true},
        {"C:\\rec\\news.txt.part", false},
        {"C:\\rec\\atxt", false},
        {"txt", false},
        {"", false},
        {"C:\\rec\\news.tx", false},
        {"C:\\rec\\news. txt", false},
    };
    for (const Case& c : cases) {
        Open({c.path});
        EXPECT_EQ(Query("txt"), c.matches ? 1 : -1) << c.path;
    }
}

TEST_F(OpenFileQueryTest, case_folds_only_ascii_letters)
{
    // Unit 0x212A (a Kelvin sign) lower-cases to 'k' in Unicode, but does not here.
    UString kelvin = U("C:\\rec\\a.");
    kelvin += static_cast<Unit>(0x212A);
    sys.open_files = {kelvin};
    EXPECT_EQ(Query("k"), -1);
    Open({"C:\\rec\\a.K"});
    EXPECT_EQ(Query("k"), 1);
}

TEST_F(OpenFileQueryTest, nothing_open_or_list_refused_answers_minus_one)
{
    Open({"C:\\a.doc", "C:\\b.docx"});
    EXPECT_EQ(Query("txt"), -1);
    Open({});
    EXPECT_EQ(Query("txt"), -1);
    // A list the system refused is no list, however a path of it would have matched.
    Open({"C:\\a.txt"});
    sys.search_fails = true;
    EXPECT_EQ(Query("txt"), -1);
    EXPECT_EQ(sys.searches, 3);
}

TEST_F(OpenFileQueryTest, query_is_served_while_set_time_is_busy)
{
    state.set_time_busy = true;
    Open({"C:\\a.txt"});
    EXPECT_EQ(Query("txt"), 1);
    EXPECT_TRUE(state.set_time_busy);
}

}  // namespace
