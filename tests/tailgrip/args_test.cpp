// Number conversion of the arguments: the Windows runtime's rules in both builds (in the Windows
// build the runtime itself is asked too), and the decoding of the idle time and the check suffix.
#include "tailgrip_core.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#ifdef _WIN32
#include <stdlib.h>
#include <wchar.h>
#endif

namespace {

struct Conversion {
    const wchar_t* text;
    std::int64_t value;
    std::size_t stop;  // characters consumed; 0 when there were no digits
};

std::string Narrow(const wchar_t* w)
{
    std::string s;
    for (; *w != 0; ++w)
        s.push_back(static_cast<char>(*w));
    return s;
}

// Rows that hold for both conversions.
const Conversion common_rows[] = {
    {L"0", 0, 1},          {L"-0", 0, 2},          {L"-1", -1, 2},        {L"42", 42, 2},
    {L"  +42x", 42, 5},    {L"\t\n\v\f\r7", 7, 6}, {L"00012", 12, 5},     {L"12 34", 12, 2},
    {L"0x10", 0, 1},       {L"10p48199", 10, 2},   {L"10P48199", 10, 2},  {L"", 0, 0},
    {L"abc", 0, 0},        {L"-", 0, 0},           {L" -", 0, 0},         {L"+ 5", 0, 0},
    {L"p48199", 0, 0},     {L" p48199", 0, 0},     {L"--5", 0, 0},        {L"-12-3", -12, 3},
};

const Conversion int64_rows[] = {
    {L"9223372036854775807", INT64_MAX, 19},
    {L"9223372036854775808", INT64_MAX, 19},
    {L"-9223372036854775808", INT64_MIN, 20},
    {L"-9223372036854775809", INT64_MIN, 20},
    {L"123456789012345678901234567890", INT64_MAX, 30},
    {L"4294967296", 4294967296LL, 10},
    {L"-2147483649", -2147483649LL, 11},
};

// long is 32 bits wide on Windows, whatever it is here.
const Conversion long_rows[] = {
    {L"2147483647", INT32_MAX, 10},  {L"2147483648", INT32_MAX, 10},
    {L"-2147483648", INT32_MIN, 11}, {L"-2147483649", INT32_MIN, 11},
    {L"4294967296", INT32_MAX, 10},  {L"99999999999999999999", INT32_MAX, 20},
    {L"429496730", 429496730, 9},
};

// The conversion both builds read their arguments with, and in the Windows build the runtime's
// own, against the row.
void ExpectConversion(const Conversion& row, std::int64_t min, std::int64_t max)
{
    SCOPED_TRACE(Narrow(row.text));
    const wchar_t* end = nullptr;
    EXPECT_EQ(tailgrip::DecimalToSigned(row.text, min, max, &end), row.value);
    EXPECT_EQ(end, row.text + row.stop);
#ifdef _WIN32
    wchar_t* stop = nullptr;
    const std::int64_t runtime = max == INT64_MAX ? _wcstoi64(row.text, &stop, 10)
                                                  : wcstol(row.text, &stop, 10);
    EXPECT_EQ(runtime, row.value);
    EXPECT_EQ(stop, row.text + row.stop);
#endif
}

TEST(Conversion, start_position_follows_wcstoi64)
{
    for (const Conversion& row : common_rows)
        ExpectConversion(row, INT64_MIN, INT64_MAX);
    for (const Conversion& row : int64_rows)
        ExpectConversion(row, INT64_MIN, INT64_MAX);
}

TEST(Conversion, timeout_follows_wcstol_with_32_bit_long)
{
    for (const Conversion& row : common_rows)
        ExpectConversion(row, INT32_MIN, INT32_MAX);
    for (const Conversion& row : long_rows)
        ExpectConversion(row, INT32_MIN, INT32_MAX);
}

TEST(TimeoutArg, suffix_decodes_interval_and_preamble)
{
    struct Row {
        const wchar_t* text;
        std::int32_t timeout, interval;
        int preamble;
    };
    const Row rows[] = {
        {L"10", 10, 0, 0},
        {L"10x", 10, 0, 0},                // any other character leaves the check off
        {L"10P48199", 10, 0, 0},           // so does an upper-case P
        {L"p48199", 0, 188, 71},           // no digits: timeout 0, check on
        {L"10p48199", 10, 188, 71},
        {L"-3p48199", -3, 188, 71},
        {L"0p256", 0, 1, 0},               // the smallest value
        {L"0p16777471", 0, 65536, 255},    // the largest value
        {L"0p 48199", 0, 188, 71},         // the value may have leading blanks
        {L"0p48199x", 0, 188, 71},         // and anything after it
        {L" 5p512", 5, 2, 0},
        {L" p48199", 0, 0, 0},             // the stop is the blank, not the p
        {L"+p48199", 0, 0, 0},
        {L"99999999999p48199", INT32_MAX, 188, 71},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.text));
        tailgrip::TimeoutArg arg;
        ASSERT_TRUE(tailgrip::ParseTimeoutArg(row.text, &arg));
        EXPECT_EQ(arg.close_timeout_sec, row.timeout);
        EXPECT_EQ(arg.interval, row.interval);
        EXPECT_EQ(arg.preamble_byte, row.preamble);
    }
}

TEST(TimeoutArg, suffix_out_of_range_is_refused)
{
    const wchar_t* refused[] = {
        L"0p255", L"0p1",  L"0p0", L"0p-256", L"0p", L"10pp48199",
        L"0p16777472",         // interval 65537
        L"0p99999999999",      // clamped to the 32-bit limit: interval far above 65536
        L"0p-99999999999",
    };
    for (const wchar_t* text : refused) {
        tailgrip::TimeoutArg arg;
        EXPECT_FALSE(tailgrip::ParseTimeoutArg(text, &arg)) << Narrow(text);
    }
}

}  // namespace
