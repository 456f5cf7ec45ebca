// The site helpers' message sink: each helper's message reaches a sink a
// caller sets, byte for byte, and standard error again once it is cleared.
// The sink is process-wide, so the cases run in a forked child.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>

#include "quorcfgx_netopt.h"
#include "quorcfgx_restrict.h"
#include "quorex_msg.h"
#include "velk_testproc.h"

namespace {

void collect(const char *text, size_t len, void *arg)
{
    if (text[len] == '\0')
        static_cast<std::string *>(arg)->append(text, len);
}

TEST(QuorexMsg, EachHelperMessageReachesTheSinkThenStderrAgain)
{
    const std::string longText(3000, 'y');
    struct {
        std::function<void()> say;
        std::string text;
    } cases[] = {
        {[] {
             netopt_entry_t *table = nullptr;
             (void)quorcfgx_NetoptBuildTable(nullptr, QUORCFGX_DEFAULT_WRITE_SIZE, &table);
         },
         "Warning: \"Network Options\" section not found in QUOR.conf file\n"},
        {[] {
             quor_cfg_stanza_t empty{};
             empty.KeyString = const_cast<char *>("Restricted Addresses");
             empty.type = CFG_FLAG_TYPE;
             quor_restricted_addr_t *table = nullptr;
             (void)quorcfgx_RestrictBuildTable(&empty, "me", "tag", &table);
         },
         "(tag) WARNING: QUOR.conf error. \"Restricted Addresses\" section is not a compound-type stanza - refusing "
         "every data connection\n"},
        {[] { quorex_PrintErrno("getdomainname", ENOENT); }, "getdomainname: No such file or directory\n"},
        // A text longer than the formatting buffer arrives whole.
        {[&] { quorex_Print("%s|%d\n", longText.c_str(), 7); }, longText + "|7\n"},
    };
    std::string err;
    EXPECT_TRUE(velktest::childExitsWith(0, [&] {
        int failed = 0;
        for (const auto &c : cases) {
            std::string caught;
            quorex_SetMessageSink(collect, &caught);
            c.say();
            failed += caught == c.text ? 0 : 1;
        }
        quorex_SetMessageSink(nullptr, nullptr);
        cases[0].say();
        return failed;
    }, &err));
    EXPECT_EQ(err, cases[0].text);
}

} // namespace
