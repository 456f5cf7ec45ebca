// Byte sizes: suffixes in either case, fractions rounded to the byte,
// negative values, and the inputs that are not sizes (0).

#include <gtest/gtest.h>

#include <cstdint>

#include <ostream>

#include "quorex_size.h"

namespace {

struct SizeCase {
    const char *text;
    int64_t bytes;
};

// Names the case in test output by its text, so test names stay stable.
void PrintTo(const SizeCase &c, std::ostream *os)
{
    *os << '"' << c.text << '"';
}

class ByteSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ByteSize, Parses)
{
    EXPECT_EQ(quorex_ParseByteSize(GetParam().text), GetParam().bytes) << "[" << GetParam().text << "]";
}

constexpr int64_t K = 1024, M = K * K, G = M * K, T = G * K, P = T * K, X = P * K;

INSTANTIATE_TEST_SUITE_P(Valid, ByteSize,
                         ::testing::Values(SizeCase{"0", 0}, SizeCase{"512", 512}, SizeCase{"100k", 100 * K},
                                           SizeCase{"100K", 100 * K}, SizeCase{"16mb", 16 * M},
                                           SizeCase{"16MB", 16 * M}, SizeCase{"16mB", 16 * M},
                                           SizeCase{"2GB", 2 * G}, SizeCase{"2g", 2 * G}, SizeCase{"3t", 3 * T},
                                           SizeCase{"3tb", 3 * T}, SizeCase{"5p", 5 * P}, SizeCase{"5PB", 5 * P},
                                           SizeCase{"1x", X}, SizeCase{"7xb", 7 * X}, SizeCase{"1.5k", 1536},
                                           SizeCase{"0.5m", M / 2}, SizeCase{".5k", 512}, SizeCase{"2.k", 2 * K},
                                           // The fraction is rounded to the nearest byte.
                                           SizeCase{"1.5", 2}, SizeCase{"0.0004k", 0}, SizeCase{"0.0005k", 1},
                                           SizeCase{"1.0001k", 1024}, SizeCase{"-5m", -5 * M},
                                           SizeCase{"-1.5k", -1536},
                                           SizeCase{"9223372036854775807", INT64_MAX}));

INSTANTIATE_TEST_SUITE_P(NotASize, ByteSize,
                         ::testing::Values(SizeCase{"", 0}, SizeCase{".", 0}, SizeCase{"-", 0},
                                           SizeCase{"k", 0}, SizeCase{"12q", 0}, SizeCase{"12kbb", 0},
                                           SizeCase{"12 k", 0}, SizeCase{" 12", 0}, SizeCase{"1.2.3", 0},
                                           SizeCase{"+5", 0}, SizeCase{"12mbx", 0},
                                           // Does not fit in a signed 64-bit value.
                                           SizeCase{"9223372036854775808", 0}, SizeCase{"8x", 0},
                                           SizeCase{"8192p", 0}, SizeCase{"99999999999999999999999", 0}));

TEST(ByteSizeNull, NullIsNotASize)
{
    EXPECT_EQ(quorex_ParseByteSize(nullptr), 0);
}

} // namespace
