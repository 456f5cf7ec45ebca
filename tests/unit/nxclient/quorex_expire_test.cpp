// Expiration rules: the duration syntax and its 2^31-second bound, keys
// that are not numbers, precedence, load failures and 64-bit times.

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "quor_api.h"
#include "quorex_expire.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

TEST(QuorexExpire, Durations)
{
    struct {
        const char *text;
        int rc;
        uint64_t seconds;
    } cases[] = {
        {"30d 12h", 0, 2635200},   {"5days", 0, 432000},         {"1y\t1s", 0, 31536001},
        {"2147483647s", 0, 2147483647}, {"68y", 0, 2144448000}, {"10", -EINVAL, 0},
        {"70y", -EINVAL, 0},       {"2147483648s", -EINVAL, 0}, {"60y 9y", -EINVAL, 0},
        {"d5", -EINVAL, 0},        {"5w", -EINVAL, 0},          {"", -ENODATA, 0},
        {" \t", -ENODATA, 0},      {"99999999999999999999d", -EINVAL, 0},
        {"90m", 0, 5400},          {"2H 1M 1S", 0, 7261},       {"18446744073709551617s", -EINVAL, 0},
    };
    for (const auto &c : cases) {
        uint64_t s = 0;
        EXPECT_EQ(quorex_ExpireParseDuration(c.text, &s), c.rc) << c.text;
        EXPECT_EQ(s, c.seconds) << c.text;
    }
}

TEST(QuorexExpire, RulesAndLookups)
{
    velktest::ScratchDir dir;
    const std::string path = dir / "rules";
    struct Case {
        const char *text;
        int rc;
        uint32_t family, cos;
        uint64_t expected; // 0: no rule fits
        const char *message;
    } cases[] = {
        {"ExpirationByCosId = {\n COS5 = 1d\n 5 = 30d 12h\n}\n", 0, 0, 5, 4294000000ull + 2635200,
         "not \"cosId = expireString\""},
        {"ExpirationByCosId = {\n 5x = 1d\n}\n", 0, 0, 0, 0, "line 2"},
        {"ExpirationByCosId = {\n 5 = 1d\n}\nExpirationByFamilyId = {\n 3 = 1h\n}\n", 0, 3, 5, 4294000000ull + 3600,
         ""},
        {"ExpirePrecedence = {\n COS ID\n Bogus\n}\nExpirationByCosId = {\n 5 = 1d\n}\n"
         "ExpirationByFamilyId = {\n 3 = 1h\n}\n",
         0, 3, 5, 4294000000ull + 86400, "unrecognized precedence entry type [Bogus]"},
        {"ExpirePrecedence = {\n COS ID\n}\nExpirationByCosId = {\n 5 = 1d\n}\nExpirationByFamilyId = {\n 5 = 1h\n}\n", 0,
         3, 5, 4294000000ull + 86400, ""},
        {"ExpirationByCosId = {\n 4294967301 = 1d\n}\n", 0, 0, 5, 0, "not \"cosId = expireString\""},
        {"ExpirationByCosId = {\n 5 = 1d\n}\nExpirationByGroupId = {\n}\n", -1, 0, 5, 0, "empty substanza list"},
        {"ExpirationByCosId = {\n 5 = 1d\n", -1, 0, 5, 0, "error -7004 parsing"},
    };
    for (const Case &c : cases) {
        velktest::writeFile(path, c.text);
        testing::internal::CaptureStderr();
        EXPECT_EQ(quorex_ExpireInitTable(path.c_str()), c.rc) << c.text;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        quor_Attrs_t a{};
        a.FamilyId = c.family;
        a.COSId = c.cos;
        a.TimeCreated = 4294000000u; // a sum of 11 days or more passes 2^32
        uint64_t when = 0;
        EXPECT_EQ(quorex_ExpireLookupTime(&a, &when), c.expected != 0 ? 0 : -ENOENT) << c.text;
        EXPECT_EQ(when, c.expected) << c.text;
    }
    EXPECT_EQ(quorex_ExpireInitTable((dir / "absent").c_str()), -1);
    const expireTime_t *rules = nullptr;
    EXPECT_EQ(quorex_ExpireRules(&rules), 0);
}

// The rules' messages go through the client library's message sink: none
// reaches standard error while a sink is set.
TEST(QuorexExpire, MessagesGoToTheLibrarySink)
{
    velktest::ScratchDir dir;
    const std::string absent = dir / "absent";
    std::string err;
    EXPECT_TRUE(velktest::childExitsWith(0, [&] {
        std::string caught;
        quor_SetMessageSink(
            [](const char *text, size_t len, void *arg) { static_cast<std::string *>(arg)->append(text, len); },
            &caught);
        int rc = quorex_ExpireInitTable(absent.c_str());
        quor_SetMessageSink(nullptr, nullptr);
        const std::string want =
            "*** quorex_ExpireInitTable: Warning- Unable to open configuration file " + absent + "\n";
        return rc == -1 && caught == want ? 0 : 1;
    }, &err));
    EXPECT_EQ(err, "");
}

} // namespace
