// Allocation wrappers: successful calls stay silent, failed ones give the
// three-line report and status 78 (unless a status is already set) and
// return null without disturbing the caller's block.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "velk_Globals.h"
#include "velk_Memory.h"
#include "velk_testproc.h"

namespace {

class MemoryTest : public ::testing::Test {
protected:
    void SetUp() override { velk_exit_code.store(0); }
    void TearDown() override { velk_exit_code.store(0); }
};

// A request no allocator can meet (larger than any object may be).
constexpr size_t IMPOSSIBLE = SIZE_MAX;

TEST_F(MemoryTest, SuccessfulCallsAreSilentAndUsable)
{
    velktest::StreamCapture cap(STDERR_FILENO);
    char *p = static_cast<char *>(VELK_MALLOC(16));
    ASSERT_NE(p, nullptr);
    memset(p, 'x', 16);
    unsigned char *z = static_cast<unsigned char *>(VELK_CALLOC(8, 4));
    ASSERT_NE(z, nullptr);
    for (int i = 0; i < 32; i++)
        EXPECT_EQ(z[i], 0) << "byte " << i;
    p = static_cast<char *>(VELK_REALLOC(p, 4096));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[15], 'x');
    char *s = VELK_STRDUP("member/name");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "member/name");
    // Zero-byte requests still give a block, so null keeps meaning failure.
    void *empty = VELK_MALLOC(0);
    EXPECT_NE(empty, nullptr);
    void *emptyc = VELK_CALLOC(0, 10);
    EXPECT_NE(emptyc, nullptr);
    VELK_FREE(empty);
    VELK_FREE(emptyc);
    VELK_FREE(s);
    VELK_FREE(z);
    VELK_FREE(p);
    VELK_FREE(nullptr);
    EXPECT_EQ(VELK_STRDUP(nullptr), nullptr);
    EXPECT_EQ(cap.text(), "");
    EXPECT_EQ(velk_exit_code.load(), 0);
}

// velk_LogMsg puts "ERROR: " before every message and ends it with a
// newline, so the three parts of the report come out as three lines:
//   ERROR: velk: malloc failure (<size> bytes) 
//   ERROR: [<kind>]                          (not for malloc)
//   ERROR:  (file <unit>,line <line>)
TEST_F(MemoryTest, MallocFailureReportsSizeUnitAndLine)
{
    velktest::StreamCapture cap(STDERR_FILENO);
    int line = __LINE__ + 1;
    void *p = VELK_MALLOC(IMPOSSIBLE);
    EXPECT_EQ(p, nullptr);
    std::string expected = "ERROR: velk: malloc failure (" + std::to_string(IMPOSSIBLE) + " bytes) \n" +
                           "ERROR:  (file velk_Memory_test.cpp,line " + std::to_string(line) + ")\n";
    EXPECT_EQ(cap.text(), expected);
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_NOMEM);
}

TEST_F(MemoryTest, CallocOverflowIsAFailureWithTheSaturatedSize)
{
    velktest::StreamCapture cap(STDERR_FILENO);
    // count * size does not fit in size_t: must fail rather than wrap to a
    // small block.
    int line = __LINE__ + 1;
    void *p = VELK_CALLOC(SIZE_MAX / 2, 4);
    EXPECT_EQ(p, nullptr);
    std::string expected = "ERROR: velk: malloc failure (" + std::to_string(SIZE_MAX) + " bytes) \n" +
                           "ERROR: [calloc]\n" + "ERROR:  (file velk_Memory_test.cpp,line " +
                           std::to_string(line) + ")\n";
    EXPECT_EQ(cap.text(), expected);
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_NOMEM);
}

TEST_F(MemoryTest, ReallocFailureKeepsTheOldBlock)
{
    char *p = static_cast<char *>(VELK_MALLOC(8));
    ASSERT_NE(p, nullptr);
    memcpy(p, "abcdefg", 8);
    velktest::StreamCapture cap(STDERR_FILENO);
    void *q = VELK_REALLOC(p, IMPOSSIBLE);
    EXPECT_EQ(q, nullptr);
    std::string err = cap.text();
    EXPECT_NE(err.find("ERROR: [realloc]\n"), std::string::npos) << err;
    EXPECT_STREQ(p, "abcdefg");
    VELK_FREE(p);
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_NOMEM);
}

TEST_F(MemoryTest, ReportKindsAndFirstStatusWins)
{
    velk_exit_code.store(VELK_EXIT_IOERR);
    velktest::StreamCapture cap(STDERR_FILENO);
    velk_MallocError(12, "strdup", "/some/dir/velk_Unit.cpp", 99);
    EXPECT_EQ(cap.text(), "ERROR: velk: malloc failure (12 bytes) \n"
                          "ERROR: [strdup]\n"
                          "ERROR:  (file velk_Unit.cpp,line 99)\n");
    // An earlier error keeps its status.
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
}

} // namespace
