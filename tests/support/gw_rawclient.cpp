// A raw gateway client for tests (see gw_rawclient.h).

#include "gw_rawclient.h"

#include "kylgwd_fixture.h"
#include "velk_testsupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace velktest {

namespace {

using SteadyClock = std::chrono::steady_clock;

int msUntil(SteadyClock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

void gwPutU32(std::string *out, uint32_t v)
{
    out->push_back(static_cast<char>(v >> 24));
    out->push_back(static_cast<char>(v >> 16));
    out->push_back(static_cast<char>(v >> 8));
    out->push_back(static_cast<char>(v));
}

uint32_t gwGetU32(const std::string &bytes, size_t off)
{
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes.at(off + i))); };
    return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

std::string gwXdrString(const std::string &s)
{
    std::string out;
    gwPutU32(&out, static_cast<uint32_t>(s.size()));
    out += s;
    out.append((4 - s.size() % 4) % 4, '\0');
    return out;
}

std::string gwHeaderBytes(uint32_t requestId, uint32_t flags, uint32_t category, uint32_t function,
                          int32_t errorcode, uint32_t threadId, uint32_t time)
{
    std::string out = "API_MSGH";
    gwPutU32(&out, requestId);
    gwPutU32(&out, flags);
    gwPutU32(&out, time);
    gwPutU32(&out, threadId);
    gwPutU32(&out, category);
    gwPutU32(&out, function);
    gwPutU32(&out, static_cast<uint32_t>(errorcode));
    return out;
}

std::string gwRequest(uint32_t requestId, uint32_t category, uint32_t function, const std::string &body,
                      uint32_t extraFlags)
{
    uint32_t flags = extraFlags | (body.empty() ? 0 : kGwBodyFlag);
    return gwHeaderBytes(requestId, flags, category, function) + body;
}

GwHeader gwParseHeader(const std::string &bytes)
{
    GwHeader h;
    h.sanity = bytes.substr(0, 8);
    h.requestId = gwGetU32(bytes, 8);
    h.flags = gwGetU32(bytes, 12);
    h.time = gwGetU32(bytes, 16);
    h.threadId = gwGetU32(bytes, 20);
    h.category = gwGetU32(bytes, 24);
    h.function = gwGetU32(bytes, 28);
    h.errorcode = static_cast<int32_t>(gwGetU32(bytes, 32));
    return h;
}

GwRawClient::~GwRawClient()
{
    close();
}

void GwRawClient::adopt(int fd)
{
    close();
    fd_ = fd;
}

bool GwRawClient::connect(int port)
{
    close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        close();
        return false;
    }
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

bool GwRawClient::send(const std::string &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t w = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

bool GwRawClient::read(size_t n, std::string *out, int timeoutMs)
{
    out->clear();
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    while (out->size() < n) {
        struct pollfd pfd = {fd_, POLLIN, 0};
        int rc = poll(&pfd, 1, msUntil(deadline));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return false;
        size_t want = n - out->size() < sizeof buf ? n - out->size() : sizeof buf;
        ssize_t got = recv(fd_, buf, want, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        out->append(buf, static_cast<size_t>(got));
    }
    return true;
}

bool GwRawClient::readHeader(GwHeader *h, int timeoutMs)
{
    std::string bytes;
    if (!read(kGwHeaderSize, &bytes, timeoutMs))
        return false;
    *h = gwParseHeader(bytes);
    return true;
}

bool GwRawClient::readWords(size_t n, std::vector<uint32_t> *words)
{
    std::string bytes;
    if (!read(4 * n, &bytes))
        return false;
    words->clear();
    for (size_t i = 0; i < n; i++)
        words->push_back(gwGetU32(bytes, 4 * i));
    return true;
}

bool GwRawClient::readGreeting(GwHeader *h, std::vector<uint32_t> *words)
{
    return readHeader(h) && readWords(6, words);
}

bool GwRawClient::closedByPeer(int timeoutMs)
{
    struct pollfd pfd = {fd_, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) != 1)
        return false;
    char c;
    ssize_t got = recv(fd_, &c, 1, 0);
    return got == 0 || (got < 0 && errno == ECONNRESET);
}

std::string GwRawClient::drain(size_t maxBytes, int timeoutMs, bool *closed)
{
    std::string out;
    *closed = false;
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    while (out.size() < maxBytes) {
        struct pollfd pfd = {fd_, POLLIN, 0};
        int rc = poll(&pfd, 1, msUntil(deadline));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            break;
        ssize_t got = recv(fd_, buf, sizeof buf, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 || (got < 0 && errno == ECONNRESET)) {
            *closed = true;
            break;
        }
        if (got < 0)
            break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

void GwRawClient::shutdownWrite()
{
    if (fd_ >= 0)
        shutdown(fd_, SHUT_WR);
}

void GwRawClient::reset()
{
    if (fd_ < 0)
        return;
    struct linger lg = {1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close();
}

void GwRawClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool waitForFileText(const std::string &path, const std::string &needle, size_t count, double timeoutSeconds)
{
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000));
    for (;;) {
        if (countOccurrences(readFile(path), needle) >= count)
            return true;
        if (SteadyClock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace velktest

namespace velktest {

std::string gwScramble(std::string s, uint32_t seed)
{
    unsigned k = ((seed & 0xff) + (seed >> 8 & 0xff) + (seed >> 16 & 0xff) + (seed >> 24 & 0xff)) & 0xff;
    k ^= 0xA5;
    for (char &ch : s) {
        ch = static_cast<char>(static_cast<unsigned char>(ch) ^ k);
        k = ((k << 1) | (k >> 7)) & 0xff;
    }
    return s;
}

bool gwKeytabLogin(GwRawClient *c, uint32_t id, const std::string &user, const std::string &keytab,
                   std::string *why)
{
    constexpr uint32_t kAuth = 512, kSecParams = 16, kKeytabLogin = 259, kSeed = 0x01020304;
    auto padded = [](const std::string &b) { return b + std::string((4 - b.size() % 4) % 4, '\0'); };
    std::string body;
    for (uint32_t w : {592u, 2u, 0u, 0u, 0u, 0u})
        gwPutU32(&body, w);
    if (!c->send(gwRequest(id, kAuth, kSecParams, body))) {
        *why = "send failed";
        return false;
    }
    GwHeader h;
    std::vector<uint32_t> w;
    if (!c->readHeader(&h) || h.errorcode != 0 || !c->readWords(6, &w) || w[1] != 1) {
        *why = "security parameters refused (is cipher=GARBLE in the fault script?)";
        return false;
    }
    // Fixed words: protocol 67.2, client 99, flags 0, method 1 (keytab);
    // the 257-byte login name field and the keytab, both scrambled.
    std::string name(257, '\0');
    name.replace(0, user.size(), user);
    std::string sent = gwScramble(keytab, kSeed);
    std::string login;
    for (uint32_t v : {67u, 2u, 99u, 0u, 1u})
        gwPutU32(&login, v);
    login += padded(gwScramble(name, kSeed));
    gwPutU32(&login, static_cast<uint32_t>(sent.size()));
    gwPutU32(&login, 1);
    login += padded(sent);
    if (!c->send(gwHeaderBytes(id + 1, kGwBodyFlag, kAuth, kKeytabLogin, 0, 0, kSeed) + login)) {
        *why = "send failed";
        return false;
    }
    if (!c->readHeader(&h) || h.requestId != id + 1 || !c->readWords(9, &w)) {
        *why = "no login reply";
        return false;
    }
    // Four opaques follow: challenge, user message, packet, hmac.
    for (int i = 0; i < 4; i++) {
        std::vector<uint32_t> len;
        std::string b;
        if (!c->readWords(1, &len) || !c->read((len[0] + 3) / 4 * 4, &b)) {
            *why = "login reply cut short";
            return false;
        }
    }
    if (h.errorcode != 0) {
        *why = "login refused with " + std::to_string(h.errorcode);
        return false;
    }
    return true;
}

} // namespace velktest
