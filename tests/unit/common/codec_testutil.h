#ifndef CODEC_TESTUTIL_H
#define CODEC_TESTUTIL_H

// Helpers shared by the codec tests: hex text to bytes, big-endian words,
// encoding and decoding a typed body routine over memory, releasing what a
// decode allocated, round trips, and decoding every truncation of a valid
// body.  Header-only; every routine runs on the calling test's thread and
// reports through GoogleTest assertions where it says so.

#include "kyl_xdr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace codectest {

using Bytes = std::vector<unsigned char>;

// Type of a typed body routine: encodes, decodes or frees *v by x's mode.
template <typename T>
using Codec = bool (*)(kyl_xdr_t *, T *);

// "00 00 01 02" -> bytes; blanks and newlines are ignored.
inline Bytes hex(const std::string &text)
{
    Bytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != '\n')
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// a followed by b.
inline Bytes cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// v as four big-endian bytes.
inline Bytes word(uint32_t v)
{
    return {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
}

// Writes v big-endian at offset off of b; b must hold off + 4 bytes.
inline void putWord(Bytes &b, size_t off, uint32_t v)
{
    Bytes w = word(v);
    std::copy(w.begin(), w.end(), b.begin() + static_cast<long>(off));
}

// Records are large (an attribute record holds a 2 KiB trash path); this
// keeps them off the stack, value-initialised.
template <typename T>
std::unique_ptr<T> fresh()
{
    return std::make_unique<T>();
}

// Encodes *v; *ok receives the routine's result.  Returns whatever bytes
// the routine wrote, also when it failed part way.
template <typename T>
Bytes encode(Codec<T> fn, T *v, bool *ok)
{
    kyl_xdr_outbuf out;
    kyl_xdr_t x;
    kyl_xdr_create_encode(&x, &out);
    *ok = fn(&x, v);
    Bytes b(out.data, out.data + out.len);
    kyl_xdr_outbuf_free(&out);
    return b;
}

// True when the routine encodes *v; the bytes are dropped.
template <typename T>
bool encodes(Codec<T> fn, T *v)
{
    bool ok = false;
    encode(fn, v, &ok);
    return ok;
}

// Encodes *v, expecting the routine to succeed, and returns the bytes.
template <typename T>
Bytes encodeOk(Codec<T> fn, T *v)
{
    bool ok = false;
    Bytes b = encode(fn, v, &ok);
    EXPECT_TRUE(ok);
    return b;
}

// A memory source that remembers the largest single read asked of it, so a
// test can tell a length refused at its word from one refused by truncation.
struct RecordingSource : kyl_xdr_memsource {
    using kyl_xdr_memsource::kyl_xdr_memsource;
    bool get(unsigned char *buf, size_t n) override
    {
        largest = std::max(largest, n);
        return kyl_xdr_memsource::get(buf, n);
    }
    size_t largest = 0;
};

// Decodes b into *v and returns the routine's result, whether or not it
// read every byte.  *left receives the bytes it did not read and *largest
// the largest single read it asked for; either may be null.
template <typename T>
bool decode(Codec<T> fn, const Bytes &b, T *v, size_t *left = nullptr, size_t *largest = nullptr)
{
    RecordingSource src(b.data(), b.size());
    kyl_xdr_t x;
    kyl_xdr_create_decode(&x, &src);
    bool ok = fn(&x, v);
    if (left != nullptr)
        *left = src.left;
    if (largest != nullptr)
        *largest = src.largest;
    return ok;
}

// Decodes b into *v; true only when the routine succeeds and uses every
// byte.  *left, when not null, receives the bytes it did not read.
template <typename T>
bool decodeAll(Codec<T> fn, const Bytes &b, T *v, size_t *left = nullptr)
{
    size_t unread = 0;
    bool ok = decode(fn, b, v, &unread);
    if (left != nullptr)
        *left = unread;
    return ok && unread == 0;
}

// Runs the routine's free pass over *v, releasing what a decode allocated.
// Returns the routine's result; a free pass is expected to succeed.
template <typename T>
bool release(Codec<T> fn, T *v)
{
    kyl_xdr_t x;
    kyl_xdr_create_free(&x);
    return fn(&x, v);
}

// How expectEveryCutFails fills the record before each decode.
enum class Start {
    zeroed,  // value-initialised
    stale,   // 0xA5 in every byte: stale pointers must not survive a failed decode
};

// Every proper prefix of a valid body b fails to decode, and the free pass
// afterwards succeeds.  Each prefix is copied into a buffer of its own size
// so that the sanitizer build sees any read past the cut; the failed decode
// must own nothing once freed, which the leak checker of that build sees.
template <typename T>
void expectEveryCutFails(Codec<T> fn, const Bytes &b, Start start = Start::zeroed)
{
    auto v = fresh<T>();
    for (size_t cut = 0; cut < b.size(); cut++) {
        if (start == Start::stale)
            memset(static_cast<void *>(v.get()), 0xA5, sizeof(T));
        else
            *v = T{};
        Bytes prefix(b.begin(), b.begin() + static_cast<long>(cut));
        EXPECT_FALSE(decode(fn, prefix, v.get())) << "decoded from the first " << cut << " of " << b.size() << " bytes";
        EXPECT_TRUE(release(fn, v.get())) << "free pass after the first " << cut << " of " << b.size() << " bytes";
    }
}

// Encodes *v, decodes it into a fresh record and encodes that again: the
// two encodings must be equal.  The decoded record is released; returns
// the first encoding.
template <typename T>
Bytes roundTrip(Codec<T> fn, T *v)
{
    Bytes first = encodeOk(fn, v);
    auto d = fresh<T>();
    EXPECT_TRUE(decodeAll(fn, first, d.get()));
    Bytes second = encodeOk(fn, d.get());
    EXPECT_EQ(first, second);
    EXPECT_TRUE(release(fn, d.get()));
    return first;
}

} // namespace codectest

#endif
