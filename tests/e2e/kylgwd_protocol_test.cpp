// kylgwd's message layer, run as the real binary against a raw client: the
// greeting bytes, site information from a configuration file, each
// connection and message-layer fault of the fault script, the gateway log
// messages, unknown functions with and without a body, task messages, and
// the event log's line per request.  Expected bytes and words are typed from
// the wire tables, not produced by the shared codecs.

#include "gw_rawclient.h"
#include "kylgwd_fixture.h"
#include "velk_testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

using velktest::GwHeader;
using velktest::GwRawClient;
using velktest::KylgwdProcess;
using velktest::ScratchDir;
using velktest::gwPutU32;
using velktest::gwRequest;
using velktest::kGwBodyFlag;

namespace {

constexpr uint32_t kCatConnection = 256, kCatAuth = 512, kCatFilesys = 1280, kCatLog = 1792;
constexpr uint32_t kFnSiteInfo = 1;
constexpr size_t kSiteInfoWords = 34;
constexpr int kConfigStatus = 78;

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

std::string siteInfoRequest(uint32_t id)
{
    std::string body;
    gwPutU32(&body, 67);
    gwPutU32(&body, 2);
    return gwRequest(id, kCatConnection, kFnSiteInfo, body);
}

std::string logmsgRequest(uint32_t id, uint32_t flags, uint32_t cls, const std::string &text)
{
    std::string body;
    gwPutU32(&body, flags);
    gwPutU32(&body, cls);
    body += velktest::gwXdrString(text);
    return gwRequest(id, kCatLog, 257, body);
}

// Connects and reads the greeting; returns its quorDownFlag (or -1).
int connectGreeted(GwRawClient *c, int port)
{
    GwHeader h;
    std::vector<uint32_t> words;
    if (!c->connect(port) || !c->readGreeting(&h, &words))
        return -1;
    return static_cast<int>(words[5]);
}

// Reads a site information reply for id: header checks, then the words.
::testing::AssertionResult readSiteInfo(GwRawClient *c, uint32_t id, std::vector<uint32_t> *words)
{
    GwHeader h;
    if (!c->readHeader(&h))
        return ::testing::AssertionFailure() << "no reply header";
    if (h.sanity != "API_MSGH" || h.requestId != id || h.flags != kGwBodyFlag || h.category != kCatConnection ||
        h.function != kFnSiteInfo || h.errorcode != 0 || h.threadId != 0)
        return ::testing::AssertionFailure() << "reply header " << h.sanity << " id " << h.requestId << " flags "
                                             << h.flags << " " << h.category << "/" << h.function << " err "
                                             << h.errorcode;
    if (!c->readWords(kSiteInfoWords, words))
        return ::testing::AssertionFailure() << "no reply body";
    return ::testing::AssertionSuccess();
}

class KylgwdProtocol : public ::testing::Test {
protected:
    ScratchDir scratch;
    KylgwdProcess gw{scratch.path()};
    std::string faults = scratch / "faults";
    std::string events = scratch / "events.jsonl";

    void startWith(const std::string &faultText, std::vector<std::string> extra = {})
    {
        velktest::writeFile(faults, faultText);
        extra.insert(extra.end(), {"--faults", faults, "--events", events});
        ASSERT_TRUE(gw.start(extra));
    }
    std::string eventText() const { return velktest::readFile(events); }
};

TEST_F(KylgwdProtocol, GreetingBytesAndSiteInformationFromTheConfiguration)
{
    velktest::writeFile(scratch / "kylgwd.conf", "# test site\n"
                                                 "Site = {\n"
                                                 "    server_runmode = 2\n"
                                                 "    auth_crypto_card = 3\n"
                                                 "    max_mbytes_per_iod = 16\n"
                                                 "    app_copies = 2\n"
                                                 "    umask = 027\n"
                                                 "    startupCOS = 4\n"
                                                 "    sv_major = 7\n"
                                                 "    sv_minor = 4\n"
                                                 "    sv_patch = 1\n"
                                                 "}\n");
    startWith("", {"--config", scratch / "kylgwd.conf"});

    GwRawClient c;
    ASSERT_TRUE(c.connect(gw.port()));
    std::string greeting;
    ASSERT_TRUE(c.read(60, &greeting));
    // Header: sanity, request id 0, body flag, (time), thread 0, 256/0, 0.
    EXPECT_EQ(hex(greeting.substr(0, 16)), "4150495f4d534748" "00000000" "80000000");
    EXPECT_EQ(hex(greeting.substr(20)), "00000000" "00000100" "00000000" "00000000"
                                        "00000043" "00000002" "00000007" "00000004" "00000001" "00000000");

    ASSERT_TRUE(c.send(siteInfoRequest(0x01020304)));
    std::vector<uint32_t> w;
    ASSERT_TRUE(readSiteInfo(&c, 0x01020304, &w));
    EXPECT_EQ(w[0], 0u);       // server_flags
    EXPECT_EQ(w[1], 2u);       // server_runmode
    EXPECT_EQ(w[2], 7u);       // sv_major
    EXPECT_EQ(w[3], 4u);       // sv_minor
    EXPECT_EQ(w[4], 1u);       // sv_patch
    EXPECT_EQ(w[5], 67u);      // sv_prot_major
    EXPECT_EQ(w[6], 2u);       // sv_prot_minor
    EXPECT_EQ(w[10], 0x250u);  // auth_flags
    EXPECT_EQ(w[11], 3u);      // auth_crypto_card
    EXPECT_EQ(w[12], 2u);      // encryption_methods
    EXPECT_EQ(w[15], 1u);      // realm_id
    EXPECT_EQ(w[22], 16u);     // max_mbytes_per_iod
    EXPECT_EQ(w[23], 2u);      // app_copies
    EXPECT_EQ(w[25], 027u);    // umask
    EXPECT_EQ(w[28], 4u);      // startupCOS
    EXPECT_EQ(gw.stop(), 0);
}

TEST(KylgwdConfig, UnknownKeyStopsTheStartWithFileAndLine)
{
    ScratchDir scratch;
    velktest::writeFile(scratch / "bad.conf", "Site = {\n  umask = 022\n  colour = blue\n}\n");
    mkdir((scratch / "root").c_str(), 0755);
    velktest::RunResult r = velktest::run({velktest::kylgwdBinary(), "--foreground", "--listen", "127.0.0.1:0",
                                           "--root", scratch / "root", "--config", scratch / "bad.conf"});
    EXPECT_EQ(r.status, kConfigStatus) << r.err;
    EXPECT_NE(r.err.find("bad.conf:3: unknown key 'colour'"), std::string::npos) << r.err;
}

TEST_F(KylgwdProtocol, DownFlagForTheFirstConnectionsOnly)
{
    startWith("down=2\n");
    for (int i = 1; i <= 3; i++) {
        GwRawClient c;
        EXPECT_EQ(connectGreeted(&c, gw.port()), i <= 2 ? 1 : 0) << "connection " << i;
    }
    EXPECT_TRUE(velktest::waitForFileText(events, "\"fault\":\"down\"", 2));
    EXPECT_TRUE(gw.waitForLog("session 3: closing", 1));
    EXPECT_EQ(velktest::countOccurrences(eventText(), "\"fault\":\"down\""), 2u) << eventText();
    EXPECT_EQ(gw.stop(), 0);
}

TEST_F(KylgwdProtocol, SiteInformationFaultsTakeEffectAtTheNextSession)
{
    startWith("proto=67.1\n");
    {
        GwRawClient c;
        ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
        ASSERT_TRUE(c.send(siteInfoRequest(11)));
        std::vector<uint32_t> w;
        ASSERT_TRUE(readSiteInfo(&c, 11, &w));
        EXPECT_EQ(w[5], 67u);
        EXPECT_EQ(w[6], 1u);
        EXPECT_EQ(w[1], 1u);
    }
    velktest::writeFile(faults, "siteinfo_err=-5\n");
    {
        GwRawClient c;
        ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
        // The error reply has no body: the next bytes are the next reply.
        ASSERT_TRUE(c.send(siteInfoRequest(12) + gwRequest(13, kCatFilesys, 9999)));
        GwHeader h;
        ASSERT_TRUE(c.readHeader(&h));
        EXPECT_EQ(h.requestId, 12u);
        EXPECT_EQ(h.errorcode, -5);
        EXPECT_EQ(h.flags, 0u);
        ASSERT_TRUE(c.readHeader(&h));
        EXPECT_EQ(h.requestId, 13u);
        EXPECT_EQ(h.errorcode, -22);
    }
    velktest::writeFile(faults, "runmode=3\n");
    {
        GwRawClient c;
        ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
        ASSERT_TRUE(c.send(siteInfoRequest(14)));
        std::vector<uint32_t> w;
        ASSERT_TRUE(readSiteInfo(&c, 14, &w));
        EXPECT_EQ(w[1], 3u);
        EXPECT_EQ(w[6], 2u);
    }
    velktest::writeFile(faults, "no_such_fault=1\n");
    {
        GwRawClient c;
        ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
        ASSERT_TRUE(c.send(siteInfoRequest(15)));
        std::vector<uint32_t> w;
        ASSERT_TRUE(readSiteInfo(&c, 15, &w));
        EXPECT_EQ(w[1], 1u);
    }
    EXPECT_TRUE(gw.waitForLog("no_such_fault=1"));
    EXPECT_TRUE(velktest::waitForFileText(events, "\"fault\":\"runmode\""));
    std::string ev = eventText();
    EXPECT_EQ(velktest::countOccurrences(ev, "\"fault\":\"proto\""), 1u) << ev;
    EXPECT_EQ(velktest::countOccurrences(ev, "\"fault\":\"siteinfo_err\""), 1u) << ev;
    EXPECT_EQ(gw.stop(), 0);
}

TEST_F(KylgwdProtocol, GarbageAndUnsolicitedHeadersHitOnlyTheNextReply)
{
    startWith("garbage_header\n");
    {
        GwRawClient c;
        ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
        ASSERT_TRUE(c.send(gwRequest(21, kCatFilesys, 9999) + gwRequest(22, kCatFilesys, 9999)));
        GwHeader h;
        ASSERT_TRUE(c.readHeader(&h));
        EXPECT_NE(h.sanity, "API_MSGH");
        EXPECT_EQ(h.requestId, 21u);
        ASSERT_TRUE(c.readHeader(&h));
        EXPECT_EQ(h.sanity, "API_MSGH");
        EXPECT_EQ(h.requestId, 22u);
    }
    velktest::writeFile(faults, "unsolicited\n");
    {
        GwRawClient c;
        ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
        ASSERT_TRUE(c.send(gwRequest(23, kCatFilesys, 9999) + gwRequest(24, kCatFilesys, 9999)));
        GwHeader h;
        ASSERT_TRUE(c.readHeader(&h));
        EXPECT_EQ(h.flags, velktest::kGwUnsolicitedFlag);
        EXPECT_EQ(h.requestId, 23u);
        ASSERT_TRUE(c.readHeader(&h));
        EXPECT_EQ(h.flags, 0u);
        EXPECT_EQ(h.requestId, 24u);
    }
    EXPECT_TRUE(velktest::waitForFileText(events, "\"fault\":\"unsolicited\""));
    EXPECT_EQ(velktest::countOccurrences(eventText(), "\"fault\":\"garbage_header\""), 1u) << eventText();
    EXPECT_EQ(gw.stop(), 0);
}

TEST_F(KylgwdProtocol, DelayedReplyIsOvertakenByALaterOne)
{
    startWith("delay_reply=256/1,2000\n");
    GwRawClient c;
    ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
    ASSERT_TRUE(c.send(siteInfoRequest(31) + logmsgRequest(32, 0x2000000, 0x2000000, "after the site info")));
    GwHeader h;
    ASSERT_TRUE(c.readHeader(&h));
    EXPECT_EQ(h.requestId, 32u);
    EXPECT_EQ(h.category, kCatLog);
    EXPECT_EQ(h.flags, 0u);
    std::vector<uint32_t> w;
    ASSERT_TRUE(readSiteInfo(&c, 31, &w));
    EXPECT_EQ(w[5], 67u);
    EXPECT_TRUE(velktest::waitForFileText(events, "\"fault\":\"delay_reply\""));
    EXPECT_EQ(gw.stop(), 0);
}

TEST_F(KylgwdProtocol, StopsCleanlyWhileWorkersHoldRepliesBack)
{
    // Held back far longer than the fixture waits for the stop: only a stop
    // that wakes the workers ends in time.
    startWith("delay_reply=256/1,600000\n");
    GwRawClient a, b;
    ASSERT_EQ(connectGreeted(&a, gw.port()), 0);
    ASSERT_EQ(connectGreeted(&b, gw.port()), 0);
    ASSERT_TRUE(a.send(siteInfoRequest(35) + siteInfoRequest(36)));
    ASSERT_TRUE(b.send(siteInfoRequest(37)));
    ASSERT_TRUE(velktest::waitForFileText(events, "\"fault\":\"delay_reply\"", 3)) << eventText();
    EXPECT_EQ(gw.stop(), 0) << gw.logText();
    EXPECT_TRUE(a.closedByPeer());
    EXPECT_TRUE(b.closedByPeer());
    EXPECT_NE(gw.logText().find("]: stopped"), std::string::npos);
}

TEST_F(KylgwdProtocol, ReplyWithoutBodyTruncatedBodyAndDroppedConnection)
{
    startWith("reply_nobody=256/1\n");
    {
        GwRawClient c;
        ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
        ASSERT_TRUE(c.send(siteInfoRequest(41) + gwRequest(42, kCatFilesys, 9999)));
        GwHeader h;
        ASSERT_TRUE(c.readHeader(&h));
        EXPECT_EQ(h.requestId, 41u);
        EXPECT_EQ(h.flags, 0u);
        EXPECT_EQ(h.errorcode, 0);
        ASSERT_TRUE(c.readHeader(&h));
        EXPECT_EQ(h.requestId, 42u);
    }
    velktest::writeFile(faults, "truncate_body=256/1\n");
    {
        GwRawClient c;
        ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
        ASSERT_TRUE(c.send(siteInfoRequest(43)));
        bool closed = false;
        std::string got = c.drain(1 << 16, velktest::kGwIoTimeoutMs, &closed);
        EXPECT_TRUE(closed);
        // The header and half of the 136-byte body, then the end.
        ASSERT_EQ(got.size(), 36u + 68u);
        GwHeader h = velktest::gwParseHeader(got);
        EXPECT_EQ(h.requestId, 43u);
        EXPECT_EQ(h.flags, kGwBodyFlag);
    }
    velktest::writeFile(faults, "drop_conn=quorex_GetSiteInfo\n");
    {
        GwRawClient c;
        ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
        ASSERT_TRUE(c.send(siteInfoRequest(44)));
        EXPECT_TRUE(c.closedByPeer());
    }
    EXPECT_TRUE(gw.waitForLog("closed by the drop_conn fault"));
    EXPECT_TRUE(gw.waitForLog("closed by the truncate_body fault"));
    std::string ev = eventText();
    EXPECT_EQ(velktest::countOccurrences(ev, "\"fault\":\"reply_nobody\""), 1u) << ev;
    EXPECT_EQ(velktest::countOccurrences(ev, "\"fault\":\"truncate_body\""), 1u) << ev;
    EXPECT_EQ(velktest::countOccurrences(ev, "\"fault\":\"drop_conn\""), 1u) << ev;
    EXPECT_EQ(gw.stop(), 0);
}

TEST_F(KylgwdProtocol, GatewayLogMessagesAreLoggedWithTheirTextsAsData)
{
    startWith("");
    GwRawClient c;
    ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
    std::string openlog;
    gwPutU32(&openlog, 0x60000);
    openlog += velktest::gwXdrString("velk");
    std::string closelog;
    gwPutU32(&closelog, 0);
    ASSERT_TRUE(c.send(gwRequest(51, kCatLog, 256, openlog) +
                       logmsgRequest(52, 0x2000000, 0x6000000, "transfer %s%n %d%x done") +
                       gwRequest(53, kCatLog, 258, closelog)));
    for (uint32_t id = 51; id <= 53; id++) {
        GwHeader h;
        ASSERT_TRUE(c.readHeader(&h));
        EXPECT_EQ(h.requestId, id);
        EXPECT_EQ(h.errorcode, 0);
        EXPECT_EQ(h.flags, 0u);
        EXPECT_EQ(h.function, 255u + (id - 50));
    }
    EXPECT_TRUE(gw.waitForLog("session 1: closelog user=- flags=0x0"));
    std::string log = gw.logText();
    EXPECT_NE(log.find("session 1: openlog user=- flags=0x60000 subsys=velk\n"), std::string::npos) << log;
    EXPECT_NE(log.find("session 1: logmsg user=- flags=0x2000000 class=0x6000000 text=transfer %s%n %d%x done\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(gw.stop(), 0);
}

TEST_F(KylgwdProtocol, UnknownFunctionsAndOperationsBeforeLogin)
{
    startWith("");
    {
        GwRawClient c;
        ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
        // Unknown without a body: -41000 in the authentication category,
        // -22 elsewhere; a file operation before any login: -13.
        ASSERT_TRUE(c.send(gwRequest(61, kCatAuth, 9999) + gwRequest(62, kCatFilesys, 9999) +
                           gwRequest(63, 5000, 1) + gwRequest(64, kCatFilesys, 1799) + siteInfoRequest(65)));
        const int32_t expected[] = {-41000, -22, -22, -13};
        for (uint32_t i = 0; i < 4; i++) {
            GwHeader h;
            ASSERT_TRUE(c.readHeader(&h));
            EXPECT_EQ(h.requestId, 61 + i);
            EXPECT_EQ(h.errorcode, expected[i]) << "request " << 61 + i;
            EXPECT_EQ(h.flags, 0u);
        }
        std::vector<uint32_t> w;
        ASSERT_TRUE(readSiteInfo(&c, 65, &w));

        // An unknown function with a body cannot be skipped.
        ASSERT_TRUE(c.send(gwRequest(66, kCatFilesys, 9999, std::string(8, 'x'))));
        EXPECT_TRUE(c.closedByPeer());
    }
    EXPECT_TRUE(gw.waitForLog("a body of unknown type cannot be skipped"));
    EXPECT_TRUE(gw.waitForLog("before authentication: refused"));
    {
        GwRawClient c;
        ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
        ASSERT_TRUE(c.send(siteInfoRequest(67)));
        std::vector<uint32_t> w;
        EXPECT_TRUE(readSiteInfo(&c, 67, &w));
    }
    EXPECT_EQ(gw.stop(), 0);
}

TEST_F(KylgwdProtocol, TaskMessageWithoutAWaitingLoginIsDroppedAndTheSessionGoesOn)
{
    startWith("");
    GwRawClient c;
    ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
    std::string conv;
    gwPutU32(&conv, 1);
    gwPutU32(&conv, 16);
    conv += std::string(16, '\x5a');
    ASSERT_TRUE(c.send(gwRequest(71, kCatAuth, 33, conv, velktest::kGwTaskFlag) + siteInfoRequest(72)));
    std::vector<uint32_t> w;
    ASSERT_TRUE(readSiteInfo(&c, 72, &w));
    EXPECT_TRUE(gw.waitForLog("no login waits for it; dropped"));
    EXPECT_EQ(gw.stop(), 0);
}

TEST_F(KylgwdProtocol, EventLogHasOneLinePerRequest)
{
    startWith("");
    GwRawClient c;
    ASSERT_EQ(connectGreeted(&c, gw.port()), 0);
    ASSERT_TRUE(c.send(siteInfoRequest(81) + logmsgRequest(82, 0, 0x2000000, "x") + gwRequest(83, kCatFilesys, 9999)));
    std::vector<uint32_t> w;
    ASSERT_TRUE(readSiteInfo(&c, 81, &w));
    GwHeader h;
    ASSERT_TRUE(c.readHeader(&h));
    ASSERT_TRUE(c.readHeader(&h));
    c.close();
    ASSERT_TRUE(gw.waitForLog("session 1: closing"));
    ASSERT_EQ(gw.stop(), 0);

    std::vector<std::string> requests;
    for (const std::string &l : velktest::lines(eventText()))
        if (l.find("\"event\":\"request\"") != std::string::npos)
            requests.push_back(l);
    ASSERT_EQ(requests.size(), 3u) << eventText();
    EXPECT_NE(requests[0].find("\"session\":1,\"category\":256,\"function\":1,\"id\":81,\"errorcode\":0,\"ms\":"),
              std::string::npos)
        << requests[0];
    EXPECT_NE(requests[1].find("\"category\":1792,\"function\":257,\"id\":82,\"errorcode\":0,"), std::string::npos)
        << requests[1];
    EXPECT_NE(requests[2].find("\"category\":1280,\"function\":9999,\"id\":83,\"errorcode\":-22,"),
              std::string::npos)
        << requests[2];
}

} // namespace
