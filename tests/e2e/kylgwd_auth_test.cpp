// kylgwd's authentication end to end, with the raw client: users from the
// configuration file (passwords hashed by kylgwd --hash-password), a combo
// login with the password in clear, a keytab login scrambled instead of
// enciphered, retry-later and the reconnect login over two connections,
// the published Diffie-Hellman group, requests refused before a login, and
// the configuration errors that stop the daemon.  The login name scrambler
// is written out here from its rule, independent of the shared code.

#include <gtest/gtest.h>

#include "gw_rawclient.h"
#include "kylgwd_fixture.h"
#include "velk_testsupport.h"

#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

using velktest::GwHeader;
using velktest::GwRawClient;
using velktest::gwHeaderBytes;
using velktest::gwPutU32;
using velktest::gwRequest;

namespace {

constexpr uint32_t kBody = velktest::kGwBodyFlag;
constexpr uint32_t kAuth = 512;
constexpr uint32_t kSeed = 0x01020304; // byte sum 10
constexpr uint32_t kFilesys = 1280, kGetcwd = 1799;
const std::string kKeytab("\x05\x02\x00\x01principal\x00\xfe\xff", 16);

// The scrambler: k = (sum of the seed's bytes) ^ 0xA5; per byte: xor with
// k, then k rotates left by one bit.
std::string scramble(std::string s, uint32_t seed)
{
    unsigned k = ((seed & 0xff) + (seed >> 8 & 0xff) + (seed >> 16 & 0xff) + (seed >> 24 & 0xff)) & 0xff;
    k ^= 0xA5;
    for (char &ch : s) {
        ch = static_cast<char>(static_cast<unsigned char>(ch) ^ k);
        k = ((k << 1) | (k >> 7)) & 0xff;
    }
    return s;
}

std::string words(std::initializer_list<uint32_t> ws)
{
    std::string out;
    for (uint32_t w : ws)
        gwPutU32(&out, w);
    return out;
}

std::string padded(const std::string &b)
{
    return b + std::string((4 - b.size() % 4) % 4, '\0');
}

std::string opaque(const std::string &b)
{
    return words({static_cast<uint32_t>(b.size())}) + padded(b);
}

std::string nameField(const std::string &name)
{
    std::string f(257, '\0');
    f.replace(0, name.size(), name);
    return padded(scramble(f, kSeed));
}

struct Login {
    GwHeader h;
    std::vector<uint32_t> w; // the nine fixed words
    std::string userMsg, packet, hmac;
};

class KylgwdAuth : public ::testing::Test {
protected:
    velktest::ScratchDir dir;
    velktest::KylgwdProcess gw{dir.path()};
    GwRawClient c;
    std::string hash;

    std::string events() const { return velktest::readFile(dir / "events"); }

    void startWith(const std::string &faults)
    {
        auto r = velktest::run({velktest::kylgwdBinary(), "--hash-password"}, [] {
            velktest::RunOptions o;
            o.input = "s3cret\n";
            return o;
        }());
        ASSERT_EQ(r.status, 0) << r.err;
        hash = r.out.substr(0, r.out.size() - 1);
        velktest::writeFile(dir / "alice.kt", kKeytab);
        velktest::writeFile(dir / "kylgwd.conf",
                            "# users of the test\nUsers = {\n  alice = {\n    password = " + hash +
                                "\n    uid = " + std::to_string(getuid()) + "\n    gid = " +
                                std::to_string(getgid()) + "\n    home = /alice\n    keytab = " + (dir / "alice.kt") +
                                "\n    accounts = 1:test\n  }\n}\n");
        velktest::writeFile(dir / "faults", faults);
        ASSERT_TRUE(gw.start({"--config", dir / "kylgwd.conf", "--faults", dir / "faults", "--events",
                              dir / "events"}));
        connect();
    }

    void connect()
    {
        c.close();
        ASSERT_TRUE(c.connect(gw.port()));
        GwHeader h;
        std::vector<uint32_t> w;
        ASSERT_TRUE(c.readGreeting(&h, &w));
    }

    bool readOpaque(std::string *out)
    {
        std::vector<uint32_t> w;
        std::string b;
        if (!c.readWords(1, &w) || !c.read((w[0] + 3) / 4 * 4, &b))
            return false;
        *out = b.substr(0, w[0]);
        return true;
    }

    ::testing::AssertionResult readLogin(uint32_t id, Login *l)
    {
        std::string challenge;
        if (!c.readHeader(&l->h) || l->h.requestId != id || l->h.flags != kBody || !c.readWords(9, &l->w) ||
            !readOpaque(&challenge) || !readOpaque(&l->userMsg) || !readOpaque(&l->packet) || !readOpaque(&l->hmac))
            return ::testing::AssertionFailure() << "no login reply to " << id;
        return ::testing::AssertionSuccess();
    }

    int32_t getcwd(uint32_t id)
    {
        EXPECT_TRUE(c.send(gwRequest(id, kFilesys, kGetcwd)));
        GwHeader h;
        EXPECT_TRUE(c.readHeader(&h));
        EXPECT_EQ(h.requestId, id);
        // Served after a login: the reply carries the cwd as an XDR string.
        if (h.errorcode == 0) {
            EXPECT_EQ(h.flags, kBody);
            std::string cwd;
            EXPECT_TRUE(readOpaque(&cwd));
            EXPECT_EQ(cwd, "/alice");
        } else {
            EXPECT_EQ(h.flags, 0u);
        }
        return h.errorcode;
    }

    // 512/16 and 512/259 with the keytab scrambled (the cipher=GARBLE fault).
    ::testing::AssertionResult keytabLogin(uint32_t id, const std::string &keytab, Login *l)
    {
        EXPECT_TRUE(c.send(gwRequest(id, kAuth, 16, words({592, 2, 0, 0, 0, 0}))));
        GwHeader h;
        std::vector<uint32_t> w;
        if (!c.readHeader(&h) || h.errorcode != 0 || !c.readWords(6, &w) || w[1] != 1)
            return ::testing::AssertionFailure() << "security parameters: cipher " << (w.size() > 1 ? w[1] : 0);
        std::string sent = scramble(keytab, kSeed);
        EXPECT_TRUE(c.send(gwHeaderBytes(id + 1, kBody, kAuth, 259, 0, 0, kSeed) + words({67, 2, 99, 0, 1}) +
                           nameField("alice") + words({static_cast<uint32_t>(sent.size()), 1}) + padded(sent)));
        return readLogin(id + 1, l);
    }
};

TEST_F(KylgwdAuth, ComboPasswordInClearFromTheConfiguredHash)
{
    startWith("cleartext_pw\n");
    EXPECT_EQ(getcwd(1), -13);
    ASSERT_TRUE(c.send(gwHeaderBytes(2, kBody, kAuth, 260, 0, 0, kSeed) + words({67, 2, 99, 2, 3}) +
                       nameField("alice")));
    Login l;
    ASSERT_TRUE(readLogin(2, &l));
    EXPECT_EQ(l.h.errorcode, 0);
    EXPECT_EQ(l.w[0], 0x2u); // the password goes in clear
    EXPECT_EQ(l.w[3], 3u);   // retry_count

    auto respond = [&](uint32_t id, const std::string &pw) {
        EXPECT_TRUE(c.send(gwRequest(id, kAuth, 304, opaque(pw + std::string(1, '\0')))));
        GwHeader h;
        std::vector<uint32_t> w;
        std::string salt;
        EXPECT_TRUE(c.readHeader(&h) && c.readWords(4, &w) && c.read(8, &salt));
        EXPECT_EQ(h.requestId, id);
        return h.errorcode;
    };
    EXPECT_EQ(respond(3, "S3cret"), -10003);
    EXPECT_EQ(respond(4, "s3cret"), 0);
    EXPECT_EQ(getcwd(5), 0);

    // Gateway log lines now name the user.
    std::string open;
    gwPutU32(&open, 0x60000);
    open += velktest::gwXdrString("velk");
    ASSERT_TRUE(c.send(gwRequest(6, 1792, 256, open)));
    GwHeader h;
    ASSERT_TRUE(c.readHeader(&h));
    EXPECT_EQ(h.errorcode, 0);
    c.close();
    ASSERT_TRUE(gw.waitForLog("session 1: openlog user=alice flags=0x60000 subsys=velk"));
    ASSERT_EQ(gw.stop(), 0);
    const std::string log = gw.logText();
    EXPECT_NE(log.find("session 1: user alice authenticated by combo\n"), std::string::npos) << log;
    EXPECT_NE(log.find("session 1: quor_Getcwd (1280/1799) id 1 before authentication: refused\n"),
              std::string::npos)
        << log;
    for (const std::string &text : {log, events()}) {
        EXPECT_EQ(text.find("s3cret"), std::string::npos);
        EXPECT_EQ(text.find("S3cret"), std::string::npos);
    }
    EXPECT_NE(events().find("\"event\":\"login\",\"session\":1,\"user\":\"alice\",\"method\":\"combo\",\"result\":0"),
              std::string::npos)
        << events();
}

TEST_F(KylgwdAuth, ScrambledKeytabMustMatchTheFile)
{
    startWith("cipher=GARBLE\n");
    Login l;
    ASSERT_TRUE(keytabLogin(10, kKeytab.substr(1), &l));
    EXPECT_EQ(l.h.errorcode, -10003);
    EXPECT_EQ(getcwd(12), -13);
    ASSERT_TRUE(keytabLogin(20, kKeytab, &l));
    EXPECT_EQ(l.h.errorcode, 0);
    EXPECT_EQ(l.w[0], 0u);
    EXPECT_EQ(getcwd(22), 0);
    c.close();
    ASSERT_TRUE(gw.waitForLog("session 1: closing"));
    ASSERT_EQ(gw.stop(), 0);
    const std::string log = gw.logText();
    EXPECT_NE(log.find("session 1: keytab login of alice refused (-10003): the keytab does not match\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("session 1: user alice authenticated by keytab\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("principal"), std::string::npos); // the keytab's bytes
}

TEST_F(KylgwdAuth, RetryLaterThenReconnectLoginOnTheNextConnection)
{
    startWith("cipher=GARBLE\nretry_later=0,Come back in a moment\n");
    Login l;
    ASSERT_TRUE(keytabLogin(1, kKeytab, &l));
    EXPECT_EQ(l.h.errorcode, -43000);
    EXPECT_EQ(l.w[0], 0x40000000u);
    EXPECT_EQ(l.userMsg, "Come back in a moment");
    EXPECT_EQ(l.hmac.size(), 32u);
    EXPECT_EQ(l.packet.substr(0, 9), std::string("\0\0\0\x05" "alice", 9));
    EXPECT_EQ(getcwd(3), -13);

    // The next connection comes back with the packet as its only login.
    connect();
    const std::string reconnect = words({67, 2, 99}) + opaque(l.packet) + opaque(l.hmac);
    ASSERT_TRUE(c.send(gwRequest(4, kAuth, 128, reconnect)));
    Login r;
    ASSERT_TRUE(readLogin(4, &r));
    EXPECT_EQ(r.h.errorcode, 0);
    EXPECT_EQ(getcwd(5), 0);

    // A forged packet, and an outcome forced by the fault script.
    connect();
    std::string forged = l.packet;
    forged[4] = 'A';
    ASSERT_TRUE(c.send(gwRequest(6, kAuth, 128, words({67, 2, 99}) + opaque(forged) + opaque(l.hmac))));
    ASSERT_TRUE(readLogin(6, &r));
    EXPECT_EQ(r.h.errorcode, -51021);
    velktest::writeFile(dir / "faults", "reconnect=-51030\n");
    connect();
    ASSERT_TRUE(c.send(gwRequest(7, kAuth, 128, reconnect)));
    ASSERT_TRUE(readLogin(7, &r));
    EXPECT_EQ(r.h.errorcode, -51030);
    c.close();
    ASSERT_TRUE(gw.waitForLog("session 4: closing"));
    ASSERT_EQ(gw.stop(), 0);
    EXPECT_NE(gw.logText().find("session 2: user alice authenticated by reconnect\n"), std::string::npos)
        << gw.logText();
}

TEST_F(KylgwdAuth, DiffieHellmanParametersAreThePublishedGroup)
{
    startWith("");
    ASSERT_TRUE(c.send(gwRequest(1, kAuth, 18)));
    GwHeader h;
    ASSERT_TRUE(c.readHeader(&h));
    EXPECT_EQ(h.errorcode, 0);
    std::string p, g;
    ASSERT_TRUE(readOpaque(&p));
    ASSERT_TRUE(readOpaque(&g));
    ASSERT_EQ(p.size(), 256u);
    const unsigned char head[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                  0xC9, 0x0F, 0xDA, 0xA2, 0x21, 0x68, 0xC2, 0x34};
    const unsigned char tail[] = {0x15, 0x72, 0x8E, 0x5A, 0x8A, 0xAC, 0xAA, 0x68,
                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(p.substr(0, 16), std::string(reinterpret_cast<const char *>(head), 16));
    EXPECT_EQ(p.substr(240), std::string(reinterpret_cast<const char *>(tail), 16));
    EXPECT_EQ(g, std::string(1, '\x02'));
    // A public key of 1 is refused.
    ASSERT_TRUE(c.send(gwRequest(2, kAuth, 20, opaque(std::string(1, '\x01')))));
    ASSERT_TRUE(c.readHeader(&h));
    EXPECT_EQ(h.requestId, 2u);
    EXPECT_EQ(h.errorcode, -22);
    EXPECT_EQ(h.flags, 0u);
}

TEST(KylgwdAuthConfig, UsersSectionErrorsStopTheDaemon)
{
    velktest::ScratchDir dir;
    std::filesystem::create_directory(dir / "root");
    const struct {
        std::string body;
        std::string message;
    } cases[] = {
        {"Users = {\n  alice = {\n    shell = /bin/sh\n  }\n}\n", ":3: unknown key 'shell' for user alice\n"},
        {"Users = {\n  alice = {\n    password = plain\n    uid = 1\n    gid = 1\n    home = /a\n  }\n}\n",
         ":3: user alice: 'password' needs a crypt(3) hash"},
        {"Users = {\n  alice = {\n    uid = 1\n  }\n}\n", ":2: user alice needs uid, gid and home\n"},
    };
    for (const auto &k : cases) {
        velktest::writeFile(dir / "bad.conf", k.body);
        auto r = velktest::run({velktest::kylgwdBinary(), "--foreground", "--root", dir / "root", "--listen",
                                "127.0.0.1:0", "--config", dir / "bad.conf"});
        EXPECT_EQ(r.status, 78) << r.err;
        EXPECT_NE(r.err.find("kylgwd: --config " + (dir / "bad.conf") + k.message), std::string::npos) << r.err;
    }
}

} // namespace
