// Byte sizes: suffixes in either case, fractions rounded to the byte,
// negative values, and the inputs that are not sizes (0).

#include <gtest/gtest.h>

#include <cstdint>

#include "quorex_size.h"

namespace {

constexpr int64_t K = 1024, M = K * K, G = M * K, T = G * K, P = T * K, X = P * K;

TEST(ByteSize, Texts)
{
    const struct {
        const char *text;
        int64_t bytes;  // 0: not a size
    } cases[] = {
        {"0", 0}, {"512", 512}, {"100k", 100 * K}, {"100K", 100 * K}, {"16mb", 16 * M}, {"16MB", 16 * M},
        {"16mB", 16 * M}, {"2GB", 2 * G}, {"2g", 2 * G}, {"3t", 3 * T}, {"3tb", 3 * T}, {"5p", 5 * P},
        {"5PB", 5 * P}, {"1x", X}, {"7xb", 7 * X}, {"1.5k", 1536}, {"0.5m", M / 2}, {".5k", 512}, {"2.k", 2 * K},
        // The fraction is rounded to the nearest byte.
        {"1.5", 2}, {"0.0004k", 0}, {"0.0005k", 1}, {"1.0001k", 1024}, {"-5m", -5 * M}, {"-1.5k", -1536},
        {"9223372036854775807", INT64_MAX},
        // Not sizes, or not within a signed 64-bit value.
        {"", 0}, {".", 0}, {"-", 0}, {"k", 0}, {"12q", 0}, {"12kbb", 0}, {"12 k", 0}, {" 12", 0}, {"1.2.3", 0},
        {"+5", 0}, {"12mbx", 0}, {"9223372036854775808", 0}, {"8x", 0}, {"8192p", 0},
        {"99999999999999999999999", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(quorex_ParseByteSize(c.text), c.bytes) << "[" << c.text << "]";
    EXPECT_EQ(quorex_ParseByteSize(nullptr), 0);
}

} // namespace
