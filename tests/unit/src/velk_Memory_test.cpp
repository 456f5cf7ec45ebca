// Allocation wrappers: successful calls stay silent; failed ones give the
// three-line report and status 78 (unless a status is already set) and
// return null without disturbing the caller's block.

#include <cstdint>

#include "velk_unit_fixture.h"

namespace {

TEST(Memory, FailuresReportSizeKindUnitAndLineAndKeepTheBlock)
{
    velkunit::RunGlobals globals;
    char *old = static_cast<char *>(VELK_CALLOC(8, 1));
    void *empty = VELK_MALLOC(0);  // zero bytes still give a block: null means failure
    ASSERT_NE(old, nullptr);
    EXPECT_NE(empty, nullptr);
    memcpy(old, "abcdefg", 8);
    std::string unit = "ERROR:  (file velk_Memory_test.cpp,line ";
    std::string big = "ERROR: velk: malloc failure (" + std::to_string(SIZE_MAX) + " bytes) \n";
    struct Case {
        void *(*call)(char *);
        std::string want;  // before the unit line
        int line;
    } cases[] = {
        {[](char *) { return VELK_MALLOC(SIZE_MAX); }, big, __LINE__},
        {[](char *) { return VELK_CALLOC(SIZE_MAX / 2, 4); }, big + "ERROR: [calloc]\n", __LINE__},  // no wrap
        {[](char *b) { return VELK_REALLOC(b, SIZE_MAX); }, big + "ERROR: [realloc]\n", __LINE__},
    };
    for (const Case &c : cases) {
        velk_exit_code.store(0);
        velktest::StreamCapture cap(STDERR_FILENO);
        EXPECT_EQ(c.call(old), nullptr);
        EXPECT_EQ(cap.text(), c.want + unit + std::to_string(c.line) + ")\n");
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_NOMEM);
    }
    EXPECT_STREQ(old, "abcdefg");
    VELK_FREE(old);
    VELK_FREE(empty);
    velk_exit_code.store(VELK_EXIT_IOERR);  // an earlier error keeps its status
    velktest::OutputCapture cap;
    EXPECT_EQ(VELK_MALLOC(SIZE_MAX), nullptr);
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
}

} // namespace
