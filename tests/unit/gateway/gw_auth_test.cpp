// kylgwd's authentication, served by a real session over a socketpair: the
// test plays the client with request bodies written out word by word from
// the wire tables, and the shared crypto unit for the Diffie-Hellman
// exchange and AES.  Covers the combo login with its challenge responses
// and token codes, the keytab login, the PAM conversation, refusals,
// retry-later and the reconnect login, the authentication faults, and the
// refusal of other requests before a login.

#include <gtest/gtest.h>

#include "gw_auth.h"
#include "gw_config.h"
#include "gw_events.h"
#include "gw_log.h"
#include "gw_proto.h"
#include "gw_rawclient.h"
#include "kylgwd_fixture.h"
#include "gw_session.h"
#include "velk_testsupport.h"

#include <quorex_crypto.h>

#include <crypt.h>
#include <ctime>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using velktest::GwHeader;
using velktest::GwRawClient;
using velktest::gwHeaderBytes;
using velktest::gwPutU32;
using velktest::gwRequest;

namespace {

constexpr uint32_t kBody = velktest::kGwBodyFlag;
constexpr uint32_t kTask = velktest::kGwTaskFlag;
constexpr uint32_t kAuth = 512;
constexpr uint32_t kFilesys = 1280, kGetcwd = 1799;
constexpr uint32_t kSeed = 0x5e3d1c2b;

std::string hashOf(const char *password)
{
    struct crypt_data cd {};
    const char *h = crypt_r(password, "$6$unittestsalt$", &cd);
    return h != nullptr ? h : "";
}

std::string padded(const std::string &bytes)
{
    return bytes + std::string((4 - bytes.size() % 4) % 4, '\0');
}

std::string opaque(const std::string &bytes)
{
    std::string out;
    gwPutU32(&out, static_cast<uint32_t>(bytes.size()));
    return out + padded(bytes);
}

// The 257-byte name field, scrambled with seed.
std::string nameField(const std::string &name, uint32_t seed)
{
    std::string f(257, '\0');
    f.replace(0, name.size(), name);
    garble(reinterpret_cast<unsigned char *>(f.data()), f.size(), seed);
    return f;
}

std::string words(std::initializer_list<uint32_t> ws)
{
    std::string out;
    for (uint32_t w : ws)
        gwPutU32(&out, w);
    return out;
}

struct LoginReply {
    GwHeader h;
    uint32_t flags = 0;
    int32_t errorCode = 0;
    int32_t retryCount = 0;
    uint64_t retryTime = 0;
    uint32_t expireTime = 0;
    std::string userMsg, packet, hmac;
};

// One in-process session: the daemon's session code on a thread, this
// test as its client.
class GwAuth : public ::testing::Test {
protected:
    velktest::ScratchDir dir;
    gw_config_t cfg{};
    std::string faultsPath;
    std::thread server;
    GwRawClient cl;
    int serverFd = -1;
    std::vector<unsigned char> key; // the session key, once exchanged
    uint32_t nextId = 100;
    uint64_t sessionNo = 0;

    void SetUp() override
    {
        gw_ConfigDefaults(&cfg, 1);
        velktest::writeFile(dir / "alice.kt", std::string("\x05\x02keytab\0bytes\xff", 16));
        velktest::writeFile(dir / "alice.pam",
                            "4 Welcome to the test realm\n1 Password: \nsesame\n2 Favourite colour? \nblue\n\n"
                            "3 One more thing\n1 PIN: \n4242\n");
        std::string conf = "Users = {\n"
                           "  alice = {\n    password = " +
                           hashOf("s3cret") + "\n    uid = " + std::to_string(getuid()) +
                           "\n    gid = " + std::to_string(getgid()) + "\n    home = /home/alice\n    keytab = " +
                           (dir / "alice.kt") + "\n    pam_script = " + (dir / "alice.pam") +
                           "\n  }\n  tok = {\n    password = " + hashOf("pin") + "\n    token_code = " +
                           hashOf("123456") + "\n    uid = 1\n    gid = 1\n    home = /t\n  }\n"
                           "  barred = {\n    password = " +
                           hashOf("x") + "\n    uid = 2\n    gid = 2\n    home = /b\n"
                           "    refuse = -50512,stop,Too many sessions from your host\n  }\n"
                           "  later = {\n    keytab = " +
                           (dir / "alice.kt") + "\n    uid = 3\n    gid = 3\n    home = /l\n"
                           "    retry_later = 0,Busy - come back\n  }\n}\n";
        std::string err;
        ASSERT_EQ(gw_ConfigLoadText("test.conf", conf, &cfg, &err), 0) << err;
        faultsPath = dir / "faults";
        ASSERT_EQ(gw_LogOpen((dir / "log").c_str()), 0);
        ASSERT_EQ(gw_EventsOpen((dir / "events").c_str()), 0);
        gw_ProtoSetup(&cfg);
        gw_SessionSetup(faultsPath.c_str());
    }

    void TearDown() override
    {
        endSession();
        gw_ProtoSetup(nullptr);
        gw_SessionSetup(nullptr);
        gw_EventsClose();
        gw_LogClose();
        gw_ConfigFree(&cfg);
    }

    // Starts a session with a fault script and reads the greeting.
    void startSession(const std::string &faults = "")
    {
        endSession();
        velktest::writeFile(faultsPath, faults);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        serverFd = sv[0];
        cl.adopt(sv[1]);
        key.clear();
        uint64_t id = ++sessionNo;
        int fd = serverFd;
        server = std::thread([fd, id] { (void)gw_SessionServe(fd, id, "socketpair"); });
        GwHeader h;
        std::vector<uint32_t> w;
        ASSERT_TRUE(cl.readGreeting(&h, &w));
    }

    void endSession()
    {
        cl.close();
        if (server.joinable())
            server.join();
        if (serverFd >= 0)
            close(serverFd);
        serverFd = -1;
    }

    std::string log() const { return velktest::readFile(dir / "log"); }
    std::string events() const { return velktest::readFile(dir / "events"); }

    bool readOpaque(std::string *out)
    {
        std::vector<uint32_t> w;
        if (!cl.readWords(1, &w))
            return false;
        std::string b;
        if (!cl.read((w[0] + 3) / 4 * 4, &b))
            return false;
        *out = b.substr(0, w[0]);
        return true;
    }

    // Reads a login reply (header, and body when flagged).
    ::testing::AssertionResult readLogin(LoginReply *r, uint32_t id)
    {
        if (!cl.readHeader(&r->h))
            return ::testing::AssertionFailure() << "no login reply";
        if (r->h.requestId != id || r->h.category != kAuth)
            return ::testing::AssertionFailure() << "reply to " << r->h.requestId << " " << r->h.category;
        if ((r->h.flags & kBody) == 0)
            return ::testing::AssertionSuccess();
        std::vector<uint32_t> w;
        std::string challenge;
        if (!cl.readWords(9, &w) || !readOpaque(&challenge) || !readOpaque(&r->userMsg) || !readOpaque(&r->packet) ||
            !readOpaque(&r->hmac))
            return ::testing::AssertionFailure() << "login reply body cut short";
        r->flags = w[0];
        r->errorCode = static_cast<int32_t>(w[2]);
        r->retryCount = static_cast<int32_t>(w[3]);
        r->retryTime = static_cast<uint64_t>(w[4]) << 32 | w[5];
        r->expireTime = w[6];
        if (w[7] != 2 || w[8] != 2 || !challenge.empty())
            return ::testing::AssertionFailure() << "ciphers " << w[7] << "/" << w[8];
        return ::testing::AssertionSuccess();
    }

    // 512/16: returns the cipher named, or 0 on a refusal.
    uint32_t secParams()
    {
        uint32_t id = nextId++;
        EXPECT_TRUE(cl.send(gwRequest(id, kAuth, 16, words({592, 2, 0, 0, 0, 0}))));
        GwHeader h;
        std::vector<uint32_t> w;
        if (!cl.readHeader(&h) || h.requestId != id || h.errorcode != 0 || !cl.readWords(6, &w))
            return 0;
        EXPECT_EQ(w[0], 0x240u); // keytab and PAM
        return w[1];
    }

    // 512/18: the prime and generator.
    bool dhParams(std::string *p, std::string *g)
    {
        uint32_t id = nextId++;
        EXPECT_TRUE(cl.send(gwRequest(id, kAuth, 18)));
        GwHeader h;
        if (!cl.readHeader(&h) || h.requestId != id || h.errorcode != 0 || h.flags != kBody)
            return false;
        return readOpaque(p) && readOpaque(g);
    }

    // 512/20 with the given public key; returns the header and the server's key.
    GwHeader pubkey(const std::string &mine, std::string *theirs)
    {
        uint32_t id = nextId++;
        EXPECT_TRUE(cl.send(gwRequest(id, kAuth, 20, opaque(mine))));
        GwHeader h;
        EXPECT_TRUE(cl.readHeader(&h));
        EXPECT_EQ(h.requestId, id);
        if ((h.flags & kBody) != 0) {
            EXPECT_TRUE(readOpaque(theirs));
        }
        return h;
    }

    // The whole exchange: parameters, key pair, public keys, session key.
    ::testing::AssertionResult exchangeKeys()
    {
        std::string p, g, theirs;
        if (!dhParams(&p, &g))
            return ::testing::AssertionFailure() << "no DH parameters";
        quorex_dh_t *dh = nullptr;
        int rc = quorex_DHNew(reinterpret_cast<const unsigned char *>(p.data()), p.size(),
                              reinterpret_cast<const unsigned char *>(g.data()), g.size(), &dh);
        if (rc != 0)
            return ::testing::AssertionFailure() << "DHNew " << rc;
        unsigned char pub[1024];
        int n = quorex_DHPublicKey(dh, pub, sizeof pub);
        GwHeader h = pubkey(std::string(reinterpret_cast<char *>(pub), static_cast<size_t>(n)), &theirs);
        if (h.errorcode != 0) {
            quorex_DHFree(dh);
            return ::testing::AssertionFailure() << "pubkey refused " << h.errorcode;
        }
        unsigned char secret[1024];
        int s = quorex_DHSharedSecret(dh, reinterpret_cast<const unsigned char *>(theirs.data()), theirs.size(), secret,
                                      sizeof secret);
        quorex_DHFree(dh);
        if (s <= 0)
            return ::testing::AssertionFailure() << "shared secret " << s;
        key.assign(secret, secret + s);
        return ::testing::AssertionSuccess();
    }

    std::string encrypt(const std::string &plain)
    {
        std::string out(quorex_EncryptedLength(plain.size()), '\0');
        size_t n = 0;
        EXPECT_EQ(quorex_Encrypt(2, key.size(), key.data(), plain.size(),
                                 reinterpret_cast<const unsigned char *>(plain.data()), &n,
                                 reinterpret_cast<unsigned char *>(out.data())),
                  0);
        out.resize(n);
        return out;
    }

    std::string decrypt(const std::string &enc)
    {
        std::string out(enc.size() + 32, '\0');
        size_t n = 0;
        EXPECT_EQ(quorex_Decrypt(2, key.size(), key.data(), enc.size(),
                                 reinterpret_cast<const unsigned char *>(enc.data()), &n,
                                 reinterpret_cast<unsigned char *>(out.data())),
                  0);
        out.resize(n);
        return out;
    }

    uint32_t comboLogin(const std::string &user, LoginReply *r)
    {
        uint32_t id = nextId++;
        std::string body = words({67, 2, 4242, 2, 3}) + padded(nameField(user, kSeed));
        EXPECT_TRUE(cl.send(gwHeaderBytes(id, kBody, kAuth, 260, 0, 0, kSeed) + body));
        EXPECT_TRUE(readLogin(r, id));
        return id;
    }

    // 512/304 with the 513-byte password buffer enciphered (or the text in
    // clear); returns the header's code and the retries left.
    int32_t challenge(const std::string &password, uint32_t flags = 0, bool clear = false, int32_t *retries = nullptr)
    {
        uint32_t id = nextId++;
        std::string response;
        if (clear) {
            response = password + std::string(1, '\0');
        } else {
            std::string buf(513, '\0');
            buf.replace(0, password.size(), password);
            response = encrypt(buf);
            EXPECT_EQ(response.size(), 528u);
        }
        EXPECT_TRUE(cl.send(gwHeaderBytes(id, kBody | flags, kAuth, 304) + opaque(response)));
        GwHeader h;
        std::vector<uint32_t> w;
        EXPECT_TRUE(cl.readHeader(&h));
        EXPECT_EQ(h.requestId, id);
        EXPECT_EQ(h.flags, kBody);
        std::string salt;
        EXPECT_TRUE(cl.readWords(4, &w) && cl.read(8, &salt));
        EXPECT_EQ(w[2], 0u); // no challenge bytes
        EXPECT_EQ(w[3], 0u); // no salt
        if (retries != nullptr)
            *retries = static_cast<int32_t>(w[0]);
        return h.errorcode;
    }

    int32_t keytabLogin(const std::string &principal, const std::string &keytab, uint32_t cipher,
                        LoginReply *r = nullptr)
    {
        uint32_t id = nextId++;
        std::string sent = keytab;
        if (cipher == 1)
            garble(reinterpret_cast<unsigned char *>(sent.data()), sent.size(), kSeed);
        else
            sent = encrypt(sent);
        std::string body = words({67, 2, 4242, 0, cipher}) + padded(nameField(principal, kSeed)) +
                           words({static_cast<uint32_t>(sent.size()), 1}) + padded(sent);
        EXPECT_TRUE(cl.send(gwHeaderBytes(id, kBody, kAuth, 259, 0, 0, kSeed) + body));
        LoginReply local;
        LoginReply *out = r != nullptr ? r : &local;
        EXPECT_TRUE(readLogin(out, id));
        return out->h.errorcode;
    }

    // Sends a request the session may serve only after a login.
    int32_t getcwd()
    {
        uint32_t id = nextId++;
        EXPECT_TRUE(cl.send(gwRequest(id, kFilesys, kGetcwd)));
        GwHeader h;
        EXPECT_TRUE(cl.readHeader(&h));
        EXPECT_EQ(h.requestId, id);
        return h.errorcode;
    }

    std::string getcwdLine() const { return "quor_Getcwd (1280/1799)"; }
};

TEST_F(GwAuth, ComboLoginEstablishesTheSessionKeyAndOpensTheSession)
{
    startSession();
    EXPECT_EQ(getcwd(), -13);
    LoginReply r;
    comboLogin("alice", &r);
    EXPECT_EQ(r.h.errorcode, 0);
    EXPECT_EQ(r.flags, 0x1u); // a session key is needed, the password is not sent in clear
    EXPECT_EQ(r.retryCount, 3);
    EXPECT_GT(r.expireTime, static_cast<uint32_t>(time(nullptr)) + 7 * 3600);

    std::string p, g;
    ASSERT_TRUE(dhParams(&p, &g));
    size_t plen = 0;
    const unsigned char *group14 = quorex_DHGroup14Prime(&plen);
    EXPECT_EQ(p, std::string(reinterpret_cast<const char *>(group14), plen));
    EXPECT_EQ(p.size(), 256u);
    EXPECT_EQ(g, std::string(1, '\x02'));
    ASSERT_TRUE(exchangeKeys());

    int32_t retries = -1;
    EXPECT_EQ(challenge("s3cre", 0, false, &retries), -10003);
    EXPECT_EQ(retries, 2);
    EXPECT_EQ(getcwd(), -13);
    EXPECT_EQ(challenge("s3cret", 0, false, &retries), 0);
    EXPECT_EQ(getcwd(), -38); // past authentication: served (not yet by this build)
    endSession();
    std::string l = log();
    EXPECT_NE(l.find("session 1: user alice authenticated by combo\n"), std::string::npos) << l;
    EXPECT_NE(l.find("session 1: combo login of alice refused (-10003): wrong password"), std::string::npos) << l;
    EXPECT_NE(l.find(getcwdLine() + " id 100 before authentication: refused"), std::string::npos) << l;
    EXPECT_EQ(l.find("s3cret"), std::string::npos);
    EXPECT_NE(events().find("\"event\":\"login\",\"session\":1,\"user\":\"alice\",\"method\":\"combo\",\"result\":0"),
              std::string::npos)
        << events();
}

TEST_F(GwAuth, ComboUnknownUserAndExhaustedAttemptsFail)
{
    startSession();
    LoginReply r;
    comboLogin("mallory", &r);
    EXPECT_EQ(r.h.errorcode, 0); // the reply does not tell whether the user exists
    ASSERT_TRUE(exchangeKeys());
    EXPECT_EQ(challenge("s3cret"), -10003);

    comboLogin("alice", &r);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(challenge("wrong"), -10003);
    // The login is used up: even the right password fails now.
    EXPECT_EQ(challenge("s3cret"), -10003);
    EXPECT_EQ(getcwd(), -13);
}

TEST_F(GwAuth, TokenCodeIsDemandedOnceAndItsResponseIsRecorded)
{
    startSession();
    LoginReply r;
    comboLogin("tok", &r);
    ASSERT_TRUE(exchangeKeys());
    EXPECT_EQ(challenge("pin"), -42009);
    EXPECT_EQ(challenge("654321", 2), -10003);
    EXPECT_EQ(challenge("123456", 2), 0);
    endSession();
    std::string ev = events();
    EXPECT_NE(ev.find("\"event\":\"challenge\",\"session\":1,\"id\":103,\"flags\":0,\"expect\":\"password\""),
              std::string::npos)
        << ev;
    EXPECT_NE(ev.find("\"event\":\"challenge\",\"session\":1,\"id\":105,\"flags\":2,\"expect\":\"token\""),
              std::string::npos)
        << ev;
}

TEST_F(GwAuth, ComboFaults)
{
    // token_next: the right password is answered -42009 once; the next
    // response is checked against the password again.
    startSession("token_next\n");
    LoginReply r;
    comboLogin("alice", &r);
    ASSERT_TRUE(exchangeKeys());
    EXPECT_EQ(challenge("s3cret"), -42009);
    EXPECT_EQ(challenge("s3cret", 2), 0);

    // combo_wrong, retry_count and cleartext_pw: the password goes in clear
    // and the first two right answers are refused.
    startSession("combo_wrong=2\nretry_count=0\ncleartext_pw\n");
    comboLogin("alice", &r);
    EXPECT_EQ(r.flags, 0x2u);
    EXPECT_EQ(r.retryCount, 0);
    EXPECT_EQ(challenge("s3cret", 0, true), -10003);
    EXPECT_EQ(challenge("s3cret", 0, true), -10003);
    EXPECT_EQ(challenge("s3cret", 0, true), 0);
    endSession();
    EXPECT_EQ(velktest::countOccurrences(events(), "\"fault\":\"combo_wrong\""), 2u) << events();
}

TEST_F(GwAuth, KeytabLoginComparesTheWholeFile)
{
    startSession();
    ASSERT_EQ(secParams(), 2u);
    ASSERT_TRUE(exchangeKeys());
    const std::string kt("\x05\x02keytab\0bytes\xff", 16);
    EXPECT_EQ(keytabLogin("alice", kt.substr(0, 15), 2), -10003);
    EXPECT_EQ(keytabLogin("alice", kt + "x", 2), -10003);
    EXPECT_EQ(keytabLogin("tok", kt, 2), -10003); // no keytab for that user
    EXPECT_EQ(getcwd(), -13);
    LoginReply r;
    EXPECT_EQ(keytabLogin("alice", kt, 2, &r), 0);
    EXPECT_EQ(r.flags, 0u);
    EXPECT_EQ(getcwd(), -38);
    // A second login on an authenticated connection is refused.
    EXPECT_EQ(keytabLogin("alice", kt, 2), -16);
    endSession();
    EXPECT_NE(log().find("session 1: user alice authenticated by keytab\n"), std::string::npos) << log();
    EXPECT_NE(log().find("keytab login of alice refused (-10003): the keytab does not match"), std::string::npos);

    // cipher=GARBLE: the keytab is scrambled instead of enciphered.
    startSession("cipher=GARBLE\n");
    ASSERT_EQ(secParams(), 1u);
    EXPECT_EQ(keytabLogin("alice", kt, 1), 0);
}

TEST_F(GwAuth, DiffieHellmanChecksAndFaults)
{
    startSession();
    std::string theirs;
    EXPECT_EQ(pubkey(std::string(1, '\x01'), &theirs).errorcode, -22);
    size_t plen = 0;
    const unsigned char *prime = quorex_DHGroup14Prime(&plen);
    std::string pMinus1(reinterpret_cast<const char *>(prime), plen);
    pMinus1.back() = static_cast<char>(pMinus1.back() - 1); // p is odd
    EXPECT_EQ(pubkey(pMinus1, &theirs).errorcode, -22);
    // No session key: a keytab enciphered with a made-up key is refused.
    key.assign(16, 0x11);
    EXPECT_EQ(keytabLogin("alice", "whatever", 2), -10003);

    std::string p, g;
    startSession("dh=weak\n");
    ASSERT_TRUE(dhParams(&p, &g));
    EXPECT_EQ(p, std::string(1, '\x17'));
    EXPECT_EQ(g, std::string(1, '\x05'));
    startSession("dh=g1\n");
    ASSERT_TRUE(dhParams(&p, &g));
    EXPECT_EQ(p.size(), 256u);
    EXPECT_EQ(g, std::string(1, '\x01'));
    startSession("dh=pubkey1\n");
    ASSERT_TRUE(dhParams(&p, &g));
    EXPECT_FALSE(exchangeKeys()); // the server's key 1 is refused by the client's check
}

TEST_F(GwAuth, PamConversationRunsTheScriptRoundByRound)
{
    startSession();
    ASSERT_EQ(secParams(), 2u);
    ASSERT_TRUE(exchangeKeys());
    const uint32_t loginId = nextId++;
    std::string user(257, '\0');
    user.replace(0, 5, "alice");
    std::string encUser = encrypt(user);
    ASSERT_EQ(encUser.size(), 272u);
    ASSERT_TRUE(cl.send(gwRequest(loginId, kAuth, 256, words({67, 2, 4242, 2, 2, 3}) + opaque(encUser))));

    struct Round {
        std::vector<std::pair<uint32_t, std::string>> msgs;
        std::vector<std::string> answers; // per message; "" without a response
    };
    const Round rounds[] = {
        {{{4, "Welcome to the test realm"}, {1, "Password: "}, {2, "Favourite colour? "}}, {"", "sesame", "blue"}},
        {{{3, "One more thing"}, {1, "PIN: "}}, {"", "4242"}},
    };
    for (const Round &rd : rounds) {
        LoginReply r;
        ASSERT_TRUE(readLogin(&r, loginId));
        EXPECT_EQ(r.h.errorcode, 0);
        EXPECT_EQ(r.flags, 0x20u);
        // The conversation request carries the login's id and a thread tag.
        GwHeader h;
        ASSERT_TRUE(cl.readHeader(&h));
        EXPECT_EQ(h.requestId, loginId);
        EXPECT_EQ(h.category, 512u);
        EXPECT_EQ(h.function, 32u);
        EXPECT_EQ(h.flags, kBody);
        EXPECT_NE(h.threadId, 0u);
        std::vector<uint32_t> w;
        ASSERT_TRUE(cl.readWords(1, &w));
        std::string enc;
        ASSERT_TRUE(readOpaque(&enc));
        ASSERT_EQ(w[0], rd.msgs.size());
        std::string plain = decrypt(enc);
        std::string expect;
        for (const auto &m : rd.msgs) {
            expect += std::string(1, static_cast<char>(m.first)) + std::string(3, '\0');
            gwPutU32(&expect, static_cast<uint32_t>(m.second.size() + 1));
            expect += m.second + std::string(1, '\0');
        }
        EXPECT_EQ(plain, expect);

        std::string packed;
        for (const std::string &a : rd.answers) {
            gwPutU32(&packed, a.empty() ? 0 : static_cast<uint32_t>(a.size() + 1));
            gwPutU32(&packed, 0);
            if (!a.empty())
                packed += a + std::string(1, '\0');
        }
        ASSERT_TRUE(cl.send(gwHeaderBytes(loginId, kBody | kTask, kAuth, 33, 0, h.threadId) +
                            words({static_cast<uint32_t>(rd.msgs.size())}) + opaque(encrypt(packed))));
    }
    LoginReply fin;
    ASSERT_TRUE(readLogin(&fin, loginId));
    EXPECT_EQ(fin.flags, 0x80000000u);
    EXPECT_EQ(fin.h.errorcode, 0);
    EXPECT_EQ(getcwd(), -38);
    endSession();
    EXPECT_NE(log().find("session 1: user alice authenticated by pam\n"), std::string::npos) << log();
    EXPECT_EQ(log().find("sesame"), std::string::npos);
}

TEST_F(GwAuth, PamWrongAnswerStrayTaskAndFaults)
{
    startSession();
    ASSERT_EQ(secParams(), 2u);
    ASSERT_TRUE(exchangeKeys());
    std::string user(257, '\0');
    user.replace(0, 5, "alice");
    ASSERT_TRUE(cl.send(gwRequest(300, kAuth, 256, words({67, 2, 4242, 2, 2, 3}) + opaque(encrypt(user)))));
    LoginReply r;
    ASSERT_TRUE(readLogin(&r, 300));
    GwHeader h;
    std::vector<uint32_t> w;
    std::string enc;
    ASSERT_TRUE(cl.readHeader(&h) && cl.readWords(1, &w) && readOpaque(&enc));
    std::string packed = words({0, 0, 7, 0}) + std::string("sesamX\0", 7) + words({5, 0}) + std::string("blue\0", 5);
    // A task message with another thread tag is not the login's answer.
    ASSERT_TRUE(cl.send(gwHeaderBytes(300, kBody | kTask, kAuth, 33, 0, h.threadId + 1) + words({3}) +
                        opaque(encrypt(packed))));
    ASSERT_TRUE(cl.send(gwHeaderBytes(300, kBody | kTask, kAuth, 33, 0, h.threadId) + words({3}) +
                        opaque(encrypt(packed))));
    LoginReply fin;
    ASSERT_TRUE(readLogin(&fin, 300));
    EXPECT_EQ(fin.flags, 0x80000000u);
    EXPECT_EQ(fin.h.errorcode, -10003);
    EXPECT_EQ(getcwd(), -13);
    endSession();
    EXPECT_NE(log().find("no login waits for it; dropped"), std::string::npos) << log();

    for (const char *fault : {"pam_count=33\n", "pam_style=5\n"}) {
        startSession(fault);
        ASSERT_EQ(secParams(), 2u);
        ASSERT_TRUE(exchangeKeys());
        ASSERT_TRUE(cl.send(gwRequest(301, kAuth, 256, words({67, 2, 4242, 2, 2, 3}) + opaque(encrypt(user)))));
        ASSERT_TRUE(readLogin(&r, 301));
        ASSERT_TRUE(cl.readHeader(&h) && cl.readWords(1, &w) && readOpaque(&enc));
        std::string plain = decrypt(enc);
        if (fault[4] == 'c') {
            EXPECT_EQ(w[0], 33u);
            EXPECT_EQ(plain.substr(0, 4), std::string("\x04\0\0\0", 4)); // the script's own first message
            EXPECT_NE(plain.find(std::string("message 33\0", 11)), std::string::npos);
        } else {
            EXPECT_EQ(w[0], 3u);
            EXPECT_EQ(plain[0], '\x05');
        }
    }
}

TEST_F(GwAuth, RefusalsFromTheUsersFileAndTheFaultScript)
{
    startSession();
    LoginReply r;
    comboLogin("barred", &r);
    EXPECT_EQ(r.h.errorcode, -50512);
    EXPECT_EQ(r.errorCode, -50512);
    EXPECT_EQ(r.flags, 0x20000000u);
    EXPECT_EQ(r.userMsg, "Too many sessions from your host");

    startSession("refuse=-43000\n");
    comboLogin("alice", &r);
    EXPECT_EQ(r.h.errorcode, -43000);
    EXPECT_EQ(r.flags, 0u);
    EXPECT_EQ(r.userMsg, "");
    ASSERT_EQ(secParams(), 2u);
    ASSERT_TRUE(exchangeKeys());
    // A refused PAM login's reply is final.
    std::string user(257, '\0');
    user.replace(0, 5, "alice");
    ASSERT_TRUE(cl.send(gwRequest(400, kAuth, 256, words({67, 2, 4242, 2, 2, 3}) + opaque(encrypt(user)))));
    ASSERT_TRUE(readLogin(&r, 400));
    EXPECT_EQ(r.h.errorcode, -43000);
    EXPECT_EQ(r.flags, 0x80000000u);
    EXPECT_EQ(getcwd(), -13);
}

TEST_F(GwAuth, RetryLaterThenReconnectOnANewConnection)
{
    startSession();
    ASSERT_EQ(secParams(), 2u);
    ASSERT_TRUE(exchangeKeys());
    LoginReply r;
    const uint64_t before = static_cast<uint64_t>(time(nullptr));
    EXPECT_EQ(keytabLogin("later", std::string("\x05\x02keytab\0bytes\xff", 16), 2, &r), -43000);
    EXPECT_EQ(r.flags, 0x40000000u);
    EXPECT_GE(r.retryTime, before);
    EXPECT_LE(r.retryTime, static_cast<uint64_t>(time(nullptr)));
    EXPECT_EQ(r.userMsg, "Busy - come back");
    EXPECT_EQ(r.hmac.size(), 32u);
    ASSERT_GT(r.packet.size(), 5u + 16u + 16u);
    EXPECT_EQ(r.packet.substr(0, 9), std::string("\0\0\0\x05later", 9));
    EXPECT_EQ(r.packet.find("Busy"), std::string::npos);

    auto reconnect = [&](const std::string &packet, const std::string &hmac) {
        uint32_t id = nextId++;
        EXPECT_TRUE(cl.send(gwRequest(id, kAuth, 128, words({67, 2, 4242}) + opaque(packet) + opaque(hmac))));
        LoginReply rr;
        EXPECT_TRUE(readLogin(&rr, id));
        return rr.h.errorcode;
    };
    // The packet opens a new connection once; tampering breaks the signature.
    startSession();
    std::string bad = r.packet;
    bad[5] ^= 0x20;
    EXPECT_EQ(reconnect(bad, r.hmac), -51021);
    EXPECT_EQ(reconnect(r.packet, r.hmac.substr(0, 31)), -51021);
    EXPECT_EQ(getcwd(), -13);
    EXPECT_EQ(reconnect(r.packet, r.hmac), 0);
    EXPECT_EQ(getcwd(), -38);

    // The fault forces the outcome whatever the packet.
    startSession("reconnect=-51040\n");
    EXPECT_EQ(reconnect(r.packet, r.hmac), -51040);
    startSession("retry_later=30,Maintenance\n");
    comboLogin("alice", &r);
    EXPECT_EQ(r.h.errorcode, -43000);
    EXPECT_EQ(r.flags, 0x40000000u);
    EXPECT_EQ(r.userMsg, "Maintenance");
    startSession();
    EXPECT_EQ(reconnect(r.packet, r.hmac), -51035); // 30 seconds too early
    endSession();
    EXPECT_NE(log().find("session 2: user later authenticated by reconnect\n"), std::string::npos) << log();
}

TEST(GwReconnectPacket, WindowAndSignature)
{
    std::vector<unsigned char> packet, mac;
    ASSERT_EQ(gw_ReconnectPacketBuild("bob", 1000, 1010, &packet, &mac), 0);
    std::string user;
    EXPECT_EQ(gw_ReconnectPacketCheck(packet.data(), packet.size(), mac.data(), mac.size(), 1009, &user), -51035);
    EXPECT_EQ(gw_ReconnectPacketCheck(packet.data(), packet.size(), mac.data(), mac.size(), 1010, &user), 0);
    EXPECT_EQ(user, "bob");
    EXPECT_EQ(gw_ReconnectPacketCheck(packet.data(), packet.size(), mac.data(), mac.size(),
                                      1010 + GW_RECONNECT_WINDOW_SECS, &user),
              0);
    EXPECT_EQ(gw_ReconnectPacketCheck(packet.data(), packet.size(), mac.data(), mac.size(),
                                      1011 + GW_RECONNECT_WINDOW_SECS, &user),
              -51040);
    mac[31] ^= 1;
    EXPECT_EQ(gw_ReconnectPacketCheck(packet.data(), packet.size(), mac.data(), mac.size(), 1010, &user), -51021);
    mac[31] ^= 1;
    packet.pop_back();
    EXPECT_EQ(gw_ReconnectPacketCheck(packet.data(), packet.size(), mac.data(), mac.size(), 1010, &user), -51021);
    // Two packets for the same user and times differ (the nonce).
    std::vector<unsigned char> p2, m2;
    ASSERT_EQ(gw_ReconnectPacketBuild("bob", 1000, 1010, &p2, &m2), 0);
    packet.clear();
    ASSERT_EQ(gw_ReconnectPacketBuild("bob", 1000, 1010, &packet, &mac), 0);
    EXPECT_NE(packet, p2);
    EXPECT_EQ(gw_ReconnectPacketBuild("", 1000, 1010, &packet, &mac), -51000);
}

} // namespace
