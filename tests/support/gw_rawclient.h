#ifndef GW_RAWCLIENT_H
#define GW_RAWCLIENT_H

// A raw gateway client for tests against the real kylgwd: a TCP socket on
// loopback and the message framing written out by hand from the wire
// tables (36-byte header of big-endian words, XDR bodies), independent of
// the codecs under test.  Every read has a deadline; nothing sleeps.  One
// client belongs to one thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kyl_fd.h"

namespace velktest {

constexpr uint32_t kGwBodyFlag = 0x80000000u;
constexpr uint32_t kGwTaskFlag = 0x10000000u;
constexpr size_t kGwHeaderSize = 36;
// Default limit for one read; only keeps a broken server from hanging a test.
constexpr int kGwIoTimeoutMs = 30000;

struct GwHeader {
    std::string sanity; // the 8 sanity bytes as received
    uint32_t requestId = 0;
    uint32_t flags = 0;
    uint32_t time = 0;
    uint32_t threadId = 0;
    uint32_t category = 0; // the whole 4-byte unit, so a bad upper half shows
    uint32_t function = 0;
    int32_t errorcode = 0;
};

// Appends v as a big-endian 4-byte unit.
void gwPutU32(std::string *out, uint32_t v);
// The big-endian word at byte offset off of bytes (which must hold it).
uint32_t gwGetU32(const std::string &bytes, size_t off);
// An XDR string: length without terminator, the bytes, zero padding.
std::string gwXdrString(const std::string &s);
// A header: "API_MSGH" and the seven words.
std::string gwHeaderBytes(uint32_t requestId, uint32_t flags, uint32_t category, uint32_t function,
                          int32_t errorcode = 0, uint32_t threadId = 0, uint32_t time = 0);
// A request: the header (with the body flag when body is not empty, plus
// extraFlags) followed by body.
std::string gwRequest(uint32_t requestId, uint32_t category, uint32_t function, const std::string &body = "",
                      uint32_t extraFlags = 0);
// Parses the first 36 bytes of bytes.
GwHeader gwParseHeader(const std::string &bytes);

class GwRawClient {
public:
    GwRawClient() = default;
    GwRawClient(const GwRawClient &) = delete;
    GwRawClient &operator=(const GwRawClient &) = delete;

    // Connects to 127.0.0.1:port.  False on failure.
    bool connect(int port);
    bool send(const std::string &bytes);
    // Reads exactly n bytes.  False at end of input, on an error or when
    // timeoutMs pass first (*out then holds what arrived).
    bool read(size_t n, std::string *out, int timeoutMs = kGwIoTimeoutMs);
    bool readHeader(GwHeader *h, int timeoutMs = kGwIoTimeoutMs);
    // Reads the greeting: header and its six words.
    bool readGreeting(GwHeader *h, std::vector<uint32_t> *words);
    // Reads n big-endian words.
    bool readWords(size_t n, std::vector<uint32_t> *words);
    // True when the peer closes (end of input or a reset) before sending
    // anything more within timeoutMs.
    bool closedByPeer(int timeoutMs = kGwIoTimeoutMs);
    // Reads until the peer closes or maxBytes arrived; returns what came.
    // *closed tells whether the peer closed within timeoutMs.
    std::string drain(size_t maxBytes, int timeoutMs, bool *closed);
    void shutdownWrite();
    // Closes with a reset instead of an orderly end.
    void reset();
    void close();

private:
    kyl_fd fd_;
};

} // namespace velktest

#endif
