// A raw gateway client for tests (see gw_rawclient.h).

#include "gw_rawclient.h"

#include "velk_testproc.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velktest {

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

bool GwRawClient::connect(int port)
{
    fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_.valid())
        return false;
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_.get(), reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        close();
        return false;
    }
    int on = 1;
    setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

bool GwRawClient::send(const std::string &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t w = ::send(fd_.get(), bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
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
    bool closed = false;
    *out = drain(n, timeoutMs, &closed);
    return out->size() == n;
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
    struct pollfd pfd = {fd_.get(), POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) != 1)
        return false;
    char c;
    ssize_t got = recv(fd_.get(), &c, 1, 0);
    return got == 0 || (got < 0 && errno == ECONNRESET);
}

std::string GwRawClient::drain(size_t maxBytes, int timeoutMs, bool *closed)
{
    std::string out;
    *closed = false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    while (out.size() < maxBytes) {
        struct pollfd pfd = {fd_.get(), POLLIN, 0};
        int rc = poll(&pfd, 1, msLeft(deadline));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            break;
        ssize_t got = recv(fd_.get(), buf, std::min(sizeof buf, maxBytes - out.size()), 0);
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
    shutdown(fd_.get(), SHUT_WR);
}

void GwRawClient::reset()
{
    struct linger lg = {1, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close();
}

void GwRawClient::close()
{
    fd_.reset();
}

} // namespace velktest
