// The site configuration: the search path and the one parse, overlong
// lines skipped whole, host-name patterns, network options tables, port
// ranges and restricted addresses.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "quorcfgx_conf.h"
#include "quorcfgx_netopt.h"
#include "quorcfgx_nic.h"
#include "quorcfgx_restrict.h"
#include "velk_testsupport.h"

namespace {

using velktest::writeFile;

struct Tree {
    quor_cfg_stanza_t *list = nullptr;
    explicit Tree(const std::string &text)
    {
        int error = 0;
        unsigned line = 0;
        EXPECT_EQ(quorcfgx_CfgParseText(text.data(), text.size(), &list, &error, &line), 0) << text;
    }
    ~Tree() { quorcfgx_CfgFree(list); }
};

quor_sockaddr_t addr(const char *text)
{
    quor_sockaddr_t a{};
    EXPECT_EQ(quorcfgx_ParseAddress(text, &a), 0) << text;
    return a;
}

TEST(QuorcfgxConf, SecondDirectoryOfThePathAndOverlongLinesSkippedWhole)
{
    velktest::ScratchDir dir;
    const std::string a = dir / "a", b = dir / "b";
    ASSERT_EQ(system(("mkdir -p " + a + " " + b).c_str()), 0);
    // The overlong line ends in text that would parse as a stanza if the
    // line were split.
    writeFile(b + "/QUOR.conf", "First = 1\nLong = " + std::string(520, 'x') + " Split = 2\nLast = 3\n");
    setenv("QUOR_CFG_FILE_PATH", (" " + a + " : " + b).c_str(), 1);
    quorcfgx_ConfForget();
    char path[QUORCFGX_PATH_MAX + 1];
    testing::internal::CaptureStderr();
    quor_cfg_stanza_t *tree = quorcfgx_ConfParse(path);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string(path), b + "/QUOR.conf");
    EXPECT_NE(err.find("line 2 of " + b + "/QUOR.conf is longer than 511 characters"), std::string::npos) << err;
    std::string keys;
    for (quor_cfg_stanza_t *s = tree; s != nullptr; s = s->next)
        keys += std::string(s->KeyString) + "@" + std::to_string(s->LineNum) + " ";
    EXPECT_EQ(keys, "First@1 Last@3 ");
    // Parsed once: a changed file is not read again.
    writeFile(b + "/QUOR.conf", "Other = 1\n");
    EXPECT_EQ(quorcfgx_ConfParse(nullptr), tree);
    quorcfgx_ConfForget();
    unsetenv("QUOR_CFG_FILE_PATH");
}

TEST(QuorcfgxConf, HostNamePatterns)
{
    Tree t("alpha = 1\nweb* db1 = 2\nhost\\ x = 3\n");
    struct {
        const char *host;
        const char *key; // null: no match
    } cases[] = {{"web7", "web* db1"}, {"db1", "web* db1"}, {"db2", nullptr}, {"alpha", "alpha"},
                 {"host x", "host\\ x"}};
    for (const auto &c : cases) {
        const quor_cfg_stanza_t *s = quorcfgx_LookupHostName(t.list, c.host, 0);
        EXPECT_EQ(s == nullptr ? std::string("-") : std::string(s->KeyString), c.key ? c.key : "-") << c.host;
    }
}

TEST(QuorcfgxNetopt, TablesFromTheSection)
{
    struct Case {
        const char *text;
        int count; // -1: no options
        const char *peer;
        uint32_t send, recv;
        size_t write;
    } cases[] = {
        {"N = {\n g = {\n  Default = {\n   SendSpace = 1mb\n  }\n  10.0.0.1 = {\n   RecvSpace = 2kb\n  }\n }\n}\n", 2,
         "10.9.9.9", 1 << 20, 0, QUORCFGX_DEFAULT_WRITE_SIZE},
        {"N = {\n g = {\n  Default = {\n   SendSpace = 1mb\n  }\n  10.0.0.1 = {\n   RecvSpace = 2kb\n  }\n }\n}\n", 2,
         "10.0.0.1", 0, 2048, QUORCFGX_DEFAULT_WRITE_SIZE},
        // Defaults apply to the groups after them only.
        {"N = {\n g = {\n  a = 10.0.0.1\n }\n Default Send Size = 4kb\n Default Write Size = 1000\n"
         " h = {\n  b = 10.0.0.2\n }\n}\n",
         2, "10.0.0.2", 4096, 0, 1000},
        {"N = {\n g = {\n  a = 10.0.0.1\n }\n Default Send Size = 4kb\n h = {\n  b = 10.0.0.2\n }\n}\n", 2, "10.0.0.1",
         0, 0, QUORCFGX_DEFAULT_WRITE_SIZE},
        {"N = {\n g = {\n  10.0.0.0 = {\n   NetMask = 255.255.0.0\n  }\n }\n}\n", 1, "10.0.200.1", 0, 0,
         QUORCFGX_DEFAULT_WRITE_SIZE},
        // One bad entry discards every option.
        {"N = {\n g = {\n  a = 10.0.0.1\n  Flag\n }\n}\n", -EINVAL, "10.0.0.1", 0, 0, 0},
        {"N = {\n}\n", -ENOENT, "10.0.0.1", 0, 0, 0},
    };
    for (const Case &c : cases) {
        Tree t(c.text);
        netopt_entry_t *table = nullptr;
        testing::internal::CaptureStderr();
        int n = quorcfgx_NetoptBuildTable(t.list, QUORCFGX_DEFAULT_WRITE_SIZE, &table);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(n, c.count) << c.text;
        if (n > 0) {
            const quor_sockaddr_t p = addr(c.peer);
            const netopt_entry_t *hit = nullptr, *def = nullptr;
            for (int i = 0; i < n; i++) {
                if (table[i].IsDefault && def == nullptr)
                    def = &table[i];
                if (!table[i].IsDefault && hit == nullptr && quorcfgx_AddrMatch(&table[i].IPAddr, &table[i].NetMask, &p))
                    hit = &table[i];
            }
            if (hit == nullptr)
                hit = def;
            ASSERT_NE(hit, nullptr) << c.text << c.peer;
            EXPECT_EQ(hit->SendSpace, c.send) << c.text << c.peer;
            EXPECT_EQ(hit->RecvSpace, c.recv) << c.text << c.peer;
            EXPECT_EQ(hit->WriteSize, c.write) << c.text << c.peer;
        }
        free(table);
    }
}

TEST(QuorcfgxNetopt, PortRanges)
{
    struct {
        const char *text;
        int rc, low, high;
    } cases[] = {{"500 - 70000", 0, 1024, 65535}, {"ncacn_ip_tcp[6000-6100]", 0, 6000, 6100},
                 {"7000-7000", 0, 7000, 7000},    {"9000-3000", -EINVAL, -1, -1},
                 {"ncacn_ip_tcp 6000-6100", -EINVAL, -1, -1}, {"100-200", -EINVAL, -1, -1}, {"x", -EINVAL, -1, -1}};
    for (const auto &c : cases) {
        int low = -1, high = -1;
        EXPECT_EQ(quorcfgx_ParsePortRange(c.text, &low, &high), c.rc) << c.text;
        EXPECT_EQ(low, c.low) << c.text;
        EXPECT_EQ(high, c.high) << c.text;
    }
}

TEST(QuorcfgxRestrict, TablesAndPeers)
{
    struct Case {
        const char *text;
        int count; // or a QUORCFGX_RESTRICT_* code
        const char *admitted;
        const char *refused;
    } cases[] = {
        {"R = {\n Default = {\n  10.1.0.0/16\n }\n}\n", 1, "10.1.2.3", "10.2.0.1"},
        {"R = {\n myhost = {\n  10.1.2.3\n }\n Default = {\n  10.2.0.0/16\n }\n}\n", 1, "10.1.2.3", "10.2.0.1"},
        {"R = {\n Default = {\n  fe80::/16\n  10.0.0.1/33\n }\n}\n", 2, "fe80::1", "10.0.0.2"},
        {"R = {\n Default = {\n  bad = 1\n  300.1.1.1\n  10.0.0.1\n }\n}\n", 1, "10.0.0.1", "10.0.0.3"},
        {"R = {\n other = {\n  10.0.0.1\n }\n}\n", 0, "192.0.2.1", nullptr},
        {"R = {\n}\n", QUORCFGX_RESTRICT_UNUSABLE, nullptr, "10.0.0.1"},
        {"R = 10.0.0.1\n", QUORCFGX_RESTRICT_UNUSABLE, nullptr, "10.0.0.1"},
        {"R = {\n Default = 10.0.0.1\n}\n", QUORCFGX_RESTRICT_UNUSABLE, nullptr, "10.0.0.1"},
        {"R = {\n Default = {\n  bogus\n }\n}\n", QUORCFGX_RESTRICT_UNUSABLE, nullptr, "10.0.0.1"},
    };
    for (const Case &c : cases) {
        Tree t(c.text);
        quor_restricted_addr_t *table = nullptr;
        testing::internal::CaptureStderr();
        int n = quorcfgx_RestrictBuildTable(t.list, "myhost", "test", &table);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(n, c.count) << c.text;
        // Admitting follows the table; a section that could not be used
        // (n < 0) admits nobody, as quorcfgx_RestrictAllows does.
        auto admits = [&](const char *peer) {
            quor_sockaddr_t p = addr(peer);
            return n == 0 ? 1 : n < 0 ? 0 : quorcfgx_RestrictMatch(table, n, &p);
        };
        if (c.admitted != nullptr) {
            EXPECT_EQ(admits(c.admitted), 1) << c.text;
        }
        if (c.refused != nullptr) {
            EXPECT_EQ(admits(c.refused), 0) << c.text;
        }
        EXPECT_EQ(err.find("refusing every data connection") != std::string::npos, n < 0) << err;
        free(table);
    }
}

TEST(QuorcfgxNic, ClientInterfacesBySection)
{
    nic_info_t nics[3] = {};
    const char *ifaces[3][2] = {{"eth0", "10.0.0.5"}, {"ib0", "10.1.0.5"}, {"eth1", "fe80::1"}};
    const unsigned long mtu[3] = {1500, 9000, 9000};
    for (int i = 0; i < 3; i++) {
        snprintf(nics[i].ifName, sizeof nics[i].ifName, "%s", ifaces[i][0]);
        nics[i].ifAddress = addr(ifaces[i][1]);
        nics[i].mtu = mtu[i];
    }
    const std::string head = "C = {\n me = {\n  srv = {\n";
    struct Case {
        std::string body; // the server entry's stanzas
        const char *client;
        int rc;
        const char *picked; // names, blank-separated
    } cases[] = {
        {"   eth*\n", nullptr, 0, "eth0 eth1 "},
        {"   10.1.0.5 10.0.0.0/255.255.0.0\n", nullptr, 0, "ib0 eth0 "},
        {"   10.9.9.9\n   10.1.0.5/bad\n", nullptr, 0, "ib0 "},
        {"   attr = {\n    mtu = +9000\n   }\n", nullptr, 0, "ib0 eth1 "},
        {"   attr = {\n    mtu = 9000 - 1000\n   }\n", nullptr, 0, "eth0 ib0 eth1 "},
        {"   attr = {\n    mtu = -1500\n    mtu = 0\n   }\n", nullptr, 0, "eth0 "},
        {"   eth*\n", "other", 0, ""},
        {"", nullptr, QUORCFGX_NIC_NONE, ""},
    };
    for (const Case &c : cases) {
        const std::string text = c.body.empty() ? "C = {\n me = {\n  srv = {\n  }\n }\n}\n"
                                                : head + c.body + "  }\n }\n Default = {\n  Default = {\n   eth0\n  }\n }\n}\n";
        Tree t(text);
        int count = -1;
        char **names = nullptr;
        quor_sockaddr_t *addrs = nullptr;
        testing::internal::CaptureStderr();
        EXPECT_EQ(quorcfgx_SelectClientInterfaces(t.list, c.client, "me", "srv", nics, 3, &count, &addrs, &names), c.rc)
            << text;
        testing::internal::GetCapturedStderr();
        std::string got;
        for (int i = 0; i < count; i++) {
            got += std::string(names[i]) + " ";
            free(names[i]);
        }
        EXPECT_EQ(got, c.picked) << text;
        free(names);
        free(addrs);
    }
}

} // namespace
