#ifndef QUOR_U64CONV_H
#define QUOR_U64CONV_H

// Unsigned 64-bit numbers as decimal text.  u64tostr and u64tostrwc return a
// buffer of their own that the next call of the same routine overwrites (one
// per thread); the _r variants write into the caller's buffer, which must
// hold at least U64CONV_BUFLEN bytes.

#include <cstdint>

constexpr int U64CONV_BUFLEN = 50;

// Decimal digits of v ("%lu").
const char *u64tostr(uint64_t v);
// Decimal digits of v with "," before every group of three from the right.
const char *u64tostrwc(uint64_t v);
char *u64tostr_r(uint64_t v, char *buf);
char *u64tostrwc_r(uint64_t v, char *buf);
// Writes the digits of v without leading zeros (at most 20) and a NUL into
// buf; returns buf.
char *u64_to_decchar(uint64_t v, char *buf);
// Reads decimal digits from the first length characters of text (all of it
// when length is 0).  Blanks before the first digit are skipped.  Returns 0
// and sets *value; 34 (ERANGE) for more than 20 characters or a value that
// does not fit; 22 (EINVAL) for any other character, a blank after a digit
// included.
int decchar_to_u64(const char *text, uint64_t *value, int length);
// v as a double: low 32 bits plus 2^32 times the high 32 bits.
double u64todouble(uint64_t v);

#endif
