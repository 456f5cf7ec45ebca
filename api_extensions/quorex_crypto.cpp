// The one unit that talks to OpenSSL: Diffie-Hellman key agreement through
// the EVP_PKEY interfaces, AES-128-CBC with the fixed initialisation vector,
// the keyless scrambler, HMAC-SHA256, random bytes, constant-time comparison
// and wiping.  Every routine is reentrant; quorex_OpenSSLInit and the group
// prime are set up once under pthread_once.  Key material that passes
// through local buffers is wiped before return.

#include "quorex_crypto.h"
#include "quorex_msg.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

namespace {

constexpr int E_INVAL = -EINVAL; // unusable parameters or arguments
constexpr int E_NOMEM = -ENOMEM;
constexpr int E_CRYPTO = -EIO; // any other OpenSSL failure

// The scrambler's fixed byte, shared with the gateway.
constexpr unsigned char GARBLE_CONSTANT = 0xA5;
// The initialisation vector is built from this rule at run time so that
// no 16-byte literal needs to be kept in step with the gateway:
// byte i = (IV_BASE + IV_STEP * i) mod 256.
constexpr unsigned IV_BASE = 0x3C;
constexpr unsigned IV_STEP = 17;
// At most this much key material is copied before the first 16 bytes are
// used as the AES key.
constexpr size_t KEY_COPY_MAX = 64;
// Seed bytes read from the random device at start-up.
constexpr long SEED_BYTES = 255;

// ---- RAII holders of OpenSSL objects ----------------------------------------

struct BnFree {
    void operator()(BIGNUM *b) const { BN_clear_free(b); }
};
struct PkeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX *c) const { EVP_PKEY_CTX_free(c); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};
struct ParamBldFree {
    void operator()(OSSL_PARAM_BLD *b) const { OSSL_PARAM_BLD_free(b); }
};
struct ParamFree {
    void operator()(OSSL_PARAM *p) const { OSSL_PARAM_free(p); }
};
struct MacFree {
    void operator()(EVP_MAC *m) const { EVP_MAC_free(m); }
};
struct MacCtxFree {
    void operator()(EVP_MAC_CTX *c) const { EVP_MAC_CTX_free(c); }
};

template <typename T, typename D>
class Owned {
public:
    explicit Owned(T *p = nullptr) : p_(p) {}
    ~Owned()
    {
        if (p_ != nullptr)
            D()(p_);
    }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    T *get() const { return p_; }
    T **out() { return &p_; }
    T *release()
    {
        T *p = p_;
        p_ = nullptr;
        return p;
    }

private:
    T *p_;
};

using Bn = Owned<BIGNUM, BnFree>;
using Pkey = Owned<EVP_PKEY, PkeyFree>;
using PkeyCtx = Owned<EVP_PKEY_CTX, PkeyCtxFree>;
using CipherCtx = Owned<EVP_CIPHER_CTX, CipherCtxFree>;
using ParamBld = Owned<OSSL_PARAM_BLD, ParamBldFree>;
using Params = Owned<OSSL_PARAM, ParamFree>;
using Mac = Owned<EVP_MAC, MacFree>;
using MacCtx = Owned<EVP_MAC_CTX, MacCtxFree>;

// Wipes a stack buffer when it goes out of scope.
class WipeOnExit {
public:
    WipeOnExit(void *p, size_t n) : p_(p), n_(n) {}
    ~WipeOnExit() { OPENSSL_cleanse(p_, n_); }
    WipeOnExit(const WipeOnExit &) = delete;
    WipeOnExit &operator=(const WipeOnExit &) = delete;

private:
    void *p_;
    size_t n_;
};

// ---- Process-wide start-up ----------------------------------------------------

pthread_once_t init_once = PTHREAD_ONCE_INIT;
int init_result = E_CRYPTO; // written once inside init_once, read after it

void doInit()
{
    if (OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1) {
        quorex_Print("%s: OpenSSL initialization failed!\n", "quorex_OpenSSLInit");
        init_result = E_CRYPTO;
        return;
    }
    if (access("/dev/urandom", F_OK) == 0) {
        int got = RAND_load_file("/dev/urandom", SEED_BYTES);
        if (got < SEED_BYTES)
            quorex_Print("%s: RAND_load_file returned %d bytes instead of requested count of %ld\n",
                         "quorex_OpenSSLInit", got, SEED_BYTES);
    }
    if (RAND_status() != 1) {
        // Last resort: the process-wide pseudo-random generator, credited
        // with full entropy as the generator would otherwise stay unusable.
        unsigned char seed[SEED_BYTES];
        for (long i = 0; i < SEED_BYTES; i++)
            seed[i] = static_cast<unsigned char>(random() & 0xff);
        RAND_add(seed, static_cast<int>(SEED_BYTES), static_cast<double>(SEED_BYTES));
        OPENSSL_cleanse(seed, sizeof seed);
    }
    if (RAND_status() != 1)
        quorex_Print("%s: unable to seed the PRNG. Is EGD running?\n", "quorex_OpenSSLInit");
    init_result = 0;
}

// The group prime, filled once from OpenSSL's copy of the published value.
pthread_once_t group_once = PTHREAD_ONCE_INIT;
constexpr size_t GROUP14_BYTES = 256;
unsigned char group14_prime[GROUP14_BYTES];
size_t group14_len = 0;

void fillGroup14()
{
    Bn p(BN_get_rfc3526_prime_2048(nullptr));
    if (p.get() == nullptr || BN_num_bytes(p.get()) != static_cast<int>(GROUP14_BYTES))
        return;
    if (BN_bn2bin(p.get(), group14_prime) == static_cast<int>(GROUP14_BYTES))
        group14_len = GROUP14_BYTES;
}

// ---- Diffie-Hellman helpers -----------------------------------------------------

int mapAllocFailure()
{
    // OpenSSL does not say why a constructor returned null; treat a
    // malloc failure as memory and anything else as a library failure.
    unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    if (ERR_GET_REASON(e) == ERR_R_MALLOC_FAILURE)
        return E_NOMEM;
    return E_CRYPTO;
}

// Builds an EVP_PKEY of type DH from p, g and (optionally) a public key.
int buildDhKey(const BIGNUM *p, const BIGNUM *g, const BIGNUM *pub, EVP_PKEY **out)
{
    ParamBld bld(OSSL_PARAM_BLD_new());
    if (bld.get() == nullptr)
        return E_NOMEM;
    if (OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_FFC_P, p) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_FFC_G, g) != 1 ||
        (pub != nullptr && OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, pub) != 1))
        return mapAllocFailure();
    Params params(OSSL_PARAM_BLD_to_param(bld.get()));
    if (params.get() == nullptr)
        return mapAllocFailure();
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr));
    if (ctx.get() == nullptr)
        return mapAllocFailure();
    if (EVP_PKEY_fromdata_init(ctx.get()) != 1)
        return mapAllocFailure();
    int selection = pub != nullptr ? EVP_PKEY_PUBLIC_KEY : EVP_PKEY_KEY_PARAMETERS;
    if (EVP_PKEY_fromdata(ctx.get(), out, selection, params.get()) != 1)
        return mapAllocFailure();
    return 0;
}

// 1 < x < p-1, i.e. x in [2, p-2].
bool inOpenRange(const BIGNUM *x, const BIGNUM *p)
{
    Bn pm1(BN_dup(p));
    if (pm1.get() == nullptr || BN_sub_word(pm1.get(), 1) != 1)
        return false;
    return BN_cmp(x, BN_value_one()) > 0 && BN_cmp(x, pm1.get()) < 0;
}

} // namespace

struct quorex_dh_t {
    EVP_PKEY *key = nullptr; // parameters and key pair
    BIGNUM *p = nullptr;
    BIGNUM *g = nullptr;
};

int quorex_OpenSSLInit()
{
    pthread_once(&init_once, doInit);
    return init_result;
}

const unsigned char *quorex_DHGroup14Prime(size_t *len)
{
    pthread_once(&group_once, fillGroup14);
    if (len != nullptr)
        *len = group14_len;
    return group14_len != 0 ? group14_prime : nullptr;
}

int quorex_DHNew(const unsigned char *p, size_t plen, const unsigned char *g, size_t glen, quorex_dh_t **out)
{
    if (out == nullptr)
        return E_INVAL;
    *out = nullptr;
    if (p == nullptr || g == nullptr || plen == 0 || glen == 0 || plen > QUOREX_MAX_DH_BYTES ||
        glen > QUOREX_MAX_DH_BYTES)
        return E_INVAL;
    Bn bp(BN_bin2bn(p, static_cast<int>(plen), nullptr));
    Bn bg(BN_bin2bn(g, static_cast<int>(glen), nullptr));
    if (bp.get() == nullptr || bg.get() == nullptr)
        return E_NOMEM;
    // A short or even modulus gives no security; a generator of 0, 1 or
    // p-1 (or beyond) generates a trivial subgroup.
    if (BN_num_bits(bp.get()) < QUOREX_MIN_DH_BITS || !BN_is_odd(bp.get()) || !inOpenRange(bg.get(), bp.get()))
        return E_INVAL;

    Pkey params;
    int rc = buildDhKey(bp.get(), bg.get(), nullptr, params.out());
    if (rc != 0)
        return rc;
    PkeyCtx kctx(EVP_PKEY_CTX_new_from_pkey(nullptr, params.get(), nullptr));
    if (kctx.get() == nullptr)
        return mapAllocFailure();
    Pkey key;
    if (EVP_PKEY_keygen_init(kctx.get()) != 1 || EVP_PKEY_generate(kctx.get(), key.out()) != 1) {
        ERR_clear_error();
        return E_CRYPTO;
    }
    quorex_dh_t *dh = new (std::nothrow) quorex_dh_t;
    if (dh == nullptr)
        return E_NOMEM;
    dh->key = key.release();
    dh->p = bp.release();
    dh->g = bg.release();
    *out = dh;
    return 0;
}

int quorex_DHPublicKey(const quorex_dh_t *dh, unsigned char *buf, size_t bufsize)
{
    if (dh == nullptr || buf == nullptr)
        return E_INVAL;
    BIGNUM *raw = nullptr;
    if (EVP_PKEY_get_bn_param(dh->key, OSSL_PKEY_PARAM_PUB_KEY, &raw) != 1) {
        ERR_clear_error();
        return E_CRYPTO;
    }
    Bn pub(raw);
    int n = BN_num_bytes(pub.get());
    if (n <= 0 || static_cast<size_t>(n) > bufsize)
        return E_INVAL;
    return BN_bn2bin(pub.get(), buf);
}

int quorex_DHSharedSecret(const quorex_dh_t *dh, const unsigned char *peer, size_t peerlen, unsigned char *buf,
                          size_t bufsize)
{
    if (dh == nullptr || peer == nullptr || buf == nullptr || peerlen == 0 || peerlen > QUOREX_MAX_DH_BYTES)
        return E_INVAL;
    Bn pub(BN_bin2bn(peer, static_cast<int>(peerlen), nullptr));
    if (pub.get() == nullptr)
        return E_NOMEM;
    // 0, 1 and p-1 force the secret into a set of one or two values; p and
    // beyond are not elements of the group at all.
    if (!inOpenRange(pub.get(), dh->p))
        return E_INVAL;
    Pkey peerKey;
    int rc = buildDhKey(dh->p, dh->g, pub.get(), peerKey.out());
    if (rc != 0)
        return rc;
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, dh->key, nullptr));
    if (ctx.get() == nullptr)
        return mapAllocFailure();
    if (EVP_PKEY_derive_init(ctx.get()) != 1) {
        ERR_clear_error();
        return E_CRYPTO;
    }
    // Ask for the unpadded form; the result is stripped below all the same,
    // since the two sides must agree byte for byte whatever the library's
    // default is.
    unsigned int pad = 0;
    OSSL_PARAM padParams[2] = {OSSL_PARAM_construct_uint(OSSL_EXCHANGE_PARAM_PAD, &pad), OSSL_PARAM_construct_end()};
    (void)EVP_PKEY_CTX_set_params(ctx.get(), padParams);
    ERR_clear_error();
    // The range check above is the whole validation: for the safe primes
    // in use the only small subgroup is {1, p-1}, and a full subgroup test
    // would cost a second full-length exponentiation per handshake.
    if (EVP_PKEY_derive_set_peer_ex(ctx.get(), peerKey.get(), 0) != 1) {
        ERR_clear_error();
        return E_INVAL;
    }
    size_t need = 0;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &need) != 1 || need == 0 || need > QUOREX_MAX_DH_BYTES) {
        ERR_clear_error();
        return E_CRYPTO;
    }
    unsigned char secret[QUOREX_MAX_DH_BYTES];
    WipeOnExit wipe(secret, sizeof secret);
    size_t got = need;
    if (EVP_PKEY_derive(ctx.get(), secret, &got) != 1) {
        ERR_clear_error();
        return E_CRYPTO;
    }
    size_t skip = 0;
    while (skip < got && secret[skip] == 0)
        skip++;
    size_t len = got - skip;
    if (len == 0)
        return E_CRYPTO; // cannot happen for a peer key in [2, p-2]
    if (len > bufsize)
        return E_INVAL;
    memcpy(buf, secret + skip, len);
    return static_cast<int>(len);
}

void quorex_DHFree(quorex_dh_t *dh)
{
    if (dh == nullptr)
        return;
    EVP_PKEY_free(dh->key);
    BN_clear_free(dh->p);
    BN_clear_free(dh->g);
    delete dh;
}

size_t quorex_EncryptedLength(size_t n)
{
    return (n / QUOREX_AES_BLOCK + 1) * QUOREX_AES_BLOCK;
}

namespace {

int aesCrypt(int encrypt, uint32_t cipher, size_t keylen, const unsigned char *key, size_t inlen,
             const unsigned char *in, size_t *outlen, unsigned char *out)
{
    if (outlen != nullptr)
        *outlen = 0;
    if (cipher != QUOREX_CIPHER_AES || key == nullptr || keylen < QUOREX_AES_KEY || outlen == nullptr ||
        out == nullptr || (in == nullptr && inlen != 0) || inlen > static_cast<size_t>(INT_MAX) - QUOREX_AES_BLOCK)
        return E_INVAL;
    unsigned char keycopy[KEY_COPY_MAX];
    WipeOnExit wipeKey(keycopy, sizeof keycopy);
    memcpy(keycopy, key, keylen < KEY_COPY_MAX ? keylen : KEY_COPY_MAX);
    unsigned char iv[QUOREX_AES_BLOCK];
    for (unsigned i = 0; i < QUOREX_AES_BLOCK; i++)
        iv[i] = static_cast<unsigned char>((IV_BASE + IV_STEP * i) & 0xffu);

    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (ctx.get() == nullptr)
        return E_NOMEM;
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, keycopy, iv, encrypt) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 1) != 1) {
        ERR_clear_error();
        return E_CRYPTO;
    }
    int n1 = 0;
    int n2 = 0;
    static const unsigned char empty[1] = {0};
    if (EVP_CipherUpdate(ctx.get(), out, &n1, inlen != 0 ? in : empty, static_cast<int>(inlen)) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out + n1, &n2) != 1) {
        ERR_clear_error();
        // A failed decipher may have written part of the plaintext.
        OPENSSL_cleanse(out, static_cast<size_t>(n1));
        return E_CRYPTO;
    }
    *outlen = static_cast<size_t>(n1) + static_cast<size_t>(n2);
    return 0;
}

} // namespace

int quorex_Encrypt(uint32_t cipher, size_t keylen, const unsigned char *key, size_t inlen, const unsigned char *in,
                   size_t *outlen, unsigned char *out)
{
    return aesCrypt(1, cipher, keylen, key, inlen, in, outlen, out);
}

int quorex_Decrypt(uint32_t cipher, size_t keylen, const unsigned char *key, size_t inlen, const unsigned char *in,
                   size_t *outlen, unsigned char *out)
{
    return aesCrypt(0, cipher, keylen, key, inlen, in, outlen, out);
}

void quorex_Garble(unsigned char *buf, size_t len, uint32_t seed)
{
    if (buf == nullptr)
        return;
    unsigned sum = (seed & 0xffu) + ((seed >> 8) & 0xffu) + ((seed >> 16) & 0xffu) + ((seed >> 24) & 0xffu);
    unsigned char k = static_cast<unsigned char>((sum & 0xffu) ^ GARBLE_CONSTANT);
    for (size_t i = 0; i < len; i++) {
        buf[i] ^= k;
        k = static_cast<unsigned char>((k << 1) | (k >> 7));
    }
}

int quorex_HmacSha256(const unsigned char *key, size_t keylen, const unsigned char *data, size_t len,
                      unsigned char *mac)
{
    if (mac == nullptr || (key == nullptr && keylen != 0) || (data == nullptr && len != 0))
        return E_CRYPTO;
    Mac m(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    if (m.get() == nullptr) {
        ERR_clear_error();
        return E_CRYPTO;
    }
    MacCtx ctx(EVP_MAC_CTX_new(m.get()));
    if (ctx.get() == nullptr) {
        ERR_clear_error();
        return E_CRYPTO;
    }
    char digest[] = "SHA256";
    OSSL_PARAM params[2] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                            OSSL_PARAM_construct_end()};
    static const unsigned char nokey[1] = {0};
    size_t outl = 0;
    if (EVP_MAC_init(ctx.get(), keylen != 0 ? key : nokey, keylen, params) != 1 ||
        (len != 0 && EVP_MAC_update(ctx.get(), data, len) != 1) ||
        EVP_MAC_final(ctx.get(), mac, &outl, QUOREX_HMAC_SIZE) != 1 || outl != QUOREX_HMAC_SIZE) {
        ERR_clear_error();
        return E_CRYPTO;
    }
    return 0;
}

int quorex_RandomBytes(unsigned char *buf, size_t len)
{
    if (buf == nullptr && len != 0)
        return E_CRYPTO;
    while (len > 0) {
        int chunk = len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
        if (RAND_bytes(buf, chunk) != 1) {
            ERR_clear_error();
            return E_CRYPTO;
        }
        buf += chunk;
        len -= static_cast<size_t>(chunk);
    }
    return 0;
}

bool quorex_ConstTimeEqual(const unsigned char *a, const unsigned char *b, size_t len)
{
    if (len == 0)
        return true;
    if (a == nullptr || b == nullptr)
        return false;
    return CRYPTO_memcmp(a, b, len) == 0;
}

void quorex_Wipe(void *buf, size_t len)
{
    if (buf != nullptr && len != 0)
        OPENSSL_cleanse(buf, len);
}
