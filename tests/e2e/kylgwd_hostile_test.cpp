// kylgwd under hostile input: a seeded fuzz-style client loop of more than
// 10,000 cases over many connections from several threads at once (random
// bytes, bad sanity fields, 16-bit fields with their upper half set, bodies
// of unknown type, catalogued requests with truncated bodies or with huge
// counts and lengths, resets in the middle of a message), mixed with
// well-formed requests whose replies must still arrive in order.  After it
// kylgwd still serves a session that stayed open all along and a new one,
// and stops cleanly on SIGTERM (under the sanitizers a leak or error would
// turn the exit status non-zero).

#include "gw_rawclient.h"
#include "kylgwd_fixture.h"
#include "velk_testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

using velktest::GwHeader;
using velktest::GwRawClient;
using velktest::KylgwdProcess;
using velktest::ScratchDir;
using velktest::gwPutU32;
using velktest::gwRequest;
using velktest::kGwBodyFlag;

namespace {

constexpr uint32_t kCatConnection = 256, kCatLog = 1792;
constexpr size_t kSiteInfoBytes = 136;
constexpr int kClientThreads = 4;
constexpr int kCasesPerThread = 2600;
constexpr uint32_t kSeed = 0x6b796c67;

// Catalogued requests that carry a body (category, function).
constexpr uint16_t kBodied[][2] = {
    {256, 1},     {512, 16},    {512, 20},    {512, 33},    {512, 128},   {512, 256},   {512, 259},
    {512, 260},   {512, 304},   {1280, 258},  {1280, 776},  {1280, 777},  {1280, 779},  {1280, 1538},
    {1280, 1539}, {1280, 1540}, {1280, 1546}, {1280, 1547}, {1280, 1801}, {1280, 3075}, {1280, 3076},
    {1280, 3329}, {1280, 3840}, {1280, 3842}, {1280, 3843}, {1280, 4609}, {1280, 4610}, {1280, 4615},
    {1280, 4616}, {1280, 4866}, {1280, 4867}, {1280, 4869}, {1280, 4873}, {1280, 5376}, {1280, 5378},
    {1280, 5889}, {1280, 5890}, {1536, 256},  {1536, 262},  {1792, 256},  {1792, 257},  {1792, 258},
    {2048, 256},  {5632, 256},  {5632, 518},  {5632, 521},  {5632, 527},  {5888, 834},
};
constexpr uint16_t kCategories[] = {256, 512, 1280, 1536, 1792, 2048, 5632, 5888};
// Values that make a count or length field hostile.
constexpr uint32_t kHugeValues[] = {0xFFFFFFFFu, 0xFFFFFFF0u, 0x80000000u, 0x7FFFFFFFu, 0x00100001u, 0x04000001u,
                                    0x00001001u, 0x00000401u};

std::string siteInfoRequest(uint32_t id)
{
    std::string body;
    gwPutU32(&body, 67);
    gwPutU32(&body, 2);
    return gwRequest(id, kCatConnection, 1, body);
}

struct Fuzzer {
    std::mt19937 rng;
    explicit Fuzzer(uint32_t seed) : rng(seed) {}

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
    // or a gateway log message with a random text.  *bodyBytes is the size
    // of its reply body, *failing whether its errorcode is negative.
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
            std::string text;
            size_t n = below(200);
            for (size_t i = 0; i < n; i++)
                text.push_back("%sndx \\\n\t%%abc"[below(15)]);
            std::string body;
            gwPutU32(&body, rng());
            gwPutU32(&body, rng());
            body += velktest::gwXdrString(text);
            return gwRequest(id, kCatLog, 257, body);
        }
        }
    }

    // A body of words, some of them hostile counts and lengths.
    std::string hostileBody()
    {
        std::string body;
        size_t words = 1 + below(48);
        for (size_t i = 0; i < words; i++)
            gwPutU32(&body, below(3) == 0 ? kHugeValues[below(8)] : (below(2) ? below(64) : static_cast<uint32_t>(rng())));
        return body;
    }

    // A message that should end the session.  *reset asks the client to
    // reset the connection right after sending.
    std::string ending(uint32_t id, bool *reset)
    {
        *reset = false;
        const uint16_t *op = kBodied[below(sizeof kBodied / sizeof kBodied[0])];
        switch (below(8)) {
        case 0:
            return bytes(1 + below(300));
        case 1: { // one sanity byte changed
            std::string m = siteInfoRequest(id);
            m[below(8)] ^= static_cast<char>(1 + below(255));
            return m;
        }
        case 2: // a 16-bit field with its upper half set
            return velktest::gwHeaderBytes(id, 0, 0x10000u | kCatConnection, 1);
        case 3: // a body of unknown type
            return gwRequest(id, kCategories[below(8)], 40000 + below(25000), bytes(4 + below(64)));
        case 4: { // a catalogued request cut short
            std::string body = hostileBody();
            return gwRequest(id, op[0], op[1], body.substr(0, below(static_cast<uint32_t>(body.size()))));
        }
        case 5: // huge counts and lengths
        case 6:
            return gwRequest(id, op[0], op[1], hostileBody());
        default: { // reset in the middle of a message
            *reset = true;
            std::string m = gwRequest(id, op[0], op[1], hostileBody());
            return m.substr(0, 1 + below(static_cast<uint32_t>(m.size() - 1)));
        }
        }
    }
};

struct Tally {
    std::atomic<int> cases{0};
    std::atomic<int> connections{0};
    std::atomic<int> failures{0};
    std::atomic<bool> firstFailureTaken{false};
    std::string firstFailure; // written once, by the thread that took the flag

    void fail(const std::string &what)
    {
        failures++;
        bool expected = false;
        if (firstFailureTaken.compare_exchange_strong(expected, true))
            firstFailure = what;
    }
};

// One client thread: connections of a few well-formed requests each, ended
// by one hostile case.
void clientLoop(int port, uint32_t seed, int cases, Tally *tally)
{
    Fuzzer fz(seed);
    uint32_t id = 1;
    int done = 0;
    while (done < cases) {
        GwRawClient c;
        GwHeader h;
        std::vector<uint32_t> words;
        if (!c.connect(port) || !c.readGreeting(&h, &words) || h.sanity != "API_MSGH") {
            tally->fail("no greeting on connection " + std::to_string(tally->connections.load()));
            return;
        }
        tally->connections++;

        size_t k = fz.below(16);
        std::string out;
        struct Expected {
            uint32_t id;
            size_t bodyBytes;
            bool failing;
        };
        std::vector<Expected> expected;
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
            off += velktest::kGwHeaderSize;
            bool hasBody = (r.flags & kGwBodyFlag) != 0;
            if (r.sanity != "API_MSGH" || r.requestId != e.id || hasBody != (e.bodyBytes > 0) ||
                (r.errorcode < 0) != e.failing) {
                tally->fail("bad reply to request " + std::to_string(e.id) + ": id " +
                            std::to_string(r.requestId) + " err " + std::to_string(r.errorcode));
                break;
            }
            off += e.bodyBytes;
        }
    }
}

TEST(KylgwdHostile, SurvivesTenThousandHostileCasesAndStopsCleanly)
{
    ScratchDir scratch;
    KylgwdProcess gw(scratch.path());
    ASSERT_TRUE(gw.start());

    // A session that stays open through the storm.
    GwRawClient steady;
    GwHeader h;
    std::vector<uint32_t> words;
    ASSERT_TRUE(steady.connect(gw.port()));
    ASSERT_TRUE(steady.readGreeting(&h, &words));

    // Named caps first: a Logmsg text and an Openlog subsystem past their
    // caps end the session before any allocation of that size.
    {
        GwRawClient c;
        ASSERT_TRUE(c.connect(gw.port()));
        ASSERT_TRUE(c.readGreeting(&h, &words));
        std::string body;
        gwPutU32(&body, 0);
        gwPutU32(&body, 0);
        body += velktest::gwXdrString(std::string(4097, 'a'));
        ASSERT_TRUE(c.send(gwRequest(1, kCatLog, 257, body)));
        EXPECT_TRUE(c.closedByPeer());
    }
    {
        GwRawClient c;
        ASSERT_TRUE(c.connect(gw.port()));
        ASSERT_TRUE(c.readGreeting(&h, &words));
        std::string body;
        gwPutU32(&body, 0);
        gwPutU32(&body, 0xFFFFFFF0u);
        ASSERT_TRUE(c.send(gwRequest(2, kCatLog, 256, body)));
        EXPECT_TRUE(c.closedByPeer());
    }
    EXPECT_TRUE(gw.waitForLog("request body does not decode", 2)) << gw.logText();

    Tally tally;
    std::vector<std::thread> threads;
    for (int t = 0; t < kClientThreads; t++)
        threads.emplace_back(clientLoop, gw.port(), kSeed + static_cast<uint32_t>(t), kCasesPerThread, &tally);
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(tally.failures.load(), 0) << "seed " << kSeed << ": " << tally.firstFailure;
    EXPECT_GE(tally.cases.load(), 10000);
    EXPECT_GT(tally.connections.load(), 500);

    // The open session and a new one are still served.
    ASSERT_TRUE(steady.send(siteInfoRequest(77)));
    ASSERT_TRUE(steady.readHeader(&h));
    EXPECT_EQ(h.requestId, 77u);
    EXPECT_EQ(h.flags, kGwBodyFlag);
    ASSERT_TRUE(steady.readWords(kSiteInfoBytes / 4, &words));
    EXPECT_EQ(words[5], 67u);
    {
        GwRawClient c;
        ASSERT_TRUE(c.connect(gw.port()));
        ASSERT_TRUE(c.readGreeting(&h, &words));
        ASSERT_TRUE(c.send(siteInfoRequest(78)));
        ASSERT_TRUE(c.readHeader(&h));
        EXPECT_EQ(h.requestId, 78u);
        EXPECT_EQ(h.errorcode, 0);
    }
    // The daemon saw the hostile cases for what they were, and closed every
    // session they ended.
    EXPECT_TRUE(gw.waitForLog(": closing connection from ", static_cast<size_t>(tally.connections.load())));
    std::string log = gw.logText();
    EXPECT_GT(velktest::countOccurrences(log, "garbage message header"), 100u);
    EXPECT_GT(velktest::countOccurrences(log, "a body of unknown type cannot be skipped"), 50u);
    EXPECT_GT(velktest::countOccurrences(log, "in the middle of a message"), 50u);
    EXPECT_EQ(velktest::countOccurrences(log, "internal error"), 0u);
    // Stopped with the steady session still open.
    EXPECT_EQ(gw.stop(), 0) << gw.stderrText();
}

} // namespace
