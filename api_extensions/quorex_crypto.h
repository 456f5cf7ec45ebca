#ifndef QUOREX_CRYPTO_H
#define QUOREX_CRYPTO_H

// The one unit that uses OpenSSL: the Diffie-Hellman session key, AES-128-CBC
// encipherment with the fixed initialisation vector shared by client and
// server, the keyless scrambler of login names, HMAC-SHA256, random bytes,
// constant-time comparison and wiping of secrets.  Used by the client
// library and by kylgwd, so both sides derive identical bytes.  Thread-safe
// once quorex_OpenSSLInit has run; every key and secret buffer handed in or
// out is the caller's to wipe (quorex_Wipe).
//
// Results: 0 (or the length a contract names) on success, else a negated
// errno value: -EINVAL for unusable parameters or arguments, -ENOMEM when
// memory runs out, -EIO for any other OpenSSL failure.

#include <cstddef>
#include <cstdint>

// Cipher codes.
constexpr uint32_t QUOREX_CIPHER_GARBLE = 0x1;
constexpr uint32_t QUOREX_CIPHER_AES = 0x2;
constexpr uint32_t QUOREX_CIPHER_BLOWFISH = 0x4;
constexpr uint32_t QUOREX_CIPHER_3DES = 0x8;

// Sizes.
constexpr size_t QUOREX_AES_BLOCK = 16;
constexpr size_t QUOREX_AES_KEY = 16;
constexpr size_t QUOREX_MAX_DH_BYTES = 1024; // largest prime, generator, public key accepted
constexpr int QUOREX_MIN_DH_BITS = 2048;     // smallest prime accepted
constexpr size_t QUOREX_HMAC_SIZE = 32;

// Initialises OpenSSL and seeds its generator once per process; later calls
// return the first call's result.  0 or -EIO (with the message).
int quorex_OpenSSLInit();

// The published 2048-bit MODP group (generator 2) that kylgwd offers: the
// prime as big-endian bytes.
const unsigned char *quorex_DHGroup14Prime(size_t *len);

// A Diffie-Hellman key pair over prime p and generator g (big-endian bytes).
struct quorex_dh_t;
// Checks the parameters (prime of at least QUOREX_MIN_DH_BITS bits, odd,
// 1 < g < p-1) and generates a key pair.  0; -EINVAL for unusable
// parameters; -ENOMEM when memory runs out; -EIO for any other OpenSSL
// failure.  *out is the caller's (quorex_DHFree).
int quorex_DHNew(const unsigned char *p, size_t plen, const unsigned char *g, size_t glen, quorex_dh_t **out);
// Copies the public key as big-endian bytes without leading zeros into buf
// (bufsize bytes); returns its length, -EINVAL when buf is too small, or
// -EIO.
int quorex_DHPublicKey(const quorex_dh_t *dh, unsigned char *buf, size_t bufsize);
// Computes the shared secret with the peer's public key (checked to lie in
// [2, p-2]), as big-endian bytes WITHOUT leading zero bytes, into buf;
// returns its length, -EINVAL for an invalid peer key, or -ENOMEM or -EIO.
int quorex_DHSharedSecret(const quorex_dh_t *dh, const unsigned char *peer, size_t peerlen, unsigned char *buf,
                          size_t bufsize);
void quorex_DHFree(quorex_dh_t *dh);

// Output length of enciphering n bytes: the next multiple of 16 above n.
size_t quorex_EncryptedLength(size_t n);
// Enciphers (or deciphers) in with AES-128-CBC, the fixed IV, PKCS#7 padding,
// the key being the first 16 bytes of key (keylen >= 16; at most 64 bytes
// are read).  out must hold quorex_EncryptedLength(inlen) bytes; *outlen
// receives the length.  0; -EINVAL for a cipher other than AES or a short
// key; -ENOMEM or -EIO for an OpenSSL failure (bad padding on decrypt: -EIO).
int quorex_Encrypt(uint32_t cipher, size_t keylen, const unsigned char *key, size_t inlen, const unsigned char *in,
                   size_t *outlen, unsigned char *out);
int quorex_Decrypt(uint32_t cipher, size_t keylen, const unsigned char *key, size_t inlen, const unsigned char *in,
                   size_t *outlen, unsigned char *out);

// The keyless scrambler: k = (sum of the seed's four bytes) XOR a fixed byte;
// per byte: byte ^= k, then k rotates left by one bit.  Applying it twice
// with the same seed restores the data.
void quorex_Garble(unsigned char *buf, size_t len, uint32_t seed);

// HMAC-SHA256 of data with key into mac (QUOREX_HMAC_SIZE bytes).  0 or -EIO.
int quorex_HmacSha256(const unsigned char *key, size_t keylen, const unsigned char *data, size_t len,
                      unsigned char *mac);
// Fills buf with cryptographically strong random bytes.  0 or -EIO.
int quorex_RandomBytes(unsigned char *buf, size_t len);
// Compares two buffers of equal length in constant time: true when equal.
bool quorex_ConstTimeEqual(const unsigned char *a, const unsigned char *b, size_t len);
// Overwrites a secret so that the compiler cannot drop the write.
void quorex_Wipe(void *buf, size_t len);

#endif
