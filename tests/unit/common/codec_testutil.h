#ifndef CODEC_TESTUTIL_H
#define CODEC_TESTUTIL_H

// Helpers shared by the codec tests: hex text to bytes, big-endian words,
// running a typed body routine over memory, golden-byte checks and decoding
// every truncation of a valid body.  Header-only; the checks report through
// GoogleTest assertions on the calling test's thread.

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

inline Bytes operator+(Bytes a, const Bytes &b)
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

// Writes v big-endian at offset off of b.
inline void putWord(Bytes &b, size_t off, uint32_t v)
{
    Bytes w = word(v);
    std::copy(w.begin(), w.end(), b.begin() + static_cast<long>(off));
}

// Records are large (an attribute record holds a 2 KiB trash path): off the
// stack, value-initialised.
template <typename T>
std::unique_ptr<T> fresh()
{
    return std::make_unique<T>();
}

// Encodes *v; *ok receives the routine's result.
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

template <typename T>
bool encodes(Codec<T> fn, T *v)
{
    bool ok = false;
    encode(fn, v, &ok);
    return ok;
}

// Decodes b into *v and returns the routine's result; *left receives the
// bytes it did not read and *largest the largest single read it asked for.
template <typename T>
bool decode(Codec<T> fn, const Bytes &b, T *v, size_t *left = nullptr, size_t *largest = nullptr)
{
    struct Recording : kyl_xdr_memsource {
        using kyl_xdr_memsource::kyl_xdr_memsource;
        bool get(unsigned char *buf, size_t n) override
        {
            most = std::max(most, n);
            return kyl_xdr_memsource::get(buf, n);
        }
        size_t most = 0;
    } src(b.data(), b.size());
    kyl_xdr_t x;
    kyl_xdr_create_decode(&x, &src);
    bool ok = fn(&x, v);
    if (left != nullptr)
        *left = src.left;
    if (largest != nullptr)
        *largest = src.most;
    return ok;
}

// True only when the routine succeeds and reads every byte.
template <typename T>
bool decodeAll(Codec<T> fn, const Bytes &b, T *v, size_t *left = nullptr)
{
    size_t unread = 0;
    bool ok = decode(fn, b, v, &unread);
    if (left != nullptr)
        *left = unread;
    return ok && unread == 0;
}

// Runs the free pass over *v.
template <typename T>
bool release(Codec<T> fn, T *v)
{
    kyl_xdr_t x;
    kyl_xdr_create_free(&x);
    return fn(&x, v);
}

// True when b decodes completely into a fresh record (released again).
template <typename T>
bool decodes(Codec<T> fn, const Bytes &b)
{
    auto r = fresh<T>();
    bool ok = decodeAll(fn, b, r.get());
    EXPECT_TRUE(release(fn, r.get()));
    return ok;
}

// A field's length word len and len bytes (0x11) with padding, between
// prefix and suffix: decodes at cap, and is refused one byte over it.
template <typename T>
void expectCap(Codec<T> fn, const Bytes &prefix, uint32_t cap, const Bytes &suffix, const char *what)
{
    for (uint32_t len : {cap, cap + 1}) {
        Bytes b = prefix + word(len) + Bytes((len + 3) & ~3u, 0x11) + suffix;
        EXPECT_EQ(decodes(fn, b), len == cap) << what << " length " << len;
    }
}

// Every proper prefix of a valid body fails to decode, and the free pass
// afterwards succeeds.  The record starts zeroed, or with 0xA5 in every byte
// when stale (stale pointers must not survive a failed decode).  Each
// prefix has a buffer of its own size, so the sanitizer build sees any read
// past the cut, and its leak checker anything a failed decode kept.
template <typename T>
void expectEveryCutFails(Codec<T> fn, const Bytes &b, bool stale = false)
{
    auto v = fresh<T>();
    for (size_t cut = 0; cut < b.size(); cut++) {
        if (stale)
            memset(static_cast<void *>(v.get()), 0xA5, sizeof(T));
        else
            *v = T{};
        Bytes prefix(b.begin(), b.begin() + static_cast<long>(cut));
        EXPECT_FALSE(decode(fn, prefix, v.get())) << "decoded from " << cut << " of " << b.size() << " bytes";
        EXPECT_TRUE(release(fn, v.get())) << "free pass after " << cut << " bytes";
    }
}

// The golden check of a record: *v, filled field by field, encodes to
// exactly want; want decodes completely into a fresh record, which encodes
// to want again (so every field was read into its place); the free pass
// releases it; and every truncation of want fails.
template <typename T>
void expectGolden(Codec<T> fn, T *v, const Bytes &want, bool stale = false)
{
    bool ok = false;
    EXPECT_EQ(encode(fn, v, &ok), want);
    EXPECT_TRUE(ok);
    auto d = fresh<T>();
    ASSERT_TRUE(decodeAll(fn, want, d.get()));
    EXPECT_EQ(encode(fn, d.get(), &ok), want) << "decoded record encodes differently";
    EXPECT_TRUE(release(fn, d.get()));
    expectEveryCutFails(fn, want, stale);
}

} // namespace codectest

#endif
