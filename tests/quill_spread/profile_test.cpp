// The profile files of the POSIX build, read and written as the Windows profile functions do
// for the calls the library makes: which lines count, how values are trimmed and unquoted, and
// where a write puts its line. (How numbers are read is tested with DataUnit, in both builds.)
#include "platform_posix.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <string>

using test_support::ReadFileBytes;
using test_support::ScratchDir;
using test_support::WriteFileBytes;

namespace {

class ProfileTest : public ::testing::Test {
protected:
    std::u16string Get(const char16_t* section, const char16_t* key, DWORD size = 64,
                       const char16_t* fallback = u"<none>")
    {
        WCHAR value[64];
        DWORD n = plat_posix::ProfileString(section, key, fallback, value, size, file.c_str());
        return std::u16string(value, n);
    }
    BOOL Put(const char16_t* section, const char16_t* key, const char16_t* value)
    {
        return plat_posix::WriteProfileString(section, key, value, file.c_str());
    }
    ScratchDir dir{"quill-profile"};
    std::string path = dir.File("p.ini");
    std::u16string file = std::u16string(path.begin(), path.end());
};

TEST_F(ProfileTest, lines_that_hold_a_key_and_lines_that_do_not)
{
    ASSERT_TRUE(WriteFileBytes(path, "outside=1\n"
                                     "[Other]\n"
                                     "k=other\n"
                                     "[ set ]\r\n"
                                     "; k=commented out\n"
                                     "no equals sign\n"
                                     "[unclosed\n"
                                     "[\n"
                                     "  K = \" quoted, blanks kept \" \r\n"
                                     "single='it''s'\n"
                                     "half=\"open\n"
                                     "empty=\n"
                                     "key_2=two\n"
                                     "text=\xc3\xa9\xf0\x9f\x93\xba \xff\xc3(\xe2\x82\xf4\x90\x80\x80\n"
                                     "last=no line break"));
    EXPECT_EQ(Get(u"SET", u"outside"), u"<none>");  // before any section
    EXPECT_EQ(Get(u"other", u"K"), u"other");
    EXPECT_EQ(Get(u"SET", u"k"), u" quoted, blanks kept ");
    EXPECT_EQ(Get(u"SET", u"single"), u"it''s");
    EXPECT_EQ(Get(u"SET", u"half"), u"\"open");
    EXPECT_EQ(Get(u"SET", u"empty"), u"");
    EXPECT_EQ(plat_posix::ProfileInt(u"SET", u"empty", 42, file.c_str()), 42u);
    EXPECT_EQ(Get(u"SET", u"KEY_2"), u"two");
    // UTF-8, and bytes that are not UTF-8 (or beyond Unicode) as replacement characters.
    EXPECT_EQ(Get(u"SET", u"text"), u"\u00e9\U0001F4FA \uFFFD\uFFFD(\uFFFD\uFFFD");
    EXPECT_EQ(Get(u"SET", u"last"), u"no line break");
    EXPECT_EQ(Get(u"SET", u"no equals sign"), u"<none>");
    EXPECT_EQ(Get(u"unclosed", u"half"), u"<none>");

    // Values and defaults are cut to the buffer, always terminated.
    EXPECT_EQ(Get(u"other", u"k", 3), u"ot");
    EXPECT_EQ(Get(u"other", u"missing", 3), u"<n");
    EXPECT_EQ(Get(u"other", u"missing", 64, nullptr), u"");
    EXPECT_EQ(Get(u"other", u"k", 0), u"");
    EXPECT_EQ(Get(u"other", u"k", 1), u"");
}

TEST_F(ProfileTest, missing_file_gives_the_defaults_and_a_write_creates_it)
{
    EXPECT_EQ(Get(u"SET", u"k"), u"<none>");
    EXPECT_EQ(plat_posix::ProfileInt(u"SET", u"k", -3, file.c_str()), 0xFFFFFFFDu);
    ASSERT_TRUE(Put(u"SET", u"k", u"v"));
    EXPECT_EQ(ReadFileBytes(path), "[SET]\nk=v\n");
    ASSERT_TRUE(WriteFileBytes(path, "[SET]\nk=v\n\n"));
    ASSERT_TRUE(Put(u"New", u"a", u"b"));  // a blank line before it already
    EXPECT_EQ(ReadFileBytes(path), "[SET]\nk=v\n\n[New]\na=b\n");

    // A write that cannot open the file fails; a file that cannot be read gives the defaults.
    std::string nowhere = dir.File("no/such/folder.ini");
    EXPECT_FALSE(plat_posix::WriteProfileString(
        u"SET", u"k", u"v", std::u16string(nowhere.begin(), nowhere.end()).c_str()));
    std::u16string folder(dir.path().begin(), dir.path().end());
    WCHAR value[8];
    EXPECT_EQ(plat_posix::ProfileString(u"SET", u"k", u"none", value, 8, folder.c_str()), 4u);
}

TEST_F(ProfileTest, write_that_stops_partway_fails)
{
    // A disk that fills up during the write, as the file size limit makes it (its signal
    // ignored, the write fails with EFBIG once the limit is reached).
    struct sigaction ignore = {}, was = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &was), 0);
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit full = limit;
    limit.rlim_cur = 8;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    BOOL ok = Put(u"SET", u"WritePlugin", u"a value longer than the room left");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    sigaction(SIGXFSZ, &was, nullptr);
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadFileBytes(path), "[SET]\nWr");  // as far as the room went
}

TEST_F(ProfileTest, write_replaces_the_line_or_adds_it_at_the_end_of_its_section)
{
    ASSERT_TRUE(WriteFileBytes(path, "; settings\n"
                                     "[SET]\n"
                                     "DataUnit = 376\n"
                                     "; note\n"
                                     "\n"
                                     "[Other]\n"
                                     "k=1"));
    ASSERT_TRUE(Put(u"set", u"dataunit", u"188"));
    ASSERT_TRUE(Put(u"SET", u"WritePlugin", u";Quill_Basic.dll"));
    EXPECT_EQ(ReadFileBytes(path), "; settings\n"
                                   "[SET]\n"
                                   "dataunit=188\n"
                                   "; note\n"
                                   "WritePlugin=;Quill_Basic.dll\n"
                                   "\n"
                                   "[Other]\n"
                                   "k=1\n");
    // A new section goes at the end, set off by one blank line.
    ASSERT_TRUE(Put(u"New", u"a", u"b"));
    ASSERT_TRUE(Put(u"Newer", u"c", u"d"));
    std::string text = ReadFileBytes(path);
    EXPECT_EQ(text.substr(text.find("[Other]")), "[Other]\nk=1\n\n[New]\na=b\n\n[Newer]\nc=d\n");
    EXPECT_EQ(Get(u"other", u"k"), u"1");
}

}  // namespace
