#ifndef QUOREX_SIZE_H
#define QUOREX_SIZE_H

// The byte-size syntax shared by -S, -H tss and the configuration files:
// an optional "-", decimal digits, an optional fraction after ".", and an
// optional case-insensitive suffix k/kb (2^10), m/mb (2^20), g/gb (2^30),
// t/tb (2^40), p/pb (2^50) or x/xb (2^60).  The fraction is applied before
// the multiplication and the product rounded to the nearest byte.
//
// Results: quorex_ParseByteSize returns the size (0 for no size);
// quorex_ParseByteSizeChecked returns 0 or a negated errno value.

#include <cstdint>

// Returns the size in bytes, or 0 for text that is not a size (no digits, an
// unknown suffix, stray characters) or a product that does not fit in a
// signed 64-bit value.
int64_t quorex_ParseByteSize(const char *text);

// Like quorex_ParseByteSize, but tells a size of 0 from text that is not a
// size: returns 0 and sets *bytes, or -EINVAL (not a size) or -ERANGE (too
// large).
int quorex_ParseByteSizeChecked(const char *text, int64_t *bytes);

#endif
