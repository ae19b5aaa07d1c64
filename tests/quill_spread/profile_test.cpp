// The settings file of the POSIX build, read and written as the Windows profile functions do
// for the calls the library makes: which lines count, how values are trimmed and unquoted, and
// where a write puts its line. (How numbers are read is tested with DataUnit, in both builds.)
#include "platform.h"
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
    // WritePlugin as read into size units; "<none>" when the key is missing.
    std::u16string Plugin(DWORD size = 64)
    {
        if (!plat::HasWritePlugin(file.c_str()))
            return u"<none>";
        WCHAR value[64] = {u'#', u'#'};
        plat::ReadWritePlugin(file.c_str(), value, size);
        return size == 0 ? std::u16string(value, 2) : std::u16string(value);
    }
    void Put(const char16_t* plugin, const char16_t* unit)
    {
        plat::WriteSettings(file.c_str(), plugin, unit);
    }
    ScratchDir dir{"quill-profile"};
    std::string path = dir.File("p.ini");
    std::u16string file = std::u16string(path.begin(), path.end());
};

TEST_F(ProfileTest, lines_that_hold_a_key_and_lines_that_do_not)
{
    struct Case {
        std::string text;
        std::u16string plugin;
    };
    const Case cases[] = {
        {"WritePlugin=outside\n[SET]\n", u"<none>"},  // before any section
        {"[Old]\nWritePlugin=other\n", u"<none>"},
        {"[SET]\n[Other]\nWritePlugin=other\n", u"<none>"},
        {"[ set ]\r\n  writeplugin = \" quoted, blanks kept \" \r\n", u" quoted, blanks kept "},
        {"[SET]\n; WritePlugin=commented out\nWritePlugin\n", u"<none>"},
        {"[SET]\n[unclosed\n[\nWritePlugin=still in SET\n", u"still in SET"},
        {"[SET]\nWritePlugin='it''s'\n", u"it''s"},
        {"[SET]\nWritePlugin=\"open\n", u"\"open"},
        {"[SET]\nWritePlugin=\n", u""},
        {"[SET]\nWritePlugin=*old\n", u"<none>"},  // as on Windows, "*" tells a missing key
        {"[SET]\nWritePlugin=first\nWritePlugin=second\n[SET]\nWritePlugin=third\n", u"first"},
        {"[SET]\nWritePlugin=no line break", u"no line break"},
        // UTF-8, and bytes that are not UTF-8 (or beyond Unicode) as replacement characters.
        {"[SET]\nWritePlugin=\xc3\xa9\xf0\x9f\x93\xba \xff\xc3(\xe2\x82\xf4\x90\x80\x80\n",
         u"\u00e9\U0001F4FA \uFFFD\uFFFD(\uFFFD\uFFFD"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteFileBytes(path, c.text));
        EXPECT_EQ(Plugin(), c.plugin) << c.text;
    }
    ASSERT_TRUE(WriteFileBytes(path, "[SET]\nDataUnit=\n"));
    EXPECT_EQ(plat::ReadDataUnit(file.c_str(), 42), 42u);

    // Values are cut to the buffer, always terminated; no room at all is left untouched.
    ASSERT_TRUE(WriteFileBytes(path, "[SET]\nWritePlugin=other\n"));
    EXPECT_EQ(Plugin(3), u"ot");
    EXPECT_EQ(Plugin(1), u"");
    EXPECT_EQ(Plugin(0), u"##");
}

TEST_F(ProfileTest, missing_file_gives_the_defaults_and_a_write_creates_it)
{
    EXPECT_EQ(Plugin(), u"<none>");
    EXPECT_EQ(plat::ReadDataUnit(file.c_str(), 0xFFFFFFFDu), 0xFFFFFFFDu);
    Put(u"v", u"1");
    EXPECT_EQ(ReadFileBytes(path), "[SET]\nWritePlugin=v\nDataUnit=1\n");
    // [SET] goes at the end, set off by one blank line.
    ASSERT_TRUE(WriteFileBytes(path, "[Other]\nk=1\n\n"));  // a blank line before it already
    Put(u"v", u"1");
    EXPECT_EQ(ReadFileBytes(path), "[Other]\nk=1\n\n[SET]\nWritePlugin=v\nDataUnit=1\n");
    ASSERT_TRUE(WriteFileBytes(path, "[Other]\nk=1"));
    Put(u"v", u"1");
    EXPECT_EQ(ReadFileBytes(path), "[Other]\nk=1\n\n[SET]\nWritePlugin=v\nDataUnit=1\n");

    // A write that cannot open the file creates nothing; a file that cannot be read gives the
    // defaults.
    std::string nowhere = dir.File("no/such/folder.ini");
    plat::WriteSettings(std::u16string(nowhere.begin(), nowhere.end()).c_str(), u"v", u"1");
    EXPECT_FALSE(test_support::FileExists(nowhere));
    std::u16string folder(dir.path().begin(), dir.path().end());
    EXPECT_EQ(plat::ReadDataUnit(folder.c_str(), 7), 7u);
}

TEST_F(ProfileTest, write_that_stops_partway_goes_as_far_as_the_room)
{
    // A disk that fills up during the write, as the file size limit makes it (its signal
    // ignored, the write fails with EFBIG once the limit is reached): the loop stops there.
    struct sigaction ignore = {}, was = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &was), 0);
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit full = limit;
    limit.rlim_cur = 8;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    Put(u"a value longer than the room left", u"188");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    sigaction(SIGXFSZ, &was, nullptr);
    EXPECT_EQ(ReadFileBytes(path), "[SET]\nWr");
}

TEST_F(ProfileTest, write_replaces_the_line_or_adds_it_at_the_end_of_its_section)
{
    ASSERT_TRUE(WriteFileBytes(path, "; settings\n"
                                     "[set]\n"
                                     "dataunit = 376\n"
                                     "; note\n"
                                     "\n"
                                     "[Other]\n"
                                     "k=1"));
    Put(u";Quill_Basic.dll", u"188");
    EXPECT_EQ(ReadFileBytes(path), "; settings\n"
                                   "[set]\n"
                                   "DataUnit=188\n"
                                   "; note\n"
                                   "WritePlugin=;Quill_Basic.dll\n"
                                   "\n"
                                   "[Other]\n"
                                   "k=1\n");
}

}  // namespace
