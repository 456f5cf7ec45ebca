// The login methods against an in-process gateway on a socketpair.  The
// peer thread decodes every request with the shared codecs and plays the
// server's side with the crypto unit: it unscrambles user names, agrees a
// session key, deciphers passwords, keytabs and PAM answers and checks them
// byte for byte.  Prompts go to a pseudo-terminal whose other end a
// scripted "user" thread answers.  Covered: combo (known password, session
// key, retries, token codes, a retry count of 0, the clear-password flag),
// keytab (permissions, login, a server offering the scrambler), PAM (two
// prompts and a text, bad counts, styles and entries), reconnect, the
// relogin context of a combo reply, method lists, and that no secret ever
// reaches the debug log or stderr.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kylgw_xdr_auth.h"
#include "nxapi_private.h"
#include "nxapi_prompt.h"
#include "peer_testutil.h"
#include "quor_api.h"
#include "quorex_crypto.h"
#include "quorex_netrc.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

using peertest::FdSource;
using peertest::peerSend;
using peertest::replyHeader;
using velktest::Clock;
using velktest::kGenerousWait;
using Bytes = std::vector<unsigned char>;

const kyl_xdrproc_t kSecReq = KYL_XDRPROC(api_exchg_sec_params_req_t, xdr_api_exchg_sec_params_req_t);
const kyl_xdrproc_t kSecRply = KYL_XDRPROC(api_exchg_sec_params_rply_t, xdr_api_exchg_sec_params_rply_t);
const kyl_xdrproc_t kDh = KYL_XDRPROC(api_get_dh_params_rply_t, xdr_api_get_dh_params_rply_t);
const kyl_xdrproc_t kPub = KYL_XDRPROC(api_exchg_pubkey_t, xdr_api_exchg_pubkey_t);
const kyl_xdrproc_t kCombo = KYL_XDRPROC(api_login_combo_t, xdr_api_login_combo_t);
const kyl_xdrproc_t kPam = KYL_XDRPROC(api_login_pam_t, xdr_api_login_pam_t);
const kyl_xdrproc_t kKeytab = KYL_XDRPROC(api_login_keytab_t, xdr_api_login_keytab_t);
const kyl_xdrproc_t kReconnect = KYL_XDRPROC(api_login_reconnect_t, xdr_api_login_reconnect_t);
const kyl_xdrproc_t kLoginRply = KYL_XDRPROC(api_login_rply_t, xdr_api_login_rply_t);
const kyl_xdrproc_t kChalReq = KYL_XDRPROC(api_auth_challenge_rsp_req_t, xdr_api_auth_challenge_rsp_req_t);
const kyl_xdrproc_t kChalRply = KYL_XDRPROC(api_auth_challenge_rsp_rply_t, xdr_api_auth_challenge_rsp_rply_t);
const kyl_xdrproc_t kConvReq = KYL_XDRPROC(api_pam_conv_req_t, xdr_api_pam_conv_req_t);
const kyl_xdrproc_t kConvRply = KYL_XDRPROC(api_pam_conv_rply_t, xdr_api_pam_conv_rply_t);

constexpr const char *kPassword = "s3cret-Pa55";
constexpr const char *kKeytabBytes = "KEYTAB-SECRET-0123456789-abcdefghijklmnop";

std::string str(const unsigned char *p, size_t n)
{
    return std::string(reinterpret_cast<const char *>(p), n);
}

// The gateway's side.  Every check failure is recorded; the first one is
// reported by the test.
struct Peer {
    explicit Peer(int f) : fd(f), src(f) {}

    int fd;
    FdSource src;
    Bytes key;  // the session key agreed with the client
    std::vector<std::string> failures;
    std::vector<uint16_t> functions;  // every request function seen, in order

    bool check(bool ok, const std::string &what)
    {
        if (!ok)
            failures.push_back(what);
        return ok;
    }

    // Reads one message; its body (when flagged) is decoded with proc.
    bool read(api_msghdr_t *h, kyl_xdrproc_t proc, void *body)
    {
        kyl_xdr_t x;
        kyl_xdr_create_decode(&x, &src);
        if (!nx_xdr_api_msghdr_t(&x, h) || !kylgw_MsgHdrSane(h))
            return check(false, "request header");
        functions.push_back(h->function);
        if ((h->msgFlags & MSGF_BODY) == 0)
            return true;
        return check(proc != nullptr && proc(&x, body), "request body of function " + std::to_string(h->function));
    }

    // Reads one request and checks its function.
    bool expect(uint16_t fn, api_msghdr_t *h, kyl_xdrproc_t proc, void *body)
    {
        return read(h, proc, body) && check(h->category == CAT_AUTH && h->function == fn,
                                            "expected function " + std::to_string(fn) + ", got " +
                                                std::to_string(h->function));
    }

    bool send(uint32_t id, uint16_t fn, int32_t err, kyl_xdrproc_t proc, void *body)
    {
        return check(peerSend(fd, replyHeader(id, CAT_AUTH, fn, err), proc, body), "reply");
    }

    // After the client is done: everything that still arrives, up to the
    // end of the stream.
    void drain()
    {
        api_msghdr_t h;
        for (;;) {
            kyl_xdr_t x;
            kyl_xdr_create_decode(&x, &src);
            if (!nx_xdr_api_msghdr_t(&x, &h))
                return;
            functions.push_back(h.function);
            unsigned char skip[4096];
            // Bodies of late requests are not decoded; a stray read here
            // only lands in skip until the end of the stream.
            if ((h.msgFlags & MSGF_BODY) != 0 && read_some(skip, sizeof skip) <= 0)
                return;
        }
    }
    ssize_t read_some(unsigned char *b, size_t n) { return ::read(fd, b, n); }

    bool securityParams(uint32_t method, uint32_t cipher)
    {
        api_msghdr_t h;
        api_exchg_sec_params_req_t req = {};
        if (!expect(FN_AUTH_SEC_PARAMS, &h, kSecReq, &req))
            return false;
        check(req.auth_types == 0x250 && req.cipher_types == 2, "security parameters offered");
        api_exchg_sec_params_rply_t r = {method, cipher, 0, 0, 0, 0};
        return send(h.msgRequestID, FN_AUTH_SEC_PARAMS, 0, kSecRply, &r);
    }

    // Parameters of the published group, then the public key exchange.
    bool diffieHellman()
    {
        api_msghdr_t h;
        if (!expect(FN_AUTH_DH_PARAMS, &h, nullptr, nullptr))
            return false;
        check((h.msgFlags & MSGF_BODY) == 0, "DH parameter request has no body");
        size_t plen = 0;
        const unsigned char *p = quorex_DHGroup14Prime(&plen);
        unsigned char g = 2;
        api_get_dh_params_rply_t params = {static_cast<int32_t>(plen), const_cast<unsigned char *>(p), 1, &g};
        if (!send(h.msgRequestID, FN_AUTH_DH_PARAMS, 0, kDh, &params))
            return false;
        api_exchg_pubkey_t theirs = {};
        if (!expect(FN_AUTH_PUBKEY, &h, kPub, &theirs))
            return false;
        quorex_dh_t *dh = nullptr;
        bool ok = check(quorex_DHNew(p, plen, &g, 1, &dh) == 0, "server key pair");
        unsigned char mine[QUOREX_MAX_DH_BYTES];
        unsigned char secret[QUOREX_MAX_DH_BYTES];
        int mlen = ok ? quorex_DHPublicKey(dh, mine, sizeof mine) : -1;
        int slen = ok ? quorex_DHSharedSecret(dh, theirs.bn_pubkey, static_cast<size_t>(theirs.pubkey_len), secret,
                                              sizeof secret)
                      : -1;
        quorex_DHFree(dh);
        kyl_xdr_free(kPub, &theirs);
        if (!check(mlen > 0 && slen > 0, "server side of the key agreement"))
            return false;
        key.assign(secret, secret + slen);
        api_exchg_pubkey_t out = {mlen, mine};
        return send(h.msgRequestID, FN_AUTH_PUBKEY, 0, kPub, &out);
    }

    Bytes decipher(const unsigned char *in, size_t n)
    {
        Bytes out(n + 16);
        size_t len = 0;
        if (!check(quorex_Decrypt(QUOREX_CIPHER_AES, key.size(), key.data(), n, in, &len, out.data()) == 0,
                   "decipher"))
            return Bytes();
        out.resize(len);
        return out;
    }
    Bytes encipher(const Bytes &in)
    {
        Bytes out(quorex_EncryptedLength(in.size()));
        size_t len = 0;
        check(quorex_Encrypt(QUOREX_CIPHER_AES, key.size(), key.data(), in.size(), in.data(), &len, out.data()) == 0,
              "encipher");
        out.resize(len);
        return out;
    }

    // A combo login request; returns the unscrambled user name.
    std::string comboLogin(api_msghdr_t *h, int expectRetries)
    {
        api_login_combo_t req = {};
        if (!expect(FN_AUTH_LOGIN_COMBO, h, kCombo, &req))
            return "";
        check(req.prot_ver_major == 67 && req.prot_ver_minor == 2 && req.cipher_types == 2, "combo login fields");
        check(req.client_pid == static_cast<uint32_t>(getpid()), "combo login pid");
        check(req.max_retries == expectRetries, "max_retries " + std::to_string(req.max_retries));
        garble(req.username, sizeof req.username, h->msgTime);
        check(req.username[sizeof req.username - 1] == 0, "user name field terminated");
        return reinterpret_cast<const char *>(req.username);
    }

    // A login reply with the given flags and result.
    bool loginReply(uint32_t id, uint16_t fn, int32_t err, uint32_t flags, int retryCount = 3,
                    uint32_t expire = 424242)
    {
        api_login_rply_t r = {};
        r.flags = flags;
        r.retry_count = retryCount;
        r.expire_time = expire;
        r.cipher_types = 2;
        r.cipher_to_use = 2;
        return send(id, fn, err, kLoginRply, &r);
    }

    // A challenge response; returns the deciphered password text and
    // checks the 513-byte NUL-padded field.
    std::string challenge(api_msghdr_t *h, uint32_t loginTime, uint32_t flags)
    {
        api_auth_challenge_rsp_req_t req = {};
        if (!expect(FN_AUTH_CHALLENGE_RSP, h, kChalReq, &req))
            return "";
        check(h->msgTime == loginTime, "challenge msgTime is the login time");
        check(h->msgFlags == (MSGF_BODY | flags), "challenge header flags " + std::to_string(h->msgFlags));
        check(req.response_size == 528, "enciphered response is 528 bytes");
        Bytes clear = decipher(req.response, req.response_size);
        kyl_xdr_free(kChalReq, &req);
        if (!check(clear.size() == 513, "deciphered field is 513 bytes"))
            return "";
        std::string text(reinterpret_cast<const char *>(clear.data()));
        for (size_t i = text.size(); i < clear.size(); i++)
            if (clear[i] != 0)
                return check(false, "padding is NUL"), "";
        return text;
    }

    bool challengeReply(uint32_t id, int32_t err)
    {
        api_auth_challenge_rsp_rply_t r = {};
        r.retries = 2;
        return send(id, FN_AUTH_CHALLENGE_RSP, err, kChalRply, &r);
    }
};

// A scripted user at a pseudo-terminal: waits for each expected text in
// what the terminal shows and types the answer with a newline.
class TtyUser {
public:
    TtyUser()
    {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) == 0)
            path_ = ttyname(slave_);
    }
    ~TtyUser()
    {
        finish();
        if (master_ >= 0)
            close(master_);
        if (slave_ >= 0)
            close(slave_);
    }
    const std::string &path() const { return path_; }

    void start(std::vector<std::pair<std::string, std::string>> script)
    {
        script_ = std::move(script);
        thread_ = std::thread([this] { run(); });
    }
    // Stops reading; returns everything the terminal showed.
    std::string finish()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        std::lock_guard<std::mutex> g(mu_);
        return shown_;
    }
    bool scriptDone()
    {
        std::lock_guard<std::mutex> g(mu_);
        return next_ == script_.size();
    }

private:
    void run()
    {
        size_t from = 0;
        auto deadline = Clock::now() + kGenerousWait;
        while (!stop_ && Clock::now() < deadline) {
            struct pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            char buf[512];
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0)
                continue;
            std::lock_guard<std::mutex> g(mu_);
            shown_.append(buf, static_cast<size_t>(n));
            while (next_ < script_.size()) {
                size_t at = shown_.find(script_[next_].first, from);
                if (at == std::string::npos)
                    break;
                from = at + script_[next_].first.size();
                std::string answer = script_[next_].second + "\n";
                if (::write(master_, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size()))
                    return;
                next_++;
            }
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::vector<std::pair<std::string, std::string>> script_;
    size_t next_ = 0;
    std::string shown_;
    std::mutex mu_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Auth : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *v : {"QUOR_AUTH_METHOD", "QUOR_PRINCIPAL", "QUOR_KEYTAB_PATH", "QUOR_USE_NETRC_FILE"})
            unsetenv(v);
        nxapi_ResetAuthState();
        // No terminal unless a test provides one.
        ASSERT_EQ(nxapi_SetTerminalPath((dir / "no-such-tty").c_str()), 0);
        ASSERT_EQ(quorex_OpenSSLInit(), 0);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        peerFd = sv[1];
        conn = new quor_connection_t;
        conn->handle = 1;
        conn->site_info.sv_prot_major = 67;
        conn->site_info.sv_prot_minor = 2;
        auto *sin = reinterpret_cast<sockaddr_in *>(&conn->server_addr.hs_addr);
        sin->sin_family = AF_INET;
        sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        conn->server_addr.hs_addrlen = sizeof(sockaddr_in);
        ASSERT_EQ(nx_OpenStreams(conn, sv[0]), 0);
        ctx.connection = conn;
        peer = new Peer(peerFd);
    }
    void TearDown() override
    {
        closeClient();
        if (peerThread.joinable())
            peerThread.join();
        delete peer;
        if (conn->session_key != nullptr)
            free(conn->session_key);
        free(conn->public_key);
        free(conn->relogin_context.user_msg_buf);
        free(conn->relogin_context.reconnect_packet);
        free(conn->relogin_context.reconnect_hmac_packet);
        delete conn;
        close(peerFd);
        nxapi_ResetAuthState();
        nxapi_SetTerminalPath(nullptr);
    }

    // Runs the server's side in a thread, then drains what else arrives.
    void serve(std::function<void(Peer &)> script)
    {
        peerThread = std::thread([this, script] {
            script(*peer);
            peer->drain();
        });
    }
    void closeClient()
    {
        if (!closed) {
            nx_CloseStreams(conn, NXAPI_E_NOSESSION);
            closed = true;
        }
    }
    // Runs nxapi_authenticate with stderr captured, then lets the peer
    // finish.
    int login()
    {
        velktest::StreamCapture cap(STDERR_FILENO);
        rc = nxapi_authenticate(conn, &ctx, &retryLater, &stop);
        err = cap.text();
        closeClient();
        if (peerThread.joinable())
            peerThread.join();
        return rc;
    }
    std::string peerFailures() const
    {
        std::string s;
        for (const auto &f : peer->failures)
            s += f + "; ";
        return s;
    }
    std::vector<uint16_t> fns() const { return peer->functions; }

    std::string writeKeytab(mode_t mode)
    {
        std::string path = dir / "keytab";
        {
            std::ofstream f(path, std::ios::trunc | std::ios::binary);
            f << kKeytabBytes;
        }
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    velktest::ScratchDir dir;
    quor_connection_t *conn = nullptr;
    nxapi_tcontext_t ctx;
    int peerFd = -1;
    Peer *peer = nullptr;
    std::thread peerThread;
    bool closed = false;
    int rc = 1;
    int retryLater = -1;
    int stop = -1;
    std::string err;
};

using Fns = std::vector<uint16_t>;

TEST_F(Auth, ComboWithKnownPasswordAgreesASessionKeyAndIsReusedOnTheSameConnection)
{
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_COMBO), 0);
    ASSERT_EQ(quor_SetCombo("alice", kPassword), 0);
    serve([](Peer &p) {
        api_msghdr_t login, h;
        p.check(p.comboLogin(&login, 1) == "alice", "user name");
        p.loginReply(login.msgRequestID, FN_AUTH_LOGIN_COMBO, 0, KYLGW_LOGINF_SESSION_KEY);
        p.diffieHellman();
        p.check(p.challenge(&h, login.msgTime, 0) == kPassword, "password");
        p.challengeReply(h.msgRequestID, 0);
        // A second login on the same connection reuses the session key.
        p.check(p.comboLogin(&login, 1) == "alice", "user name again");
        p.loginReply(login.msgRequestID, FN_AUTH_LOGIN_COMBO, 0, KYLGW_LOGINF_SESSION_KEY);
        p.check(p.challenge(&h, login.msgTime, 0) == "second", "second password");
        p.challengeReply(h.msgRequestID, 0);
    });
    {
        velktest::StreamCapture cap(STDERR_FILENO);
        ASSERT_EQ(nxapi_authenticate(conn, &ctx, &retryLater, &stop), 0);
        EXPECT_EQ(conn->cred_expire_time, 424242u);
        ASSERT_EQ(quor_SetCombo(nullptr, "second"), 0);
        EXPECT_EQ(nxapi_authenticate(conn, &ctx, &retryLater, &stop), 0);
    }
    closeClient();
    peerThread.join();
    EXPECT_EQ(peerFailures(), "");
    EXPECT_EQ(fns(), (Fns{260, 18, 20, 304, 260, 304}));
    ASSERT_NE(conn->session_key, nullptr);
    EXPECT_EQ(str(conn->session_key, static_cast<size_t>(conn->sess_key_len)), str(peer->key.data(), peer->key.size()));
    EXPECT_EQ(retryLater, 0);
    EXPECT_EQ(stop, 0);
}

TEST_F(Auth, ComboEstablishesTheKeyEvenWhenNotAsked)
{
    // The server leaves out the session-key flag; the password still goes
    // out enciphered under a fresh key, never under none.
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_COMBO), 0);
    ASSERT_EQ(quor_SetCombo("alice", kPassword), 0);
    serve([](Peer &p) {
        api_msghdr_t login, h;
        p.comboLogin(&login, 1);
        p.loginReply(login.msgRequestID, FN_AUTH_LOGIN_COMBO, 0, 0);
        p.diffieHellman();
        p.check(p.challenge(&h, login.msgTime, 0) == kPassword, "password");
        p.challengeReply(h.msgRequestID, 0);
    });
    EXPECT_EQ(login(), 0) << err;
    EXPECT_EQ(peerFailures(), "");
    EXPECT_EQ(fns(), (Fns{260, 18, 20, 304}));
}

TEST_F(Auth, ComboWrongPasswordsAtTheTerminalAreRetriedThenRefused)
{
    TtyUser user;
    ASSERT_FALSE(user.path().empty());
    ASSERT_EQ(nxapi_SetTerminalPath(user.path().c_str()), 0);
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_COMBO), 0);
    ASSERT_EQ(quor_SetCombo("alice", nullptr), 0);
    user.start({{"[alice]Password: ", "wrong1"}, {"[alice]Password: ", "wrong2"}, {"[alice]Password: ", "wrong3"}});
    serve([](Peer &p) {
        api_msghdr_t login, h;
        p.comboLogin(&login, 3);
        p.loginReply(login.msgRequestID, FN_AUTH_LOGIN_COMBO, 0, KYLGW_LOGINF_SESSION_KEY);
        p.diffieHellman();
        const int codes[] = {KYLGW_E_AUTHFAILED, -42010, KYLGW_E_AUTHFAILED};
        for (int i = 0; i < 3; i++) {
            p.check(p.challenge(&h, login.msgTime, 0) == "wrong" + std::to_string(i + 1), "attempt " +
                                                                                           std::to_string(i));
            p.challengeReply(h.msgRequestID, codes[i]);
        }
    });
    EXPECT_EQ(login(), KYLGW_E_AUTHFAILED) << err;
    EXPECT_TRUE(user.scriptDone());
    std::string shown = user.finish();
    EXPECT_EQ(peerFailures(), "");
    EXPECT_EQ(fns(), (Fns{260, 18, 20, 304, 304, 304}));
    // Echo was off: the typed passwords never came back on the terminal.
    EXPECT_EQ(shown.find("wrong"), std::string::npos) << shown;
}

TEST_F(Auth, ComboTokenCodeDemandShowsTheBoxAndFlagsTheNextResponse)
{
    TtyUser user;
    ASSERT_EQ(nxapi_SetTerminalPath(user.path().c_str()), 0);
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_COMBO), 0);
    ASSERT_EQ(quor_SetCombo("alice", kPassword), 0);
    user.start({{"[alice]ENTER TOKEN CODE: ", "778899"}});
    serve([](Peer &p) {
        api_msghdr_t login, h;
        p.comboLogin(&login, 1);
        p.loginReply(login.msgRequestID, FN_AUTH_LOGIN_COMBO, 0, KYLGW_LOGINF_SESSION_KEY);
        p.diffieHellman();
        p.check(p.challenge(&h, login.msgTime, 0) == kPassword, "first response");
        p.challengeReply(h.msgRequestID, -42009);
        p.check(p.challenge(&h, login.msgTime, MSGF_TOKEN_NEXT) == "778899", "token code");
        p.challengeReply(h.msgRequestID, 0);
    });
    EXPECT_EQ(login(), 0) << err;
    EXPECT_EQ(peerFailures(), "");
    EXPECT_EQ(fns(), (Fns{260, 18, 20, 304, 304}));
    EXPECT_EQ(err, "********************** ATTENTION *************************\n"
                   "*  Wait for the token code on the SecurID card           *\n"
                   "*  to change and then enter JUST THE TOKEN CODE          *\n"
                   "*  (WITHOUT YOUR PIN) in response to the password prompt *\n"
                   "**********************************************************\n");
}

TEST_F(Auth, ComboRetryCountZeroStillMakesOneAttemptAndOnlyItsSuccessCounts)
{
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_COMBO), 0);
    ASSERT_EQ(quor_SetCombo("alice", kPassword), 0);
    serve([](Peer &p) {
        api_msghdr_t login, h;
        p.comboLogin(&login, 1);
        p.loginReply(login.msgRequestID, FN_AUTH_LOGIN_COMBO, 0, KYLGW_LOGINF_SESSION_KEY, 0);
        p.diffieHellman();
        p.check(p.challenge(&h, login.msgTime, 0) == kPassword, "the one attempt");
        p.challengeReply(h.msgRequestID, KYLGW_E_AUTHFAILED);
    });
    EXPECT_EQ(login(), KYLGW_E_AUTHFAILED) << err;
    EXPECT_EQ(peerFailures(), "");
    EXPECT_EQ(fns(), (Fns{260, 18, 20, 304}));
}

TEST_F(Auth, ComboRefusesToSendThePasswordInClear)
{
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_COMBO), 0);
    ASSERT_EQ(quor_SetCombo("alice", kPassword), 0);
    serve([](Peer &p) {
        api_msghdr_t login;
        p.comboLogin(&login, 1);
        p.loginReply(login.msgRequestID, FN_AUTH_LOGIN_COMBO, 0,
                     KYLGW_LOGINF_SESSION_KEY | KYLGW_LOGINF_CLEAR_PASSWORD);
    });
    EXPECT_EQ(login(), KYLGW_E_AUTHFAILED);
    EXPECT_EQ(peerFailures(), "");
    // Nothing after the login request: no key exchange, no response.
    EXPECT_EQ(fns(), (Fns{260}));
    EXPECT_EQ(err.find(kPassword), std::string::npos);
}

TEST_F(Auth, ComboWithoutTerminalOrCredentialsSendsNothing)
{
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_COMBO), 0);
    ASSERT_EQ(quor_SetCombo("alice", nullptr), 0);
    serve([](Peer &) {});
    EXPECT_EQ(login(), KYLGW_E_AUTHFAILED);  // -1 leaves the starting result
    EXPECT_NE(err.find("Not running interactively - can't get authorization combo!"), std::string::npos) << err;
    EXPECT_TRUE(fns().empty());
}

TEST_F(Auth, ComboReplyAskingToRetryLaterIsSavedAsReloginContext)
{
    ASSERT_EQ(quor_SetCombo("alice", kPassword), 0);
    serve([](Peer &p) {
        api_msghdr_t login;
        p.comboLogin(&login, 1);
        api_login_rply_t r = {};
        r.flags = KYLGW_LOGINF_RETRY_LATER;
        r.retry_time = 1900000000ull;
        unsigned char text[] = "come back later";
        unsigned char packet[] = {1, 2, 3, 4, 5};
        unsigned char mac[] = {9, 8, 7};
        r.user_msg_len = 15;
        r.user_msg_buf = text;
        r.retry_packet_len = sizeof packet;
        r.retry_packet = packet;
        r.hmac_len = sizeof mac;
        r.hmac_packet = mac;
        p.send(login.msgRequestID, FN_AUTH_LOGIN_COMBO, KYLGW_E_SHUTTING_DOWN, kLoginRply, &r);
    });
    // Retry-later ends the method list at once: keytab and PAM are not tried.
    EXPECT_EQ(login(), KYLGW_E_SHUTTING_DOWN);
    EXPECT_EQ(retryLater, 1);
    EXPECT_EQ(stop, 0);
    EXPECT_EQ(fns(), (Fns{260}));
    const login_reconnect_t &rl = conn->relogin_context;
    EXPECT_EQ(rl.reconnect_time, 1900000000ull);
    ASSERT_EQ(rl.user_msg_len, 15u);
    EXPECT_EQ(std::string(rl.user_msg_buf, rl.user_msg_len), "come back later");
    ASSERT_EQ(rl.reconnect_packet_len, 5u);
    const unsigned char packet[] = {1, 2, 3, 4, 5};
    const unsigned char mac[] = {9, 8, 7};
    EXPECT_EQ(str(rl.reconnect_packet, 5), str(packet, 5));
    ASSERT_EQ(rl.reconnect_hmac_len, 3u);
    EXPECT_EQ(str(rl.reconnect_hmac_packet, 3), str(mac, 3));
}

TEST_F(Auth, ReconnectLoginSendsTheSavedContextAndReplacesIt)
{
    api_login_rply_t saved = {};
    unsigned char packet[] = "retry-packet";
    unsigned char mac[32];
    memset(mac, 0x5a, sizeof mac);
    saved.retry_packet_len = sizeof packet;
    saved.retry_packet = packet;
    saved.hmac_len = sizeof mac;
    saved.hmac_packet = mac;
    ASSERT_EQ(kylgw_SaveLoginReconnect(conn, &saved), 0);
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_RECONNECT), 0);
    int count = 0;
    EXPECT_EQ(quor_GetAuthType(&count), QUOR_AUTH_RECONNECT);
    EXPECT_EQ(count, 1);
    serve([&](Peer &p) {
        api_msghdr_t h;
        api_login_reconnect_t req = {};
        if (!p.expect(FN_AUTH_LOGIN_RECONNECT, &h, kReconnect, &req))
            return;
        p.check(req.prot_ver_major == 67 && req.prot_ver_minor == 2, "reconnect versions");
        p.check(str(req.retry_packet, req.retry_packet_len) == str(packet, sizeof packet), "retry packet");
        p.check(str(req.hmac_packet, req.hmac_len) == str(mac, sizeof mac), "signature");
        kyl_xdr_free(kReconnect, &req);
        api_login_rply_t r = {};
        unsigned char next[] = {0xAA, 0xBB};
        r.retry_packet_len = 2;
        r.retry_packet = next;
        r.expire_time = 77;
        p.send(h.msgRequestID, FN_AUTH_LOGIN_RECONNECT, 0, kLoginRply, &r);
    });
    EXPECT_EQ(login(), 0) << err;
    EXPECT_EQ(peerFailures(), "");
    EXPECT_EQ(fns(), (Fns{128}));
    EXPECT_EQ(conn->cred_expire_time, 77u);
    ASSERT_EQ(conn->relogin_context.reconnect_packet_len, 2u);
    EXPECT_EQ(conn->relogin_context.reconnect_packet[0], 0xAA);
    EXPECT_EQ(conn->relogin_context.reconnect_hmac_len, 0u);
}

TEST_F(Auth, ReconnectUnderAnotherProtocolLevelIsRefused)
{
    conn->site_info.sv_prot_minor = 1;
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_RECONNECT), 0);
    serve([](Peer &p) {
        api_msghdr_t h;
        api_login_reconnect_t req = {};
        p.expect(FN_AUTH_LOGIN_RECONNECT, &h, kReconnect, &req);
        kyl_xdr_free(kReconnect, &req);
        p.loginReply(h.msgRequestID, FN_AUTH_LOGIN_RECONNECT, 0, 0);
    });
    EXPECT_EQ(login(), KYLGW_E_PROTOCOL_LEVEL);
}

TEST_F(Auth, KeytabWithGroupPermissionsIsRefused)
{
    std::string path = writeKeytab(0640);
    {
        velktest::StreamCapture cap(STDERR_FILENO);
        EXPECT_EQ(quor_SetKeytabInfo("alice", path.c_str(), 1), -1);
        EXPECT_EQ(cap.text(), "*** Keytab file has non-owner perms set: " + path + "\n");
    }
    EXPECT_EQ(quor_SetKeytabInfo("alice", "", 1), -2);
    EXPECT_EQ(quor_SetKeytabInfo("alice", (dir / "missing").c_str(), 1), -2);
    EXPECT_EQ(quor_SetKeytabInfo("alice", dir.path().c_str(), 1), -9);
    // Through the environment the same check ends the method before any
    // message is sent.
    setenv("QUOR_KEYTAB_PATH", path.c_str(), 1);
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_KEYTAB), 0);
    serve([](Peer &) {});
    EXPECT_EQ(login(), KYLGW_E_AUTHFAILED);
    EXPECT_EQ(err, "*** Keytab file has non-owner perms set: " + path + "\n");
    EXPECT_TRUE(fns().empty());
}

TEST_F(Auth, KeytabLoginSendsTheEncipheredFile)
{
    std::string path = writeKeytab(0600);
    ASSERT_EQ(quor_SetKeytabInfo("alice", path.c_str(), 3), 0);
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_KEYTAB), 0);
    serve([](Peer &p) {
        p.securityParams(QUOR_AUTH_KEYTAB, QUOREX_CIPHER_AES);
        p.diffieHellman();
        api_msghdr_t h;
        api_login_keytab_t req = {};
        if (!p.expect(FN_AUTH_LOGIN_KEYTAB, &h, kKeytab, &req))
            return;
        p.check(req.cipher_type == 2 && req.flags == 0 && req.key_version == 3, "keytab login fields");
        garble(req.principal, sizeof req.principal, h.msgTime);
        p.check(std::string(reinterpret_cast<const char *>(req.principal)) == "alice", "principal");
        Bytes clear = p.decipher(req.keytab, req.keytab_size);
        p.check(req.keytab_size == quorex_EncryptedLength(strlen(kKeytabBytes)), "size sent");
        p.check(str(clear.data(), clear.size()) == kKeytabBytes, "keytab contents");
        kyl_xdr_free(kKeytab, &req);
        p.loginReply(h.msgRequestID, FN_AUTH_LOGIN_KEYTAB, 0, 0, 3, 555);
    });
    EXPECT_EQ(login(), 0) << err;
    EXPECT_EQ(peerFailures(), "");
    EXPECT_EQ(fns(), (Fns{16, 18, 20, 259}));
    EXPECT_EQ(conn->cred_expire_time, 555u);
}

TEST_F(Auth, KeytabIsNeverSentUnderTheScrambler)
{
    std::string path = writeKeytab(0600);
    ASSERT_EQ(quor_SetKeytabInfo("alice", path.c_str(), 3), 0);
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_KEYTAB), 0);
    serve([](Peer &p) { p.securityParams(QUOR_AUTH_KEYTAB, QUOREX_CIPHER_GARBLE); });
    EXPECT_EQ(login(), -22);
    EXPECT_EQ(fns(), (Fns{16}));
}

// ---- PAM ------------------------------------------------------------------

struct ConvEntry {
    int style;
    std::string text;  // without its NUL
};

Bytes packEntries(const std::vector<ConvEntry> &entries)
{
    Bytes out;
    for (const auto &e : entries) {
        uint32_t len = static_cast<uint32_t>(e.text.size() + 1);
        unsigned char hdr[8] = {static_cast<unsigned char>(e.style), 0, 0, 0, static_cast<unsigned char>(len >> 24),
                                static_cast<unsigned char>(len >> 16), static_cast<unsigned char>(len >> 8),
                                static_cast<unsigned char>(len)};
        out.insert(out.end(), hdr, hdr + 8);
        out.insert(out.end(), e.text.begin(), e.text.end());
        out.push_back(0);
    }
    return out;
}

// Plays the PAM login up to the first conversation request, which carries
// clear (enciphered here) and count; returns the login header.
bool pamStart(Peer &p, api_msghdr_t *login)
{
    p.securityParams(QUOR_AUTH_PAM, QUOREX_CIPHER_AES);
    p.diffieHellman();
    api_login_pam_t req = {};
    if (!p.expect(FN_AUTH_LOGIN_PAM, login, kPam, &req))
        return false;
    p.check(req.enc_cipher_type == 2 && req.max_retries == 3 && req.cipher_types == 2, "PAM login fields");
    p.check(req.enc_username_size == 272, "enciphered user name is 272 bytes");
    Bytes name = p.decipher(req.enc_username, req.enc_username_size);
    p.check(name.size() == 257 && std::string(reinterpret_cast<const char *>(name.data())) == "alice", "PAM user");
    kyl_xdr_free(kPam, &req);
    return true;
}

bool pamRound(Peer &p, const api_msghdr_t &login, const Bytes &clear, int count)
{
    p.loginReply(login.msgRequestID, FN_AUTH_LOGIN_PAM, 0, KYLGW_LOGINF_PAM_CONV);
    Bytes enc = p.encipher(clear);
    api_pam_conv_req_t conv = {count, static_cast<uint32_t>(enc.size()), enc.data()};
    api_msghdr_t h;
    kylgw_BuildMsgHdr(&h, login.msgRequestID, 0, 0, 7, CAT_AUTH, FN_AUTH_PAM_CONV_REQ, 0);
    return p.check(peerSend(p.fd, h, kConvReq, &conv), "conversation request");
}

// Reads the task reply to a round; returns the deciphered packed answers.
Bytes pamAnswer(Peer &p, const api_msghdr_t &login, int count)
{
    api_msghdr_t h;
    api_pam_conv_rply_t r = {};
    if (!p.expect(FN_AUTH_PAM_CONV_RPLY, &h, kConvRply, &r))
        return Bytes();
    p.check(h.msgFlags == (MSGF_TASK | MSGF_BODY), "task flags");
    p.check(h.msgRequestID == login.msgRequestID && h.threadID == 7, "task reply ids");
    p.check(h.msgTime == login.msgTime, "task reply time");
    p.check(r.reply_count == count, "reply count");
    Bytes clear = p.decipher(r.enc_conv_reply_msg, r.enc_conv_reply_msglen);
    kyl_xdr_free(kConvRply, &r);
    return clear;
}

TEST_F(Auth, PamTwoPromptsAndAnInformationalText)
{
    TtyUser user;
    ASSERT_EQ(nxapi_SetTerminalPath(user.path().c_str()), 0);
    ASSERT_EQ(quor_SetCombo("alice", kPassword), 0);
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_PAM), 0);
    user.start({{"Secret word? ", "pw1"}, {"Your token? ", "tok-22"}});
    serve([](Peer &p) {
        api_msghdr_t login;
        if (!pamStart(p, &login))
            return;
        pamRound(p, login, packEntries({{1, "Secret word? "}, {2, "Your token? "}}), 2);
        Bytes a = pamAnswer(p, login, 2);
        // 8 + len1 + 8 + len2, each length counting the NUL.
        const unsigned char expect[] = {0, 0, 0, 4, 0, 0, 0, 0, 'p', 'w', '1', 0,
                                        0, 0, 0, 7, 0, 0, 0, 0, 't', 'o', 'k', '-', '2', '2', 0};
        p.check(a.size() == 8 + 4 + 8 + 7 && str(a.data(), a.size()) == str(expect, sizeof expect), "packed answers");
        pamRound(p, login, packEntries({{4, "Welcome to the gateway"}}), 1);
        Bytes b = pamAnswer(p, login, 1);
        const unsigned char none[8] = {};
        p.check(str(b.data(), b.size()) == str(none, 8), "a text gets an empty answer");
        p.loginReply(login.msgRequestID, FN_AUTH_LOGIN_PAM, 0, KYLGW_LOGINF_PAM_FINAL, 3, 999);
    });
    EXPECT_EQ(login(), 0) << err;
    std::string shown = user.finish();
    EXPECT_EQ(peerFailures(), "");
    EXPECT_EQ(fns(), (Fns{16, 18, 20, 256, 33, 33}));
    EXPECT_EQ(conn->cred_expire_time, 999u);
    EXPECT_NE(shown.find("Welcome to the gateway"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("pw1"), std::string::npos) << "echo-off answer shown: " << shown;
    EXPECT_NE(shown.find("tok-22"), std::string::npos) << "echo-on answer not shown: " << shown;
}

TEST_F(Auth, PamErrorTextGoesToStderrWithoutATerminal)
{
    ASSERT_EQ(quor_SetCombo("alice", kPassword), 0);
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_PAM), 0);
    serve([](Peer &p) {
        api_msghdr_t login;
        if (!pamStart(p, &login))
            return;
        pamRound(p, login, packEntries({{3, "account expires soon"}}), 1);
        pamAnswer(p, login, 1);
        p.loginReply(login.msgRequestID, FN_AUTH_LOGIN_PAM, KYLGW_E_USER_LOCKED,
                     KYLGW_LOGINF_PAM_FINAL | KYLGW_LOGINF_STOP);
    });
    EXPECT_EQ(login(), KYLGW_E_USER_LOCKED);
    EXPECT_EQ(stop, 1);
    EXPECT_EQ(err, "account expires soon\n");
    EXPECT_EQ(peerFailures(), "");
}

struct BadConversation {
    const char *name;
    Bytes clear;
    int count;
    const char *message;  // expected in stderr
};

TEST_F(Auth, PamBadConversationsAreRefusedWithoutAnAnswer)
{
    Bytes ok = packEntries({{1, "Password: "}});
    Bytes noNul = ok;
    noNul.back() = '!';
    Bytes longLen = ok;
    longLen[7] = static_cast<unsigned char>(longLen[7] + 1);
    Bytes leftover = ok;
    leftover.push_back(0);
    Bytes hugeLen = ok;
    hugeLen[4] = 0x7f;
    Bytes zeroLen = {1, 0, 0, 0, 0, 0, 0, 0};
    Bytes shortHeader = {1, 0, 0};
    std::vector<ConvEntry> many;
    for (int i = 0; i < 33; i++)
        many.push_back({4, "x"});
    const BadConversation cases[] = {
        {"33 messages", packEntries(many), 33, "invalid PAM message count 33 received - aborting \n"},
        {"no messages", ok, 0, "invalid PAM message count 0 received - aborting \n"},
        {"style 5", packEntries({{5, "odd"}}), 1, "Bad PAM conversation msg style received: 5 Aborting PAM auth\n"},
        {"text without NUL", noNul, 1, "text not terminated"},
        {"length past the data", longLen, 1, "length 12 invalid"},
        {"length past the cap", hugeLen, 1, "invalid"},
        {"zero length", zeroLen, 1, "length 0 invalid"},
        {"leftover bytes", leftover, 1, "1 bytes left over"},
        {"header cut short", shortHeader, 1, "header beyond the data"},
        {"count above the entries", ok, 2, "header beyond the data"},
    };
    for (const BadConversation &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        closed = false;
        SetUp();
        ASSERT_EQ(quor_SetCombo("alice", kPassword), 0);
        ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_PAM), 0);
        Bytes clear = c.clear;
        int count = c.count;
        serve([clear, count](Peer &p) {
            api_msghdr_t login;
            if (pamStart(p, &login))
                pamRound(p, login, clear, count);
        });
        EXPECT_EQ(login(), -22);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(peerFailures(), "");
        // No answer went back.
        EXPECT_EQ(fns(), (Fns{16, 18, 20, 256}));
    }
}

TEST_F(Auth, PamRefusesACipherOtherThanAes)
{
    ASSERT_EQ(quor_SetCombo("alice", kPassword), 0);
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_PAM), 0);
    serve([](Peer &p) { p.securityParams(QUOR_AUTH_PAM, QUOREX_CIPHER_GARBLE); });
    EXPECT_EQ(login(), -22);
    EXPECT_NE(err.find("Incompatible server/client cipher types - PAM authentication failed\n"), std::string::npos)
        << err;
    EXPECT_EQ(fns(), (Fns{16}));
}

// ---- Method lists -------------------------------------------------------------

TEST_F(Auth, MethodNamesAndLists)
{
    char names[128];
    EXPECT_EQ(quorex_GetAuthMethods(), 592u);
    EXPECT_EQ(quorex_GetCipherTypes(), 2u);
    EXPECT_GT(quorex_AuthTypesToString(0xffff, names, sizeof names), 0);
    EXPECT_STREQ(names, "COMBO GSI IDENT KERBEROS MUNGE KEYTAB LOCAL PAM ");
    EXPECT_GT(quorex_AuthTypesToString(0x250, names, sizeof names), 0);
    EXPECT_STREQ(names, "COMBO KEYTAB PAM ");
    EXPECT_GT(quorex_CipherTypesToString(0xf, names, sizeof names), 0);
    EXPECT_STREQ(names, "GARBLE AES BLOWFISH 3DES ");
    EXPECT_EQ(quorex_AuthTypesToString(0x250, names, 4), -36);

    EXPECT_EQ(quor_SetAuthType(0x8), -EINVAL);
    int count = 0;
    EXPECT_EQ(quor_GetAuthType(&count), QUOR_AUTH_COMBO);
    EXPECT_EQ(count, 3);

    const int codes[] = {QUOR_AUTH_PAM, 0x4, QUOR_AUTH_KERBEROS, QUOR_AUTH_COMBO, QUOR_AUTH_GSI};
    velktest::StreamCapture cap(STDERR_FILENO);
    EXPECT_EQ(quor_SetAuthMethodList(5, codes), 0);
    EXPECT_EQ(cap.text(), "*** (quor_SetAuthMethodList) Warning: Unrecognized authmethod type '4' (authList arg. index "
                          "= '1')\n"
                          "*** quor_SetAuthMethodList: WARNING - pkg was compiled without support for requested "
                          "authmethod(s): GSI KERBEROS \n");
    EXPECT_EQ(quor_GetAuthType(&count), QUOR_AUTH_PAM);
    EXPECT_EQ(count, 2);
}

TEST_F(Auth, EnvironmentMethodListIsTriedInItsOrder)
{
    setenv("QUOR_AUTH_METHOD", "PAM:combo", 1);
    serve([](Peer &p) {
        api_msghdr_t h;
        api_exchg_sec_params_req_t req = {};
        if (p.expect(FN_AUTH_SEC_PARAMS, &h, kSecReq, &req))
            p.send(h.msgRequestID, FN_AUTH_SEC_PARAMS, KYLGW_E_AUTHMETHOD, nullptr, nullptr);
    });
    // PAM fails at the security parameters (-22), combo has no credentials
    // (-1, which keeps the result of PAM).
    EXPECT_EQ(login(), -22);
    EXPECT_EQ(fns(), (Fns{16}));
    int count = 0;
    EXPECT_EQ(quor_GetAuthType(&count), QUOR_AUTH_COMBO);
    EXPECT_EQ(count, 2);
}

TEST_F(Auth, EnvironmentNamingOnlyAMethodNotBuiltInKeepsTheDefault)
{
    setenv("QUOR_AUTH_METHOD", "local", 1);
    ASSERT_EQ(quor_SetCombo("alice", kPassword), 0);
    serve([](Peer &p) {
        api_msghdr_t login, h;
        p.comboLogin(&login, 1);
        p.loginReply(login.msgRequestID, FN_AUTH_LOGIN_COMBO, 0, KYLGW_LOGINF_SESSION_KEY);
        p.diffieHellman();
        p.challenge(&h, login.msgTime, 0);
        p.challengeReply(h.msgRequestID, 0);
    });
    EXPECT_EQ(login(), 0);
    EXPECT_EQ(err, "*** Warning: QUOR_AUTH_METHOD environment specifies 'local' method, which was not enabled at "
                   "compile time\n");
    EXPECT_EQ(fns(), (Fns{260, 18, 20, 304}));
}

TEST_F(Auth, NetrcSuppliesTheComboCredentials)
{
    std::string home = dir.path();
    {
        std::ofstream f(dir / ".netrc");
        f << "machine netrc-test-label login nina password " << kPassword << "\n";
    }
    ASSERT_EQ(chmod((dir / ".netrc").c_str(), 0600), 0);
    const char *oldHome = getenv("HOME");
    std::string saved = oldHome != nullptr ? oldHome : "";
    setenv("HOME", home.c_str(), 1);
    setenv("QUOR_USE_NETRC_FILE", "1", 1);
    ASSERT_EQ(quorex_SetNetrcLabel("netrc-test-label", QUOREX_NETRC_LABEL_PLAIN), 0);
    ASSERT_EQ(quor_SetAuthType(QUOR_AUTH_COMBO), 0);
    serve([](Peer &p) {
        api_msghdr_t login, h;
        p.check(p.comboLogin(&login, 1) == "nina", "netrc user");
        p.loginReply(login.msgRequestID, FN_AUTH_LOGIN_COMBO, 0, KYLGW_LOGINF_SESSION_KEY);
        p.diffieHellman();
        p.check(p.challenge(&h, login.msgTime, 0) == kPassword, "netrc password");
        p.challengeReply(h.msgRequestID, 0);
    });
    EXPECT_EQ(login(), 0) << err;
    if (oldHome != nullptr)
        setenv("HOME", saved.c_str(), 1);
    else
        unsetenv("HOME");
    EXPECT_EQ(peerFailures(), "");
}

// ---- No secret in the logs ------------------------------------------------------

TEST_F(Auth, SecretsNeverReachTheDebugLogOrStderr)
{
    std::string logPath = dir / "debug.log";
    setenv("QUOR_API_DEBUG", "65535", 1);
    setenv("QUOR_API_DEBUG_FLAGS", "m", 1);
    setenv("QUOR_API_DEBUG_PATH", logPath.c_str(), 1);
    nxapi_logging_init();
    std::string allErr;

    // Combo with a rejected then accepted password, and a keytab login.
    ASSERT_EQ(quor_SetCombo("alice", kPassword), 0);
    const int methods[] = {QUOR_AUTH_COMBO, QUOR_AUTH_KEYTAB};
    ASSERT_EQ(quor_SetAuthMethodList(2, methods), 0);
    std::string path = writeKeytab(0600);
    ASSERT_EQ(quor_SetKeytabInfo("alice", path.c_str(), 3), 0);
    serve([](Peer &p) {
        api_msghdr_t login, h;
        p.comboLogin(&login, 1);
        p.loginReply(login.msgRequestID, FN_AUTH_LOGIN_COMBO, 0, KYLGW_LOGINF_SESSION_KEY);
        p.diffieHellman();
        p.challenge(&h, login.msgTime, 0);
        p.challengeReply(h.msgRequestID, -77);  // ends combo; keytab follows
        p.securityParams(QUOR_AUTH_KEYTAB, QUOREX_CIPHER_AES);
        api_login_keytab_t req = {};
        if (p.expect(FN_AUTH_LOGIN_KEYTAB, &h, kKeytab, &req))
            p.loginReply(h.msgRequestID, FN_AUTH_LOGIN_KEYTAB, -5, 0);
        kyl_xdr_free(kKeytab, &req);
    });
    EXPECT_EQ(login(), -5);
    allErr += err;
    EXPECT_EQ(peerFailures(), "");
    EXPECT_EQ(fns(), (Fns{260, 18, 20, 304, 16, 259}));

    unsetenv("QUOR_API_DEBUG");
    unsetenv("QUOR_API_DEBUG_FLAGS");
    unsetenv("QUOR_API_DEBUG_PATH");
    nxapi_logging_init();
    std::string log = velktest::readFile(logPath);
    // The log did record the exchange, so its silence about secrets means
    // something.
    EXPECT_NE(log.find("<combo> authorization call returned error -77"), std::string::npos) << log;
    EXPECT_NE(log.find("Keytab Authorization call returned error -5"), std::string::npos) << log;
    for (const std::string &secret : {std::string(kPassword), std::string(kKeytabBytes), std::string("KEYTAB-SECRET")}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
        EXPECT_EQ(allErr.find(secret), std::string::npos) << secret;
    }
}

} // namespace
