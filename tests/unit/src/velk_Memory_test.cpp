// Allocation wrappers: successful calls stay silent; failed ones give the
// three-line report and status 78 (unless a status is already set) and
// return null without disturbing the caller's block.

#include <cstdint>
#include <string>

#include "velk_unit_fixture.h"

namespace {

TEST(Memory, SuccessfulCallsAreSilentAndUsable)
{
    velkunit::RunGlobals globals;
    velktest::StreamCapture cap(STDERR_FILENO);
    char *p = static_cast<char *>(VELK_MALLOC(16));
    ASSERT_NE(p, nullptr);
    memset(p, 'x', 16);
    unsigned char *z = static_cast<unsigned char *>(VELK_CALLOC(8, 4));
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(z), 32), std::string(32, '\0'));
    p = static_cast<char *>(VELK_REALLOC(p, 4096));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[15], 'x');
    char *s = VELK_STRDUP("member/name");
    EXPECT_STREQ(s, "member/name");
    // Zero-byte requests still give a block, so null keeps meaning failure.
    void *empty = VELK_MALLOC(0), *emptyc = VELK_CALLOC(0, 10);
    EXPECT_NE(empty, nullptr);
    EXPECT_NE(emptyc, nullptr);
    for (void *b : {empty, emptyc, static_cast<void *>(s), static_cast<void *>(z), static_cast<void *>(p)})
        VELK_FREE(b);
    VELK_FREE(nullptr);
    EXPECT_EQ(VELK_STRDUP(nullptr), nullptr);
    EXPECT_EQ(cap.text(), "");
    EXPECT_EQ(velk_exit_code.load(), 0);
}

TEST(Memory, FailuresReportSizeKindUnitAndLine)
{
    velkunit::RunGlobals globals;
    char *old = static_cast<char *>(VELK_MALLOC(8));
    memcpy(old, "abcdefg", 8);
    std::string unit = "ERROR:  (file velk_Memory_test.cpp,line ";
    std::string big = "ERROR: velk: malloc failure (" + std::to_string(SIZE_MAX) + " bytes) \n";
    struct Case {
        void *(*call)(char *);
        std::string want;  // before the unit line
        int line;
    } cases[] = {
        {[](char *) { return VELK_MALLOC(SIZE_MAX); }, big, __LINE__},
        // count * size does not fit: a failure rather than a small block.
        {[](char *) { return VELK_CALLOC(SIZE_MAX / 2, 4); }, big + "ERROR: [calloc]\n", __LINE__},
        {[](char *b) { return VELK_REALLOC(b, SIZE_MAX); }, big + "ERROR: [realloc]\n", __LINE__},
    };
    for (const Case &c : cases) {
        velk_exit_code.store(0);
        velktest::StreamCapture cap(STDERR_FILENO);
        EXPECT_EQ(c.call(old), nullptr);
        EXPECT_EQ(cap.text(), c.want + unit + std::to_string(c.line) + ")\n");
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_NOMEM);
    }
    EXPECT_STREQ(old, "abcdefg");  // a failed realloc keeps the old block
    VELK_FREE(old);

    // An earlier error keeps its status.
    velk_exit_code.store(VELK_EXIT_IOERR);
    velktest::StreamCapture cap(STDERR_FILENO);
    velk_MallocError(12, "strdup", "/some/dir/velk_Unit.cpp", 99);
    EXPECT_EQ(cap.text(), "ERROR: velk: malloc failure (12 bytes) \nERROR: [strdup]\nERROR:  (file velk_Unit.cpp,line 99)\n");
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
}

} // namespace
