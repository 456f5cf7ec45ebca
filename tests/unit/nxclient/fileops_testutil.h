#ifndef FILEOPS_TESTUTIL_H
#define FILEOPS_TESTUTIL_H

// Harness of the scripted-peer file operation tests.  Each scenario runs in
// a forked child (the library's state is process-wide) whose current
// connection is one end of a socketpair, so every operation runs its own
// code path.  A peer thread on the other end decodes each request with the
// catalogue's codec and hands it to the next step the scenario queued,
// which checks and answers it.  FCHECK ends the scenario with 1.

#include <gtest/gtest.h>

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
#include "nxapi_private.h"
#include "peer_testutil.h"
#include "quor_api.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

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

namespace fileopstest {

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
            if (!nx_xdr_api_msghdr_t(&x, &h))
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

} // namespace fileopstest

#endif
