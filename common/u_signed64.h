#ifndef U_SIGNED64_H
#define U_SIGNED64_H

// Big-endian integer helpers for wire and file layouts.  Every reader takes
// a pointer to at least the field's width of bytes; callers check bounds.
// The 64-bit fields of the index file are unaligned, so these never cast.
//
// Results: the readers return the value; nothing here can fail.

#include <cstdint>

// Reads a big-endian unsigned 64-bit value from 8 bytes at p.
uint64_t u_signed64_get(const unsigned char *p);
// Writes v big-endian into 8 bytes at p.
void u_signed64_put(unsigned char *p, uint64_t v);
// Reads a big-endian unsigned 32-bit value from 4 bytes at p.
uint32_t u_be32_get(const unsigned char *p);
// Writes v big-endian into 4 bytes at p.
void u_be32_put(unsigned char *p, uint32_t v);

#endif
