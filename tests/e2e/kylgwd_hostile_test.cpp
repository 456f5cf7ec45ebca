// kylgwd under what only a hostile client sends, written word by word from
// the wire tables with the raw client: a table of sessions that abuse the
// protocol, each with the replies it must get or the close it must cause,
// and a seeded loop of more than 10,000 hostile cases from several threads
// mixed with well-formed requests whose replies must still arrive in order.
// Afterwards kylgwd still serves a session that stayed open and a new one,
// and stops cleanly on SIGTERM.  Also what a default daemon refuses (a
// keytab through the scrambler) and how it takes SIGHUP (log reopened).

#include "gw_rawclient.h"
#include "kylgwd_fixture.h"
#include "velk_testsupport.h"

#include <cctype>
#include <gtest/gtest.h>

#include <kylgw_catalogue.h>
#include <quorex_crypto.h>

#include <atomic>
#include <mutex>
#include <cstdint>
#include <csignal>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using velktest::GwHeader;
using velktest::GwRawClient;
using velktest::gwHeaderBytes;
using velktest::gwPutU32;
using velktest::gwRequest;
using velktest::gwXdrString;
using velktest::kGwBodyFlag;

namespace {

constexpr uint32_t kCatConnection = 256, kCatAuth = 512, kCatFilesys = 1280, kCatLog = 1792;
constexpr size_t kSiteInfoBytes = 136;
constexpr uint32_t kSeed = 0x01020304; // the login name scrambler's seed; byte sum 10
const std::string kKeytab("\x05\x02\x00\x01principal\x00\xfe\xff", 16);

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

// The scrambler: k = (sum of the seed's bytes) ^ 0xA5; per byte: xor with
// k, then k rotates left by one bit.
std::string scramble(std::string s)
{
    unsigned k = 10 ^ 0xA5;
    for (char &ch : s) {
        ch = static_cast<char>(static_cast<unsigned char>(ch) ^ k);
        k = ((k << 1) | (k >> 7)) & 0xff;
    }
    return s;
}

// The 257-byte login name field, scrambled.
std::string nameField(const std::string &name)
{
    std::string f(257, '\0');
    f.replace(0, name.size(), name);
    return padded(scramble(f));
}

std::string siteInfoRequest(uint32_t id)
{
    return gwRequest(id, kCatConnection, 1, words({67, 2}));
}

std::string logmsgRequest(uint32_t id, uint32_t fn, const std::string &text)
{
    return gwRequest(id, kCatLog, fn, words({0x2000000, 0x6000000}) + gwXdrString(text));
}

// A keytab login (the keytab scrambled, as the cipher=GARBLE fault asks).
std::string keytabLogin(uint32_t id, const std::string &user, const std::string &keytab)
{
    std::string sent = scramble(keytab);
    return gwHeaderBytes(id, kGwBodyFlag, kCatAuth, 259, 0, 0, kSeed) + words({67, 2, 99, 0, 1}) + nameField(user) +
           words({static_cast<uint32_t>(sent.size()), 1}) + padded(sent);
}

// A challenge response with the password in clear (the cleartext_pw fault).

std::string response(uint32_t id, const std::string &password)
{
    return gwRequest(id, kCatAuth, 304, gwXdrString(password + std::string(1, '\0')));
}

std::string getcwd(uint32_t id)
{
    return gwRequest(id, kCatFilesys, 1799);
}

std::string secParams(uint32_t id)
{
    return gwRequest(id, kCatAuth, 16, words({592, 2, 0, 0, 0, 0}));
}

// A users-file entry with the test keytab (and a password when hash is set).
std::string keytabUser(const velktest::ScratchDir &dir, const std::string &hash, const std::string &name, uid_t uid,
                       gid_t gid, const std::string &home)
{
    velktest::writeFile(dir / (name + ".kt"), kKeytab);
    return "  " + name + " = {\n" + (hash.empty() ? "" : "    password = " + hash + "\n") +
           "    uid = " + std::to_string(uid) + "\n    gid = " + std::to_string(gid) + "\n    home = " + home +
           "\n    keytab = " + (dir / (name + ".kt")) + "\n  }\n";
}

// A request to open or create path, without class-of-service hints.
std::string openRequest(uint32_t id, const std::string &path, uint32_t oflag, uint32_t mode = 0644)
{
    return gwRequest(id, kCatFilesys, 3840,
                     gwXdrString(path) + words({oflag, mode, 0, 1}) + std::string(128, '\0'));
}

// What the session does with a request: reply with this errorcode, close
// the connection, or say nothing.
constexpr int32_t kClosed = 1, kNoReply = 3;

struct Step {
    std::string request;
    int32_t result;
};

struct Case {
    const char *what;
    std::vector<Step> steps;
    const char *logged; // a line of the daemon log this case causes
};

// Reads the reply to id and skips its body, whatever its length: the test
// follows every request with a request of an unknown function and no body,
// whose reply header (sentinel id, no flags) ends the reply before it.
bool readReply(GwRawClient &c, uint32_t id, GwHeader *h)
{
    constexpr uint32_t kSentinel = 0xFFFF0000u;
    if (!c.readHeader(h) || h->requestId != id)
        return false;
    std::string tail = words({kSentinel, 0}), got, more;
    while (got.size() < velktest::kGwHeaderSize || got.compare(got.size() - 36, 8, "API_MSGH") != 0 ||
           got.compare(got.size() - 28, 8, tail) != 0) {
        if (!c.read(4, &more))
            return false;
        got += more;
    }
    return true;
}

TEST(KylgwdHostile, AbusiveAndScriptedSessionsGetTheirRepliesOrAreClosed)
{
    velktest::ScratchDir dir;
    velktest::KylgwdProcess gw(dir.path());
    const std::string hash = velktest::hashPassword("s3cret");
    // As root kylgwd takes each user's identity: alice owns the served
    // root, bob his home inside it.
    const bool root = geteuid() == 0;
    const uid_t alice = root ? 61001 : getuid(), bob = root ? 61002 : getuid();
    auto user = [&](const std::string &name, uid_t id, const std::string &home) {
        return keytabUser(dir, hash, name, id, root ? id : getgid(), home);
    };
    // A small log cap per session; keytabs through the scrambler allowed.
    constexpr size_t kLogCap = 1000;
    velktest::writeFile(dir / "kylgwd.conf", "Site = {\n  max_log_bytes_per_session = " + std::to_string(kLogCap) +
                                                 "\n  max_log_bytes_per_user = 1600\n  log_interval = 600"
                                                 "\n  allow_weak_keytab = yes\n}\nUsers = {\n" +
                                                 user("alice", alice, "/") + user("bob", bob, "/bob") + "}\n");
    ASSERT_EQ(mkdir((dir / "root").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir / "root/fifo").c_str(), 0666), 0);
    ASSERT_EQ(chmod((dir / "root/fifo").c_str(), 0666), 0);
    ASSERT_EQ(mkdir((dir / "root/bob").c_str(), 0755), 0);
    ASSERT_EQ(chown((dir / "root").c_str(), alice, root ? alice : getgid()), 0);
    ASSERT_EQ(chown((dir / "root/bob").c_str(), bob, root ? bob : getgid()), 0);
    // Logins the raw client can make: the keytab scrambled, the password in clear.
    velktest::writeFile(dir / "faults", "cipher=GARBLE\ncleartext_pw\n");
    ASSERT_TRUE(gw.start({"--config", dir / "kylgwd.conf", "--faults", dir / "faults"}));

    const std::string cap = words({0, 0}) + gwXdrString(std::string(4097, 'a'));
    size_t primeBytes = 0;
    const unsigned char *prime = quorex_DHGroup14Prime(&primeBytes);
    std::string primeMinusOne(reinterpret_cast<const char *>(prime), primeBytes);
    primeMinusOne.back() = static_cast<char>(primeMinusOne.back() - 1); // p is odd
    std::vector<Case> cases = {
        {"unknown functions without a body, a file operation before a login",
         {{gwRequest(1, kCatAuth, 9999), -41000},
          {gwRequest(2, kCatFilesys, 9999), -22},
          {gwRequest(3, 5000, 1), -22},
          {getcwd(4), -13},
          {siteInfoRequest(5), 0}},
         "quor_Getcwd (1280/1799) id 4 before authentication: refused"},
        {"an unknown function with a body cannot be skipped",
         {{gwRequest(6, kCatFilesys, 9999, std::string(8, 'x')), kClosed}},
         "a body of unknown type cannot be skipped"},
        {"a log text past its cap",
         {{gwRequest(7, kCatLog, 257, cap), kClosed}},
         "request 1792/257 id 7 flags 0x80000000: request body does not decode"},
        {"an openlog subsystem of a huge length",
         {{gwRequest(8, kCatLog, 256, words({0, 0xFFFFFFF0u})), kClosed}},
         "request 1792/256 id 8 flags 0x80000000: request body does not decode"},
        {"a task message no login waits for",
         {{gwRequest(9, kCatAuth, 33, words({1, 16}) + std::string(16, 'Z'), velktest::kGwTaskFlag), kNoReply},
          {siteInfoRequest(10), 0}},
         "no login waits for it; dropped"},
        {"log messages before a login",
         {{gwRequest(11, kCatLog, 256, words({0x60000}) + gwXdrString("velk")), -13},
          {logmsgRequest(12, 257, "unauthenticated text"), -13},
          {gwRequest(13, kCatLog, 258, words({0})), -13}},
         nullptr},
        {"format directives in log texts are data",
         {{secParams(35), 0},
          {keytabLogin(36, "alice", kKeytab), 0},
          {gwRequest(37, kCatLog, 256, words({0x60000}) + gwXdrString("velk")), 0},
          {logmsgRequest(38, 257, "transfer %s%n %d%x done"), 0},
          {gwRequest(39, kCatLog, 258, words({0})), 0}},
         "logmsg user=alice flags=0x2000000 class=0x6000000 text=transfer %s%n %d%x done\n"},
        {"control bytes and backslashes in log texts are escaped",
         {{secParams(52), 0},
          {keytabLogin(53, "alice", kKeytab), 0},
          {logmsgRequest(54, 257, "red \x1b[31mtext\x07 back\\slash\x7f"), 0}},
         "text=red \\033[31mtext\\007 back\\\\slash\\177\n"},
        {"a FIFO in the served tree is refused, the session and its directory go on",
         {{secParams(40), 0},
          {keytabLogin(41, "alice", kKeytab), 0},
          {openRequest(42, "/fifo", 1), -22},
          {openRequest(43, "/fifo", 2), -22},
          {openRequest(44, "/fifo", 4), -22},
          {openRequest(45, "/fifo", 2 | 16), -22},
          {gwRequest(46, kCatFilesys, 4873, gwXdrString("/fifo")), 0}, // stat
          {gwRequest(47, kCatFilesys, 3842, gwXdrString("/")), 0},     // opendir, then read it
          {gwRequest(48, kCatFilesys, 4609, words({0, 0, 0, 100, 1})), 0},
          {getcwd(49), 0}},
         nullptr},
        {"public keys 1 and p - 1",
         {{gwRequest(14, kCatAuth, 20, gwXdrString(std::string(1, '\x01'))), -22},
          {gwRequest(15, kCatAuth, 20, gwXdrString(primeMinusOne)), -22}},
         nullptr},
        {"keytabs that do not match, then a second login",
         {{secParams(16), 0},
          {keytabLogin(17, "alice", kKeytab.substr(1)), -10003},
          {keytabLogin(18, "alice", kKeytab + "x"), -10003},
          {keytabLogin(19, "mallory", kKeytab), -10003},
          {getcwd(20), -13},
          {keytabLogin(21, "alice", kKeytab), 0},
          {getcwd(22), 0},
          {keytabLogin(23, "alice", kKeytab), -16}},
         "keytab login of alice refused (-10003): the keytab does not match\n"},
        {"a challenge response with no login waiting for it",
         {{response(33, "s3cret"), -10003}, {getcwd(34), -13}},
         nullptr},
        {"password guesses past the retries",
         {{gwHeaderBytes(24, kGwBodyFlag, kCatAuth, 260, 0, 0, kSeed) + words({67, 2, 99, 2, 3}) + nameField("alice"),
           0}, // a combo login
          {response(25, "S3cret"), -10003},
          {response(26, "guess"), -10003},
          {response(27, "guess"), -10003},
          {response(28, "s3cret"), -10003},
          {getcwd(29), -13}},
         "combo login of alice refused (-10003): wrong password"},
        {"forged and cut reconnect packets",
         {{gwRequest(30, kCatAuth, 128,
                     words({67, 2, 99}) + gwXdrString(std::string("\0\0\0\x05" "alice", 9) + std::string(32, 'n')) +
                         gwXdrString(std::string(32, 'h'))),
           -51021},
          {gwRequest(31, kCatAuth, 128, words({67, 2, 99}) + gwXdrString("x") + gwXdrString(std::string(31, 'h'))),
           -51021},
          {getcwd(32), -13}},
         nullptr},
    };
    // Twenty log lines of one length.
    Case capped{"a session's log past its cap", {{secParams(50), 0}, {keytabLogin(51, "alice", kKeytab), 0}},
                "log limit of 1000 bytes reached, further messages dropped\n"};
    for (uint32_t i = 0; i < 20; i++)
        capped.steps.push_back({logmsgRequest(60 + i, 257, "capped-" + std::to_string(10 + i) + std::string(60, '.')), 0});
    cases.push_back(capped);
    // A new session of the same user does not bring a new allowance.
    Case again{"the same user's next session, past the user's allowance",
               {{secParams(80), 0}, {keytabLogin(81, "alice", kKeytab), 0}},
               "user alice: log limit of 1600 bytes per 600 seconds reached, further messages dropped\n"};
    for (uint32_t i = 0; i < 20; i++)
        again.steps.push_back({logmsgRequest(82 + i, 257, "again-" + std::to_string(10 + i) + std::string(60, '.')), 0});
    cases.push_back(again);
    // Another user's private file, refused by the kernel under bob's identity.
    if (root)
        cases.insert(cases.end(), {{"alice makes a private file",
                                    {{gwRequest(70, kCatAuth, 16, words({592, 2, 0, 0, 0, 0})), 0},
                                     {keytabLogin(71, "alice", kKeytab), 0},
                                     {openRequest(72, "private", 2 | 16, 0600), 0}},
                                    nullptr},
                                   {"bob tries it",
                                    {{gwRequest(73, kCatAuth, 16, words({592, 2, 0, 0, 0, 0})), 0},
                                     {keytabLogin(74, "bob", kKeytab), 0},
                                     {openRequest(75, "/private", 1), -13},
                                     {openRequest(76, "/bobs", 2 | 16, 0600), -13},
                                     {openRequest(77, "mine", 2 | 16, 0600), 0}},
                                    nullptr}});
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        GwRawClient c;
        GwHeader h;
        std::vector<uint32_t> greeting;
        ASSERT_TRUE(c.connect(gw.port()) && c.readGreeting(&h, &greeting));
        for (const Step &s : k.steps) {
            uint32_t id = velktest::gwGetU32(s.request, 8);
            ASSERT_TRUE(c.send(s.request + (s.result == kNoReply ? "" : gwRequest(0xFFFF0000u, kCatFilesys, 9999))));
            if (s.result == kClosed) {
                EXPECT_TRUE(c.closedByPeer()) << "request " << id;
            } else if (s.result != kNoReply) {
                ASSERT_TRUE(readReply(c, id, &h)) << "request " << id;
                EXPECT_EQ(h.errorcode, s.result) << "request " << id;
                EXPECT_EQ(h.sanity, "API_MSGH") << "request " << id;
            }
        }
        if (k.logged != nullptr) {
            EXPECT_TRUE(gw.waitForLog(k.logged)) << gw.logText();
        }
    }
    struct stat st {};
    EXPECT_TRUE(!root || (stat((dir / "root/private").c_str(), &st) == 0 && st.st_uid == alice));
    EXPECT_TRUE(!root || (stat((dir / "root/bob/mine").c_str(), &st) == 0 && st.st_uid == bob));
    const std::string log = gw.logText();
    EXPECT_EQ(log.find("unauthenticated text"), std::string::npos);
    // The capped session kept its first messages, as many as fit in the
    // cap, then wrote one line about the rest.
    std::vector<std::string> kept;
    for (const std::string &l : velktest::lines(log))
        if (l.find("text=capped-") != std::string::npos)
            kept.push_back(l);
    ASSERT_FALSE(kept.empty());
    EXPECT_NE(kept.back().find("capped-" + std::to_string(9 + kept.size())), std::string::npos);
    EXPECT_LE(kept.size() * (kept[0].size() + 1), kLogCap);
    EXPECT_GT((kept.size() + 1) * (kept[0].size() + 1), kLogCap);
    EXPECT_EQ(velktest::countOccurrences(log, "log limit of 1000 bytes reached, further messages dropped"), 1u);
    // The next session of that user kept only what was left of the user's
    // allowance, then wrote one line about the rest.
    size_t keptAgain = velktest::countOccurrences(log, "text=again-");
    EXPECT_GE(keptAgain, 1u);
    EXPECT_LT(keptAgain * (kept[0].size() + 1), kLogCap);
    EXPECT_EQ(velktest::countOccurrences(log, "user alice: log limit"), 1u);
    EXPECT_EQ(log.find("s3cret"), std::string::npos);
    EXPECT_EQ(log.find("principal"), std::string::npos); // the keytab's bytes
    EXPECT_EQ(gw.stop(), 0);
}

// What a default daemon does: a keytab sent through the scrambler is
// refused as an unsupported method and the session stays unauthenticated;
// SIGHUP reopens the daemon log and the event log at their paths (after
// they were renamed away) and the daemon goes on serving.
TEST(KylgwdHostile, DefaultDaemonRefusesAWeakKeytabAndReopensItsLogsOnSighup)
{
    velktest::ScratchDir dir;
    velktest::KylgwdProcess gw(dir.path());
    velktest::writeFile(dir / "kylgwd.conf", "Users = {\n" + keytabUser(dir, "", "alice", getuid(), getgid(), "/") + "}\n");
    velktest::writeFile(dir / "faults", "cipher=GARBLE\n");
    ASSERT_TRUE(gw.start({"--config", dir / "kylgwd.conf", "--faults", dir / "faults", "--events", dir / "events"}));
    const std::vector<Step> steps = {
        {secParams(1), 0}, {keytabLogin(2, "alice", kKeytab), -42005}, {getcwd(3), -13}, {gwRequest(4, kCatFilesys, 9999), -22}};
    const std::string renamed = dir / "kylgwd.log.1";
    auto served = [](int session) { return "session " + std::to_string(session) + ": request 1280/9999 id 4: unknown"; };
    for (int round = 0; round < 2; round++) {
        GwRawClient c;
        GwHeader h;
        std::vector<uint32_t> greeting;
        ASSERT_TRUE(c.connect(gw.port()) && c.readGreeting(&h, &greeting));
        for (const Step &s : steps) {
            ASSERT_TRUE(c.send(s.request + gwRequest(0xFFFF0000u, kCatFilesys, 9999)));
            ASSERT_TRUE(readReply(c, velktest::gwGetU32(s.request, 8), &h));
            EXPECT_EQ(h.errorcode, s.result);
        }
        ASSERT_TRUE(gw.waitForLog(served(round + 1)));
        if (round == 0) {
            ASSERT_EQ(rename((dir / "kylgwd.log").c_str(), renamed.c_str()), 0);
            ASSERT_EQ(rename((dir / "events").c_str(), (dir / "events.1").c_str()), 0);
            ASSERT_EQ(kill(gw.pid(), SIGHUP), 0);
            ASSERT_TRUE(gw.waitForLog("received SIGHUP: reopened the log files", 1, 10)) << velktest::readFile(renamed);
        }
    }
    EXPECT_NE(gw.logText().find("keytab login of alice refused (-42005)"), std::string::npos);
    // Each session's lines went to the file at the configured path then.
    EXPECT_NE(velktest::readFile(renamed).find(served(1)), std::string::npos);
    EXPECT_EQ(velktest::readFile(renamed).find(served(2)), std::string::npos);
    EXPECT_EQ(gw.logText().find(served(1)), std::string::npos);
    EXPECT_NE(velktest::readFile(dir / "events").find("\"event\":\"request\""), std::string::npos);
    EXPECT_EQ(velktest::readFile(dir / "events.1").find("\"session\":2"), std::string::npos);
    EXPECT_EQ(gw.stop(), 0);
}

constexpr int kClientThreads = 4;
constexpr int kCasesPerThread = 2600;
constexpr uint32_t kFuzzSeed = 0x6b796c67;

constexpr uint16_t kCategories[] = {256, 512, 1280, 1536, 1792, 2048, 5632, 5888};
// Values that make a count or length field hostile.
constexpr uint32_t kHugeValues[] = {0xFFFFFFFFu, 0xFFFFFFF0u, 0x80000000u, 0x7FFFFFFFu, 0x00100001u, 0x04000001u,
                                    0x00001001u, 0x00000401u};

struct Fuzzer {
    std::mt19937 rng;
    std::vector<const kylgw_msgtype_t *> bodied; // catalogued requests that carry a body
    explicit Fuzzer(uint32_t seed) : rng(seed)
    {
        kylgw_ForEachMsgType(
            [](const kylgw_msgtype_t *row, void *rows) {
                if (row->request != nullptr)
                    static_cast<std::vector<const kylgw_msgtype_t *> *>(rows)->push_back(row);
            },
            &bodied);
    }

    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng() % n); }
    std::string bytes(size_t n)
    {
        std::string s(n, '\0');
        for (char &c : s)
            c = static_cast<char>(rng());
        return s;
    }

    // A request that never ends the session: a function no catalogue has
    // (replied -22 or -41000 without a body), a site information request,
    // or a gateway log message with a random text (-13 before a login).
    // *bodyBytes is the size of its reply body, *failing whether its
    // errorcode is negative.
    std::string wellFormed(uint32_t id, size_t *bodyBytes, bool *failing)
    {
        *bodyBytes = 0;
        *failing = false;
        switch (below(3)) {
        case 0:
            *failing = true;
            return gwRequest(id, kCategories[below(8)], 40000 + below(25000));
        case 1:
            *bodyBytes = kSiteInfoBytes;
            return siteInfoRequest(id);
        default: {
            *failing = true;
            std::string text;
            for (size_t i = 0, n = below(200); i < n; i++)
                text.push_back("%sndx \\\n\t%%abc"[below(15)]);
            return gwRequest(id, kCatLog, 257, words({static_cast<uint32_t>(rng()), static_cast<uint32_t>(rng())}) +
                                                   gwXdrString(text));
        }
        }
    }

    // A body of words, some of them hostile counts and lengths.
    std::string hostileBody()
    {
        std::string body;
        for (size_t i = 0, n = 1 + below(48); i < n; i++)
            gwPutU32(&body, below(3) == 0 ? kHugeValues[below(8)] : (below(2) ? below(64) : static_cast<uint32_t>(rng())));
        return body;
    }

    // A message that should end the session.  *reset asks the client to
    // reset the connection right after sending.
    std::string ending(uint32_t id, bool *reset)
    {
        *reset = false;
        const kylgw_msgtype_t *op = bodied[below(static_cast<uint32_t>(bodied.size()))];
        switch (below(8)) {
        case 0:
            return bytes(1 + below(300));
        case 1: { // one sanity byte changed
            std::string m = siteInfoRequest(id);
            m[below(8)] ^= static_cast<char>(1 + below(255));
            return m;
        }
        case 2: // a 16-bit field with its upper half set
            return gwHeaderBytes(id, 0, 0x10000u | kCatConnection, 1);
        case 3: // a body of unknown type
            return gwRequest(id, kCategories[below(8)], 40000 + below(25000), bytes(4 + below(64)));
        case 4: { // a catalogued request cut short
            std::string body = hostileBody();
            return gwRequest(id, op->category, op->function, body.substr(0, below(static_cast<uint32_t>(body.size()))));
        }
        case 5: // huge counts and lengths
        case 6:
            return gwRequest(id, op->category, op->function, hostileBody());
        default: { // reset in the middle of a message
            *reset = true;
            std::string m = gwRequest(id, op->category, op->function, hostileBody());
            return m.substr(0, 1 + below(static_cast<uint32_t>(m.size() - 1)));
        }
        }
    }
};

struct Tally {
    std::atomic<int> cases{0}, connections{0};
    std::mutex mu;
    int failures = 0; // and the first one's text, under mu
    std::string firstFailure;

    void fail(const std::string &what)
    {
        std::lock_guard<std::mutex> g(mu);
        if (failures++ == 0)
            firstFailure = what;
    }
};

// One client thread: connections of a few well-formed requests each, ended
// by one hostile case.
void clientLoop(int port, uint32_t seed, int cases, Tally *tally)
{
    Fuzzer fz(seed);
    uint32_t id = 1;
    for (int done = 0; done < cases;) {
        GwRawClient c;
        GwHeader h;
        std::vector<uint32_t> words;
        if (!c.connect(port) || !c.readGreeting(&h, &words) || h.sanity != "API_MSGH") {
            tally->fail("no greeting on connection " + std::to_string(tally->connections.load()));
            return;
        }
        tally->connections++;

        struct Expected {
            uint32_t id;
            size_t bodyBytes;
            bool failing;
        };
        std::vector<Expected> expected;
        std::string out;
        size_t k = fz.below(16);
        for (size_t i = 0; i < k; i++) {
            Expected e{id++, 0, false};
            out += fz.wellFormed(e.id, &e.bodyBytes, &e.failing);
            expected.push_back(e);
        }
        bool reset = false;
        out += fz.ending(id++, &reset);
        done += static_cast<int>(k) + 1;
        tally->cases += static_cast<int>(k) + 1;
        (void)c.send(out); // the server may close before it has read everything
        if (reset) {
            c.reset();
            continue;
        }
        c.shutdownWrite();
        bool closed = false;
        std::string in = c.drain(16 << 20, velktest::kGwIoTimeoutMs, &closed);
        if (!closed) {
            tally->fail("connection not closed after a hostile case");
            continue;
        }
        // The replies to the well-formed requests come first, in order.
        size_t off = 0;
        for (const auto &e : expected) {
            if (in.size() < off + velktest::kGwHeaderSize) {
                tally->fail("reply to request " + std::to_string(e.id) + " missing");
                break;
            }
            GwHeader r = velktest::gwParseHeader(in.substr(off, velktest::kGwHeaderSize));
            off += velktest::kGwHeaderSize + e.bodyBytes;
            if (r.sanity != "API_MSGH" || r.requestId != e.id || ((r.flags & kGwBodyFlag) != 0) != (e.bodyBytes > 0) ||
                (r.errorcode < 0) != e.failing) {
                tally->fail("bad reply to request " + std::to_string(e.id) + ": id " + std::to_string(r.requestId) +
                            " err " + std::to_string(r.errorcode));
                break;
            }
        }
    }
}

TEST(KylgwdHostile, SurvivesTenThousandHostileCasesAndStopsCleanly)
{
    velktest::ScratchDir scratch;
    velktest::KylgwdProcess gw(scratch.path());
    ASSERT_TRUE(gw.start());

    // A session that stays open through the storm.
    GwRawClient steady;
    GwHeader h;
    std::vector<uint32_t> words;
    ASSERT_TRUE(steady.connect(gw.port()));
    ASSERT_TRUE(steady.readGreeting(&h, &words));

    Tally tally;
    std::vector<std::thread> threads;
    for (int t = 0; t < kClientThreads; t++)
        threads.emplace_back(clientLoop, gw.port(), kFuzzSeed + static_cast<uint32_t>(t), kCasesPerThread, &tally);
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(tally.failures, 0) << "seed " << kFuzzSeed << ": " << tally.firstFailure;
    EXPECT_GE(tally.cases.load(), 10000);
    EXPECT_GT(tally.connections.load(), 500);

    // The open session and a new one are still served.
    ASSERT_TRUE(steady.send(siteInfoRequest(77)));
    ASSERT_TRUE(steady.readHeader(&h));
    EXPECT_EQ(h.requestId, 77u);
    EXPECT_EQ(h.flags, kGwBodyFlag);
    ASSERT_TRUE(steady.readWords(kSiteInfoBytes / 4, &words));
    EXPECT_EQ(words[5], 67u);
    GwRawClient c;
    ASSERT_TRUE(c.connect(gw.port()));
    ASSERT_TRUE(c.readGreeting(&h, &words));
    ASSERT_TRUE(c.send(siteInfoRequest(78)));
    ASSERT_TRUE(c.readHeader(&h));
    EXPECT_EQ(h.requestId, 78u);
    EXPECT_EQ(h.errorcode, 0);
    // Stopped with the steady session still open.
    EXPECT_EQ(gw.stop(), 0) << gw.stderrText();
    // The daemon saw the hostile cases for what they were and closed every
    // session they ended: a few one line each, the rest counted by reason in
    // a summary line per interval, so the log stays small.
    const std::string log = gw.logText();
    auto ended = [&log](const std::string &reason) {
        size_t n = 0;
        for (const std::string &l : velktest::lines(log)) {
            if (l.find(": closing connection from ") != std::string::npos) {
                n += l.find(reason) != std::string::npos;
            } else if (size_t at = l.find("not logged one by one"); at != std::string::npos) {
                for (size_t p = l.find(reason + "=", at); p != std::string::npos; p = l.find(reason + "=", p + 1))
                    if (isdigit(static_cast<unsigned char>(l[p + reason.size() + 1])))
                        n += std::stoul(l.substr(p + reason.size() + 1));
            }
        }
        return n;
    };
    // The hostile connections, the steady one and the last one.
    EXPECT_EQ(ended(""), static_cast<size_t>(tally.connections.load()) + 2);
    EXPECT_GT(ended("garbage message header"), 100u);
    EXPECT_GT(ended("a body of unknown type cannot be skipped"), 50u);
    EXPECT_GT(ended("in the middle of a message"), 50u);
    EXPECT_EQ(velktest::countOccurrences(log, "internal error"), 0u);
    EXPECT_LT(velktest::countOccurrences(log, ": accepted connection from "), 100u) << "a line per connection";
}

} // namespace
