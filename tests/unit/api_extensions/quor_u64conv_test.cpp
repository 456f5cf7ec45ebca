// 64-bit number-to-text conversions: digit grouping, the reentrant
// variants, and the strict decimal reader with its two error codes.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "quor_u64conv.h"

namespace {

TEST(U64ToText, PlainDigits)
{
    EXPECT_STREQ(u64tostr(0), "0");
    EXPECT_STREQ(u64tostr(7), "7");
    EXPECT_STREQ(u64tostr(1234567), "1234567");
    EXPECT_STREQ(u64tostr(UINT64_MAX), "18446744073709551615");
    char buf[U64CONV_BUFLEN];
    EXPECT_EQ(u64tostr_r(4096, buf), buf);
    EXPECT_STREQ(buf, "4096");
    EXPECT_EQ(u64_to_decchar(100, buf), buf);
    EXPECT_STREQ(buf, "100");
    EXPECT_STREQ(u64_to_decchar(0, buf), "0");
    EXPECT_STREQ(u64_to_decchar(UINT64_MAX, buf), "18446744073709551615");
}

TEST(U64ToText, CommaBeforeEveryGroupOfThree)
{
    struct Case {
        uint64_t v;
        const char *text;
    } cases[] = {
        {0, "0"},
        {100, "100"},
        {999, "999"},
        {1000, "1,000"},
        {12345, "12,345"},
        {123456, "123,456"},
        {1234567, "1,234,567"},
        {1000000000, "1,000,000,000"},
        {UINT64_MAX, "18,446,744,073,709,551,615"},
    };
    char buf[U64CONV_BUFLEN];
    for (const auto &c : cases) {
        EXPECT_STREQ(u64tostrwc(c.v), c.text) << c.v;
        EXPECT_STREQ(u64tostrwc_r(c.v, buf), c.text) << c.v;
    }
}

TEST(U64ToText, StaticResultIsReusedByTheNextCall)
{
    const char *first = u64tostrwc(1000);
    const char *second = u64tostrwc(2000);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "2,000");
}

TEST(U64ToText, ThreadsDoNotShareTheStaticResult)
{
    // Each thread converts its own value many times and checks it is never
    // overwritten by another thread's conversion.
    int bad[2] = {0, 0};
    auto worker = [&bad](int t, uint64_t v, const char *want) {
        for (int i = 0; i < 2000; i++) {
            const char *s = u64tostrwc(v);
            if (strcmp(s, want) != 0)
                bad[t]++;
        }
    };
    std::thread a(worker, 0, 1234567, "1,234,567");
    std::thread b(worker, 1, 9876543210, "9,876,543,210");
    a.join();
    b.join();
    EXPECT_EQ(bad[0], 0);
    EXPECT_EQ(bad[1], 0);
}

TEST(U64ToDouble, HighAndLowHalves)
{
    EXPECT_DOUBLE_EQ(u64todouble(0), 0.0);
    EXPECT_DOUBLE_EQ(u64todouble(12345), 12345.0);
    EXPECT_DOUBLE_EQ(u64todouble(uint64_t{3} << 32), 3.0 * 4294967296.0);
    EXPECT_DOUBLE_EQ(u64todouble((uint64_t{1} << 32) + 5), 4294967301.0);
}

TEST(DecCharToU64, ReadsDigits)
{
    uint64_t v = 99;
    EXPECT_EQ(decchar_to_u64("0", &v, 0), 0);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(decchar_to_u64("1234567", &v, 0), 0);
    EXPECT_EQ(v, 1234567u);
    EXPECT_EQ(decchar_to_u64("18446744073709551615", &v, 0), 0);
    EXPECT_EQ(v, UINT64_MAX);
    // Leading zeros within the 20 characters are fine.
    EXPECT_EQ(decchar_to_u64("00000000000000000042", &v, 0), 0);
    EXPECT_EQ(v, 42u);
}

TEST(DecCharToU64, BlanksBeforeDigitsOnly)
{
    uint64_t v = 0;
    EXPECT_EQ(decchar_to_u64("   42", &v, 0), 0);
    EXPECT_EQ(v, 42u);
    v = 7;
    EXPECT_EQ(decchar_to_u64("4 2", &v, 0), EINVAL);
    EXPECT_EQ(decchar_to_u64("42 ", &v, 0), EINVAL);
    EXPECT_EQ(decchar_to_u64("-1", &v, 0), EINVAL);
    EXPECT_EQ(decchar_to_u64("+1", &v, 0), EINVAL);
    EXPECT_EQ(decchar_to_u64("12a", &v, 0), EINVAL);
    EXPECT_EQ(decchar_to_u64("\t1", &v, 0), EINVAL);
    // A failed read leaves the value alone.
    EXPECT_EQ(v, 7u);
}

TEST(DecCharToU64, LengthLimitsTheScan)
{
    uint64_t v = 0;
    EXPECT_EQ(decchar_to_u64("12345xyz", &v, 5), 0);
    EXPECT_EQ(v, 12345u);
    EXPECT_EQ(decchar_to_u64("123 ", &v, 3), 0);
    EXPECT_EQ(v, 123u);
    // A length beyond the string stops at its end.
    EXPECT_EQ(decchar_to_u64("77", &v, 10), 0);
    EXPECT_EQ(v, 77u);
}

TEST(DecCharToU64, TooLongOrTooLargeIsErange)
{
    uint64_t v = 5;
    EXPECT_EQ(decchar_to_u64("123456789012345678901", &v, 0), ERANGE);  // 21 digits
    EXPECT_EQ(decchar_to_u64("18446744073709551616", &v, 0), ERANGE);   // UINT64_MAX + 1
    EXPECT_EQ(decchar_to_u64("99999999999999999999", &v, 0), ERANGE);
    // Length counts characters, blanks included.
    EXPECT_EQ(decchar_to_u64("                    1", &v, 0), ERANGE);
    // Only the first length characters count, so a long text can be read.
    EXPECT_EQ(decchar_to_u64("123456789012345678901", &v, 20), 0);
    EXPECT_EQ(v, 12345678901234567890u);
}

} // namespace
