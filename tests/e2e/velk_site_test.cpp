// The site configuration seen from a run: restricted addresses admit or
// refuse the movers (kylgwd's mover_src fault makes them connect from
// 127.0.0.2), a small write size still creates the archive byte for byte,
// and expiration rules put their time on the archive and index that kylgwd
// stores.

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "velk_gwsession.h"

namespace {

using velktest::readFile;
using velktest::writeFile;

constexpr const char *kCosTable = "COS = {\n 11 = {\n  name = default\n  default = yes\n }\n"
                                  " 5 = {\n  name = five\n  width = 1\n }\n}\n";

class VelkSite : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(startGateway(kCosTable));
        writeFile(dir / "f1", velktest::bytesOf(300001, 7));
        writeFile(dir / "f2", "two\n");
        ASSERT_EQ(velk({"-c", "-E", "-f", "ref.tar", "f1", "f2"}).status, 0);
    }

    // The value of key in the metadata kylgwd keeps for nsPath.
    std::string meta(const std::string &nsPath, const std::string &key)
    {
        for (const std::string &l : velktest::lines(readFile(dir / "meta" + nsPath + "#meta")))
            if (l.rfind(key + "=", 0) == 0)
                return l.substr(key.size() + 1);
        return "";
    }

    size_t count(const std::string &text, const std::string &what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    }
};

TEST_F(VelkSite, RestrictedAddressesAdmitOrRefuseTheMovers)
{
    const std::string allowOne = "Restricted Addresses = {\n Default = {\n  127.0.0.1\n  10.1.0.0/16\n }\n}\n";
    struct Case {
        const char *name;
        std::string conf;
        const char *moverSrc; // "" = the movers' own choice
        bool created;
        const char *refusedFrom; // "" = no refusal line
    } cases[] = {
        {"no section", "", "127.0.0.2", true, ""},
        {"admitted peer", allowOne, "", true, ""},
        {"refused peer", allowOne, "127.0.0.2", false, "127.0.0.2"},
        {"a /8 admits the alias", "Restricted Addresses = {\n Default = {\n  127.0.0.0/8\n }\n}\n", "127.0.0.2",
         true, ""},
        {"unusable host entry", "Restricted Addresses = {\n Default = {\n  not.an.address\n }\n}\n", "", false,
         "127.0.0.1"},
        {"empty section", "Restricted Addresses = {\n}\n", "", false, "127.0.0.1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / "QUOR.conf", c.conf);
        writeFile(dir / "faults", std::string(c.moverSrc).empty() ? "" : std::string("mover_src=") + c.moverSrc + "\n");
        (void)unlink((home() + "/a.tar").c_str());
        const size_t logAt = readFile(dir / "kylgwd.log").size();
        auto r = velk({"-c", "-f", "/home/demo/a.tar", "f1", "f2"});
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(r.status == 0, c.created) << r.err;
        const std::string refused = std::string("restricted connection failed from ") + c.refusedFrom;
        EXPECT_EQ(r.err.find(refused + "\n") != std::string::npos, *c.refusedFrom != '\0') << r.err;
        // The refusal also reaches the gateway's log.
        EXPECT_EQ(readFile(dir / "kylgwd.log").find(refused, logAt) != std::string::npos, *c.refusedFrom != '\0');
        if (c.created) {
            // The members' bytes; the consistency member differs by run.
            EXPECT_TRUE(readFile(home() + "/a.tar").substr(0, 301568) == readFile(dir / "ref.tar").substr(0, 301568));
        }
        // An unusable section is reported once per run, not once per peer.
        EXPECT_LE(count(r.err, "refusing every data connection"), 1u);
        EXPECT_EQ(count(r.err, "refusing every data connection") == 1,
                  std::string(c.name) == "unusable host entry" || std::string(c.name) == "empty section");
    }
}

// A restricted port range as narrow as the transfer allows: a width-1
// storage-system create needs two ports (control and one mover's data), a
// listing's sequential index read one; one port too few for a create is
// reported as such and fails the run.
TEST_F(VelkSite, NarrowPortRangesWorkOrFailClearly)
{
    const int p = velktest::freePorts(2);
    ASSERT_NE(p, 0);
    const std::string one = std::to_string(p) + "-" + std::to_string(p);
    const std::string two = std::to_string(p) + "-" + std::to_string(p + 1);
    struct Case {
        std::string range;
        std::vector<std::string> args;
        int status;
        const char *says;
    } cases[] = {
        {two, {"-c", "-Y", "5", "-f", "/home/demo/a.tar", "f1", "f2"}, 0, "VELK SUCCESSFUL"},
        {one, {"-t", "-f", "/home/demo/a.tar"}, 0, "f2"},
        {one, {"-c", "-Y", "5", "-f", "/home/demo/b.tar", "f1", "f2"}, 72, "no free port in the restricted port range"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.range + " " + c.args[0]);
        auto r = velk(c.args, {{"QUOR_PORT_RANGE", c.range}});
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    }
    EXPECT_TRUE(readFile(home() + "/a.tar").substr(0, 301568) == readFile(dir / "ref.tar").substr(0, 301568));
}

// Data sends cut to a 1000-byte write size, with a 64 KiB send buffer,
// still give the same archive.
TEST_F(VelkSite, SmallWriteSizeCreatesTheSameArchive)
{
    writeFile(dir / "QUOR.conf", "Network Options = {\n Default Write Size = 1000\n hosts = {\n  Default = {\n"
                                 "   SendSpace = 64kb\n  }\n }\n}\n");
    auto r = velk({"-c", "-f", "/home/demo/a.tar", "f1", "f2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readFile(home() + "/a.tar").substr(0, 301568) == readFile(dir / "ref.tar").substr(0, 301568));
}

TEST_F(VelkSite, ExpirationRulesSetTheTimeOnArchiveAndIndex)
{
    writeFile(dir / "velkrc", "enable_expiration on\nexpire_cfg_path " + (dir / "expire.conf") + "\n");
    writeFile(dir / "expire.conf", "ExpirationByCosId = {\n  COS5 = 1d\n  6 = 70y\n  5 = 30d 12h\n}\n");
    auto r = velk({"-c", "-f", "/home/demo/a.tar", "f1", "f2"}, {{"VELK_COS", "5"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("format error - not \"cosId = expireString\" (" + (dir / "expire.conf") + " line 2)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("format error on expiration time string: 70y"), std::string::npos) << r.err;
    for (const std::string path : {"/home/demo/a.tar", "/home/demo/a.tar.idx"}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(meta(path, "COSId"), "5");
        const uint64_t created = std::stoull(meta(path, "TimeCreated"));
        EXPECT_EQ(std::stoull(meta(path, "Expiration")), created + 2635200);
    }
    // Soft delete writes a new index: it gets its own time.
    auto d = velk({"-D", "-f", "/home/demo/a.tar", "f2"}, {{"VELK_COS", "5"}});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(std::stoull(meta("/home/demo/a.tar.idx", "Expiration")),
              std::stoull(meta("/home/demo/a.tar.idx", "TimeCreated")) + 2635200);

    // A duration of 0 would expire the file as it is made: no time is set.
    writeFile(dir / "expire.conf", "ExpirationByCosId = {\n  5 = 0s\n}\n");
    ASSERT_EQ(velk({"-c", "-f", "/home/demo/c.tar", "f2"}, {{"VELK_COS", "5"}}).status, 0);
    EXPECT_EQ(meta("/home/demo/c.tar", "Expiration"), "0");

    // A rules file that cannot be loaded ends the run before it creates
    // anything that would never expire.
    writeFile(dir / "velkrc", "enable_expiration on\nexpire_cfg_path " + (dir / "absent.conf") + "\n");
    auto f = velk({"-c", "-f", "/home/demo/b.tar", "f2"});
    EXPECT_EQ(f.status, 70) << f.err;
    EXPECT_NE(f.err.find("Unable to open configuration file " + (dir / "absent.conf")), std::string::npos) << f.err;
    EXPECT_FALSE(velktest::exists(home() + "/b.tar"));
}

} // namespace
