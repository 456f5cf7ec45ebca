// The shared crypto unit: Diffie-Hellman secrets against an independent
// big-number computation, parameter and peer-key checks, AES lengths and
// known answers, the scrambler, HMAC-SHA256, comparison and wiping.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include <openssl/bn.h>

#include "quorex_crypto.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes groupPrime()
{
    size_t len = 0;
    const unsigned char *p = quorex_DHGroup14Prime(&len);
    EXPECT_NE(p, nullptr);
    return p != nullptr ? Bytes(p, p + len) : Bytes();
}

const unsigned char kTwo[1] = {2};

Bytes bnBytes(const BIGNUM *b)
{
    Bytes out(static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, out.data());
    return out;
}

struct BnDel {
    void operator()(BIGNUM *b) const { BN_free(b); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnDel>;

BnPtr toBn(const Bytes &b)
{
    return BnPtr(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr));
}

// p + delta as bytes (delta may be negative).
Bytes primePlus(long delta)
{
    BnPtr p = toBn(groupPrime());
    if (delta >= 0)
        BN_add_word(p.get(), static_cast<BN_ULONG>(delta));
    else
        BN_sub_word(p.get(), static_cast<BN_ULONG>(-delta));
    return bnBytes(p.get());
}

struct DhSide {
    quorex_dh_t *dh = nullptr;
    ~DhSide() { quorex_DHFree(dh); }
};

TEST(Crypto, GroupPrimeIsThePublished2048BitValue)
{
    Bytes p = groupPrime();
    ASSERT_EQ(p.size(), 256u);
    // First and last words of the published 2048-bit MODP prime.
    const unsigned char head[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                  0xC9, 0x0F, 0xDA, 0xA2, 0x21, 0x68, 0xC2, 0x34};
    EXPECT_EQ(memcmp(p.data(), head, sizeof head), 0);
    for (size_t i = 248; i < 256; i++)
        EXPECT_EQ(p[i], 0xFF) << i;
}

// Against a peer whose private exponent the test knows, the secret equals
// A^x mod p computed independently, also when it has a leading zero byte
// (which must come back stripped); peers are tried until one such secret.
TEST(Crypto, SecretMatchesAnIndependentComputationIncludingLeadingZeros)
{
    ASSERT_EQ(quorex_OpenSSLInit(), 0);
    Bytes p = groupPrime();
    DhSide a;
    ASSERT_EQ(quorex_DHNew(p.data(), p.size(), kTwo, 1, &a.dh), 0);
    unsigned char pa[QUOREX_MAX_DH_BYTES];
    int la = quorex_DHPublicKey(a.dh, pa, sizeof pa);
    ASSERT_GT(la, 0);
    ASSERT_NE(pa[0], 0) << "public key must have no leading zero";
    BnPtr bp = toBn(p);
    BnPtr ba = toBn(Bytes(pa, pa + la));
    BnPtr g(BN_new());
    BN_set_word(g.get(), 2);
    BN_CTX *ctx = BN_CTX_new();
    ASSERT_NE(ctx, nullptr);
    int constructed = 0;
    for (int tries = 0; tries < 20000 && constructed == 0; tries++) {
        BnPtr x(BN_new());
        BnPtr pub(BN_new());
        BnPtr sec(BN_new());
        ASSERT_EQ(BN_rand(x.get(), 256, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY), 1);
        ASSERT_EQ(BN_mod_exp(pub.get(), g.get(), x.get(), bp.get(), ctx), 1);
        ASSERT_EQ(BN_mod_exp(sec.get(), ba.get(), x.get(), bp.get(), ctx), 1);
        Bytes expect = bnBytes(sec.get());
        Bytes pubBytes = bnBytes(pub.get());
        unsigned char got[QUOREX_MAX_DH_BYTES];
        int k = quorex_DHSharedSecret(a.dh, pubBytes.data(), pubBytes.size(), got, sizeof got);
        ASSERT_EQ(k, static_cast<int>(expect.size()));
        ASSERT_EQ(memcmp(got, expect.data(), expect.size()), 0);
        if (expect.size() < p.size())
            constructed++;
    }
    BN_CTX_free(ctx);
    EXPECT_EQ(constructed, 1) << "no leading-zero secret met in 20,000 constructed tries";
}

TEST(Crypto, RefusesWeakParametersAndPeerKeysOutsideTheGroup)
{
    Bytes p = groupPrime(), pm1 = primePlus(-1), pm2 = primePlus(-2), pp1 = primePlus(1);
    Bytes even = p;
    even.back() = 0xFE;
    const Bytes zero = {0}, one = {1}, two = {2}, small(128, 0xFF), huge(QUOREX_MAX_DH_BYTES + 1, 0xFF);
    Bytes bits2047(256, 0xFF); // odd, one bit short of 2048
    bits2047[0] = 0x7F;
    struct Params {
        const Bytes &prime, &generator;
        int want;
    };
    // Below 2048 bits, even, beyond the byte cap, generators 0, 1, p-1, p;
    // p-2 is the largest generator accepted.
    const Params params[] = {{small, two, -22}, {even, two, -22}, {huge, two, -22}, {p, zero, -22}, {p, one, -22},
                             {p, pm1, -22},     {p, p, -22},      {p, pm2, 0},      {bits2047, two, -22}};
    for (const Params &c : params) {
        DhSide s;
        EXPECT_EQ(quorex_DHNew(c.prime.data(), c.prime.size(), c.generator.data(), c.generator.size(), &s.dh),
                  c.want);
        EXPECT_EQ(s.dh == nullptr, c.want != 0);
    }
    DhSide s;
    ASSERT_EQ(quorex_DHNew(p.data(), p.size(), kTwo, 1, &s.dh), 0);
    unsigned char out[QUOREX_MAX_DH_BYTES];
    for (const Bytes *peer : std::initializer_list<const Bytes *>{&zero, &one, &pm1, &p, &pp1})
        EXPECT_EQ(quorex_DHSharedSecret(s.dh, peer->data(), peer->size(), out, sizeof out), -22);
    // 2 and p-2 are the bounds that are accepted.
    EXPECT_GT(quorex_DHSharedSecret(s.dh, two.data(), 1, out, sizeof out), 0);
    EXPECT_GT(quorex_DHSharedSecret(s.dh, pm2.data(), pm2.size(), out, sizeof out), 0);
    // A buffer too small for the secret or the key.
    EXPECT_LT(quorex_DHSharedSecret(s.dh, kTwo, 1, out, 8), 0);
    EXPECT_LT(quorex_DHPublicKey(s.dh, out, 8), 0);
}

// Expected bytes from the openssl command line tool on this machine, with
// the vector byte i = 0x3C + 17*i written out by hand:
//   printf 'abc' | openssl enc -aes-128-cbc -K 000102030405060708090a0b0c0d0e0f
//       -iv 3c4d5e6f8091a2b3c4d5e6f708192a3b | xxd -p
//   printf '' | openssl enc ... (same key and vector)
//   printf '0123456789abcdef' | openssl enc -aes-128-cbc
//       -K 2b7e151628aed2a6abf7158809cf4f3c -iv (same) | xxd -p
TEST(Crypto, AesKnownAnswers)
{
    auto hex = [](const std::string &t) {
        Bytes b;
        for (size_t i = 0; i + 1 < t.size(); i += 2)
            b.push_back(static_cast<unsigned char>(std::stoul(t.substr(i, 2), nullptr, 16)));
        return b;
    };
    const struct {
        const char *key, *plain, *cipher;
    } cases[] = {
        // A 20-byte key of which the first 16 bytes are used.
        {"000102030405060708090a0b0c0d0e0f10111213", "abc", "19bb3ad55d77a0196606d870e3f2957e"},
        {"000102030405060708090a0b0c0d0e0f10111213", "", "e5e0c17698e5aedd9aa29f7f57180435"},
        {"2b7e151628aed2a6abf7158809cf4f3c", "0123456789abcdef",
         "759b6eddb8cfdddfc1cf5b15b40949b9f2fad4fe0562806dfb7feda608e8bb4b"},
    };
    for (const auto &c : cases) {
        Bytes key = hex(c.key), want = hex(c.cipher), out(64), back(64);
        size_t n = 0, m = 0;
        ASSERT_EQ(quorex_Encrypt(QUOREX_CIPHER_AES, key.size(), key.data(), strlen(c.plain),
                                 reinterpret_cast<const unsigned char *>(c.plain), &n, out.data()),
                  0);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(n)), want) << c.plain;
        EXPECT_EQ(quorex_EncryptedLength(strlen(c.plain)), want.size());
        ASSERT_EQ(quorex_Decrypt(QUOREX_CIPHER_AES, key.size(), key.data(), want.size(), want.data(), &m, back.data()),
                  0);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(back.data()), m), c.plain);
    }
}

TEST(Crypto, AesRefusals)
{
    // Lengths: padding always adds a block's part, a whole block at most.
    for (auto [in, out] : {std::pair<size_t, size_t>{15, 16}, {512, 528}, {513, 528}})
        EXPECT_EQ(quorex_EncryptedLength(in), out) << in;
    unsigned char key[16] = {1}, out[64], enc[16];
    size_t n = 99;
    const unsigned char in[4] = {1, 2, 3, 4};
    // Only AES is carried out, with a key at least as long as the cipher's.
    EXPECT_EQ(quorex_Encrypt(QUOREX_CIPHER_GARBLE, 16, key, 4, in, &n, out), -22);
    EXPECT_EQ(quorex_Encrypt(QUOREX_CIPHER_BLOWFISH, 16, key, 4, in, &n, out), -22);
    EXPECT_EQ(quorex_Decrypt(QUOREX_CIPHER_3DES, 16, key, 16, out, &n, out), -22);
    EXPECT_EQ(quorex_Encrypt(QUOREX_CIPHER_AES, 15, key, 4, in, &n, out), -22);
    // A cipher text that is not whole blocks.
    ASSERT_EQ(quorex_Encrypt(QUOREX_CIPHER_AES, 16, key, 4, in, &n, enc), 0);
    EXPECT_LT(quorex_Decrypt(QUOREX_CIPHER_AES, 16, key, 15, enc, &n, out), 0);
    // A wrong key almost always yields bad padding: count over 16 texts.
    unsigned char wrongKey[16] = {2};
    int badPadding = 0;
    for (unsigned char i = 0; i < 16; i++) {
        const unsigned char msg[5] = {i, 9, 9, 9, 9};
        ASSERT_EQ(quorex_Encrypt(QUOREX_CIPHER_AES, 16, key, 5, msg, &n, enc), 0);
        badPadding += quorex_Decrypt(QUOREX_CIPHER_AES, 16, wrongKey, 16, enc, &n, out) < 0;
    }
    EXPECT_GE(badPadding, 12);
}

TEST(Crypto, ScramblerKnownAnswers)
{
    // Seed 0x01020304: sum 10, k = 0x0A ^ 0xA5 = 0xAF, then 0x5F, 0xBE.
    unsigned char z[3] = {0, 0, 0};
    quorex_Garble(z, 3, 0x01020304u);
    EXPECT_EQ(Bytes(z, z + 3), (Bytes{0xAF, 0x5F, 0xBE}));
    // Seed 0xFFFFFFFF: sum 1020 = 0x3FC, k = 0xFC ^ 0xA5 = 0x59.
    unsigned char o[2] = {0x59, 0x00};
    quorex_Garble(o, 2, 0xFFFFFFFFu);
    EXPECT_EQ(Bytes(o, o + 2), (Bytes{0x00, 0xB2}));
}

TEST(Crypto, HmacCompareWipe)
{
    // HMAC-SHA256 of "Hi There" under twenty 0x0b bytes, from
    // `openssl dgst -sha256 -mac HMAC -macopt hexkey:0b...0b` on this machine.
    unsigned char key[20];
    memset(key, 0x0b, sizeof key);
    const unsigned char expect[QUOREX_HMAC_SIZE] = {
        0xb0, 0x34, 0x4c, 0x61, 0xd8, 0xdb, 0x38, 0x53, 0x5c, 0xa8, 0xaf, 0xce, 0xaf, 0x0b, 0xf1, 0x2b,
        0x88, 0x1d, 0xc2, 0x00, 0xc9, 0x83, 0x3d, 0xa7, 0x26, 0xe9, 0x37, 0x6c, 0x2e, 0x32, 0xcf, 0xf7};
    unsigned char mac[QUOREX_HMAC_SIZE];
    ASSERT_EQ(quorex_HmacSha256(key, sizeof key, reinterpret_cast<const unsigned char *>("Hi There"), 8, mac), 0);
    EXPECT_EQ(memcmp(mac, expect, sizeof mac), 0);
    EXPECT_TRUE(quorex_ConstTimeEqual(mac, expect, sizeof mac));
    mac[31] ^= 1;
    EXPECT_FALSE(quorex_ConstTimeEqual(mac, expect, sizeof mac));

    char secret[16];
    memcpy(secret, "hunter2-secret!", 16);
    quorex_Wipe(secret, sizeof secret);
    for (char c : secret)
        EXPECT_EQ(c, 0);
}

} // namespace
