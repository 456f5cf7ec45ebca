// Replies a well-behaved gateway never sends, played by an in-process peer:
// a listing with more entries than were asked for, a name conversion of
// another size, a data stream that never sends its control byte.  Also the
// client-side refusal of position operations on a file another transfer
// holds.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "kylgw_catalogue.h"
#include "nxapi_fileops.h"
#include "nxapi_private.h"
#include "peer_testutil.h"
#include "quor_api.h"
#include "velk_testproc.h"

#define FCHECK(cond)                                                                              \
    do {                                                                                          \
        if (!(cond)) {                                                                            \
            fprintf(stderr, "check failed at %s:%d: %s\n", __FILE__, __LINE__, #cond);           \
            return 1;                                                                             \
        }                                                                                         \
    } while (0)

// Peer-side check: records the failure in the step's failure text.
#define PCHECK(cond)                                                                              \
    do {                                                                                          \
        if (!(cond))                                                                              \
            fail += std::string("peer check failed at line ") + std::to_string(__LINE__) + ": " + \
                    #cond + "\n";                                                                 \
    } while (0)

namespace {

// The scripted peer.  Each scenario runs in
// a forked child (the library's state is process-wide) whose current
// connection is one end of a socketpair, so every operation runs its own
// code path.  A peer thread on the other end decodes each request with the
// catalogue's codec and hands it to the next step the scenario queued,
// which checks and answers it.  FCHECK ends the scenario with 1.

// One expected request: the header and decoded body (null when none) as
// the peer read them; the step answers on fd and appends failures to fail.
using Step = std::function<void(int fd, const api_msghdr_t &h, void *body, std::string &fail)>;

// Answers request h with result and an optional body.
inline void answer(int fd, const api_msghdr_t &h, int32_t result, kyl_xdrproc_t codec = nullptr,
                   void *body = nullptr)
{
    (void)peertest::peerSend(fd, peertest::replyHeader(h.msgRequestID, h.category, h.function, result), codec,
                             body);
}

class Peer {
public:
    explicit Peer(int fd) : fd_(fd), thread_([this] { run(); }) {}
    ~Peer()
    {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    void expect(Step s)
    {
        std::lock_guard<std::mutex> g(mu_);
        steps_.push_back(std::move(s));
    }
    std::string failures()
    {
        std::lock_guard<std::mutex> g(mu_);
        return fail_;
    }
    int served()  // counted before the answer is sent
    {
        std::lock_guard<std::mutex> g(mu_);
        return served_;
    }

private:
    void run()
    {
        peertest::FdSource src(fd_);
        kyl_xdr_t x;
        kyl_xdr_create_decode(&x, &src);
        for (;;) {
            api_msghdr_t h;
            if (!kylgw_xdr_api_msghdr_t(&x, &h))
                return;
            const kylgw_msgtype_t *row = kylgw_LookupMsgType(h.category, h.function);
            size_t size = row != nullptr && row->requestSize > 0 ? row->requestSize : 1;
            void *body = calloc(1, size);
            bool hasBody = (h.msgFlags & MSGF_BODY) != 0;
            if (hasBody && (row == nullptr || row->request == nullptr || !row->request(&x, body))) {
                std::lock_guard<std::mutex> g(mu_);
                fail_ += "request body did not decode: " + std::to_string(h.category) + "/" +
                         std::to_string(h.function) + "\n";
                free(body);
                return;
            }
            Step s;
            {
                std::lock_guard<std::mutex> g(mu_);
                if (steps_.empty()) {
                    fail_ += "unexpected request " + std::to_string(h.category) + "/" +
                             std::to_string(h.function) + "\n";
                } else {
                    s = std::move(steps_.front());
                    steps_.pop_front();
                }
                served_++;
            }
            std::string f;
            if (s)
                s(fd_, h, hasBody ? body : nullptr, f);
            else  // an answer keeps the client from waiting for ever
                answer(fd_, h, -9999);
            if (hasBody)
                kyl_xdr_free(row->request, body);
            free(body);
            std::lock_guard<std::mutex> g(mu_);
            fail_ += f;
        }
    }

    int fd_;
    std::mutex mu_;
    std::deque<Step> steps_;
    std::string fail_;
    int served_ = 0;
    std::thread thread_;
};

// A step that checks the category and function, hands the typed body to
// check, and answers with result (and reply body when given).
template <typename Req>
Step step(uint16_t cat, uint16_t fn, std::function<void(const Req *, std::string &)> check, int32_t result,
          kyl_xdrproc_t replyCodec = nullptr, std::function<void *()> reply = nullptr)
{
    return [=](int fd, const api_msghdr_t &h, void *body, std::string &fail) {
        PCHECK(h.category == cat);
        PCHECK(h.function == fn);
        if (check)
            check(static_cast<const Req *>(body), fail);
        answer(fd, h, result, replyCodec, reply ? reply() : nullptr);
    };
}

// Runs scenario in a forked child with a session whose peer is the Peer
// passed to it; the test fails unless the scenario returns 0 and the peer
// saw nothing wrong (the child's standard error is shown).
inline void runInSession(const std::function<int(Peer &)> &scenario)
{
    EXPECT_TRUE(velktest::childExitsWith(0, [&] {
        setenv("QUOR_HOSTNAME", "127.0.0.1", 1);
        setenv("QUOR_SERVER_HOST", "127.0.0.1", 1);
        if (nx_LibInit() != 0)
            return 121;
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
            return 122;
        if (nx_OpenStreams(nxapi_getCurConnection(), sv[0]) != 0)
            return 123;
        int rc;
        std::string peerFail;
        {
            Peer peer(sv[1]);
            rc = scenario(peer);
            peerFail = peer.failures();
        }
        if (!peerFail.empty()) {
            fprintf(stderr, "%s", peerFail.c_str());
            return 124;
        }
        return rc;
    }));
}

// Answers a ReadAttrs request asking for wantCount entries with n entries.
Step listing(uint32_t n, uint32_t wantCount)
{
    return [n, wantCount](int fd, const api_msghdr_t &h, void *body, std::string &fail) {
        const auto *r = static_cast<const api_quor_ReadAttrs_req_t *>(body);
        PCHECK(h.category == CAT_FILESYS && h.function == FN_FS_READATTRS);
        PCHECK(r != nullptr && r->Dirdes == 11 && r->EntryCount == wantCount);
        static ns_DirEntry_t entries[8];
        memset(entries, 0, sizeof entries);
        for (uint32_t i = 0; i < n; i++)
            snprintf(entries[i].Name, sizeof entries[i].Name, "e%u", i);
        api_quor_ReadAttrs_rply_t rply = {n, 1, 0x2000000003ull, entries};
        answer(fd, h, 0, KYL_XDRPROC(api_quor_ReadAttrs_rply_t, xdr_api_quor_ReadAttrs_rply_t), &rply);
    };
}

TEST(PeerFaults, ListingWithMoreEntriesThanAskedForBreaksTheConnection)
{
    runInSession([](Peer &peer) {
        peer.expect(listing(3, 2));
        ns_DirEntry_t entries[3];
        memset(entries, 0, sizeof entries);
        uint32_t end = 7;
        uint64_t next = 7;
        FCHECK(quor_ReadAttrs(11, 0, 2, 1, &end, &next, entries) == KYLGW_E_BADMSG);
        FCHECK(entries[0].Name[0] == '\0' && end == 7 && next == 7);
        FCHECK(nxapi_getCurConnection()->state.load() == CONNECTION_CLOSED);
        return 0;
    });
}

// Answers a conversion of two names with n converted entries.
Step namesReply(int32_t n)
{
    return [n](int fd, const api_msghdr_t &h, void *body, std::string &fail) {
        const auto *r = static_cast<const api_quor_ConvertNamesToIds_req_t *>(body);
        PCHECK(h.category == CAT_FILESYS && h.function == FN_FS_CONVERTNAMESTOIDS);
        PCHECK(r != nullptr && r->NumEntries == 2);
        static api_namespec_t out[3];
        memset(out, 0, sizeof out);
        for (int32_t i = 0; i < n; i++) {
            out[i].Id = 1000 + static_cast<uint32_t>(i);
            snprintf(out[i].Name, sizeof out[i].Name, "n%d", i);
        }
        api_quor_ConvertNamesToIds_rply_t rply = {n, out};
        answer(fd, h, 0,
                            KYL_XDRPROC(api_quor_ConvertNamesToIds_req_t, xdr_api_quor_ConvertNamesToIds_req_t),
                            &rply);
    };
}

TEST(PeerFaults, NameConversionOfAnotherSizeLeavesTheCallersArray)
{
    runInSession([](Peer &peer) {
        api_namespec_t names[2] = {};
        snprintf(names[0].Name, sizeof names[0].Name, "%s", "alice");
        snprintf(names[1].Name, sizeof names[1].Name, "%s", "staff");
        api_namespec_t keep[2];
        memcpy(keep, names, sizeof keep);
        for (int32_t n : {1, 3}) {
            peer.expect(namesReply(n));
            FCHECK(quor_ConvertNamesToIds(2, names) == KYLGW_E_BADMSG);
            FCHECK(memcmp(names, keep, sizeof keep) == 0);
        }
        // A count past the cap is refused before anything is sent.
        static api_namespec_t many[KYLGW_MAX_NAMESPECS + 1];
        FCHECK(quor_ConvertNamesToIds(KYLGW_MAX_NAMESPECS + 1, many) == -EINVAL);
        peer.expect(namesReply(2));
        FCHECK(quor_ConvertNamesToIds(2, names) == 0);
        FCHECK(names[1].Id == 1001 && strcmp(names[1].Name, "n1") == 0);
        return 0;
    });
}

// A listening socket on 127.0.0.1 standing in for the data stream.
int dataListener(quor_sockaddr_t *addr)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in in = {};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof in;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&in), &len) != 0)
        return -1;
    memset(addr, 0, sizeof *addr);
    memcpy(&addr->hs_addr, &in, sizeof in);
    addr->hs_addrlen = sizeof in;
    return fd;
}

// Answers an OpenX with server descriptor 21 and the listener's address,
// accepts the data connection and sends the control byte or closes at once.
Step openXReply(int listenFd, quor_sockaddr_t addr, bool sendControl)
{
    return [=](int fd, const api_msghdr_t &h, void *body, std::string &fail) {
        const auto *r = static_cast<const api_quor_OpenX_req_t *>(body);
        PCHECK(h.category == CAT_FILESYS && h.function == FN_FS_OPENX);
        // Read-only carries no access bit; the stream flags get bits 0 and 1.
        PCHECK(r != nullptr && r->Oflag == 0 && r->XIOFlags == 0x103u);
        api_quor_OpenX_rply_t rply = {};
        rply.connectaddr = addr;
        rply.dataport = reinterpret_cast<const sockaddr_in *>(&addr.hs_addr)->sin_port;
        answer(fd, h, 21, KYL_XDRPROC(api_quor_OpenX_rply_t, xdr_api_quor_OpenX_rply_t), &rply);
        int c = accept(listenFd, nullptr, nullptr);
        PCHECK(c >= 0);
        unsigned char ctl = 1;
        if (c >= 0 && sendControl)
            PCHECK(write(c, &ctl, 1) == 1);
        if (c >= 0)
            close(c);
    };
}

TEST(PeerFaults, DataStreamWithoutItsControlByteClosesTheServersFile)
{
    runInSession([](Peer &peer) {
        quor_sockaddr_t addr;
        int lfd = dataListener(&addr);
        FCHECK(lfd >= 0);
        peer.expect(openXReply(lfd, addr, true));
        FCHECK(quor_OpenX(0x100, "/gw/arch", O_RDONLY, 0666, nullptr, nullptr, nullptr) == 0);
        FCHECK(nxapi_FileTable[0].quorFiledes == 21 && nxapi_FileTable[0].sockFiledes >= 0);

        peer.expect(openXReply(lfd, addr, false));
        peer.expect(step<api_quor_fildes_req_t>(
            CAT_FILESYS, FN_FS_CLOSE,
            [](const api_quor_fildes_req_t *r, std::string &fail) { PCHECK(r->Fildes == 21); }, 0));
        FCHECK(quor_OpenX(0x100, "/gw/arch", O_RDONLY, 0666, nullptr, nullptr, nullptr) < 0);
        FCHECK(quor_Close(1) == -EBADF);
        FCHECK(peer.served() == 3);
        close(lfd);
        return 0;
    });
}

TEST(PeerFaults, PositionOperationsOnABusyFileFailWithoutAsking)
{
    runInSession([](Peer &peer) {
        static api_quor_Open_rply_t empty = {};
        peer.expect(step<api_quor_Open_req_t>(CAT_FILESYS, FN_FS_OPEN, nullptr, 6,
                                              KYL_XDRPROC(api_quor_Open_rply_t, xdr_api_quor_Open_rply_t),
                                              [] { return static_cast<void *>(&empty); }));
        FCHECK(quor_Open("/busy", O_RDONLY, 0, nullptr, nullptr, nullptr) == 0);
        nxapi_tcontext_t *ctx = nullptr;
        FCHECK(nxapi_init(&ctx) == 0);
        nxapi_file_t *f = nullptr, *again = nullptr;
        FCHECK(nxapi_FileMarkBusy(0, ctx, &f) == 0);
        FCHECK(nxapi_FileMarkBusy(0, ctx, &again) == -ENOENT);
        uint64_t pos = 0;
        FCHECK(quor_Lseek(0, 0, SEEK_SET) == -ENOENT);
        FCHECK(quor_SetFileOffset(0, 0, SEEK_SET, 0, &pos) == -ENOENT);
        FCHECK(peer.served() == 1);
        nxapi_FileMarkIdle(f);
        static api_quor_Lseek_rply_t at10 = {10};
        peer.expect(step<api_quor_Lseek_req_t>(CAT_FILESYS, FN_FS_LSEEK, nullptr, 0,
                                               KYL_XDRPROC(api_quor_Lseek_rply_t, xdr_api_quor_Lseek_rply_t),
                                               [] { return static_cast<void *>(&at10); }));
        FCHECK(quor_Lseek(0, 10, SEEK_SET) == 10);
        return 0;
    });
}

// Local open flags travel as the gateway's bits, one for one.
TEST(OpenFlags, TravelAsTheGatewayBits)
{
    const struct {
        int local;
        uint32_t wire;
    } cases[] = {
        {O_RDONLY, QUOR_OFLAG_RDONLY},
        {O_WRONLY | O_CREAT | O_TRUNC, QUOR_OFLAG_WRONLY | QUOR_OFLAG_CREAT | QUOR_OFLAG_TRUNC},
        {O_RDWR | O_APPEND, QUOR_OFLAG_RDWR | QUOR_OFLAG_APPEND},
        {O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK,
         QUOR_OFLAG_WRONLY | QUOR_OFLAG_CREAT | QUOR_OFLAG_EXCL | QUOR_OFLAG_NONBLOCK},
    };
    for (const auto &c : cases)
        EXPECT_EQ(nxapi_ConvertOpenFlags(c.local), c.wire) << std::oct << c.local;
}

} // namespace
