// Byte-size parser.  Pure function; any thread.

#include "quorex_size.h"

#include <cctype>
#include <cerrno>
#include <cstring>

int64_t quorex_ParseByteSize(const char *text)
{
    int64_t bytes = 0;
    return quorex_ParseByteSizeChecked(text, &bytes) == 0 ? bytes : 0;
}

int quorex_ParseByteSizeChecked(const char *text, int64_t *bytes)
{
    if (text == nullptr)
        return -EINVAL;
    const char *p = text;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        p++;
    }
    unsigned __int128 whole = 0;
    int wholeDigits = 0;
    while (isdigit(static_cast<unsigned char>(*p))) {
        whole = whole * 10 + static_cast<unsigned>(*p - '0');
        if (whole > INT64_MAX)
            return -ERANGE;
        wholeDigits++;
        p++;
    }
    unsigned __int128 fracNum = 0, fracDen = 1;
    int fracDigits = 0;
    if (*p == '.') {
        p++;
        while (isdigit(static_cast<unsigned char>(*p))) {
            // Digits past the 18th cannot change the rounded result of any
            // product that fits in 64 bits by more than the rounding itself.
            if (fracDigits < 18) {
                fracNum = fracNum * 10 + static_cast<unsigned>(*p - '0');
                fracDen *= 10;
            }
            fracDigits++;
            p++;
        }
    }
    if (wholeDigits == 0 && fracDigits == 0)
        return -EINVAL;

    static const struct {
        const char *suffix;
        int shift;
    } suffixes[] = {
        {"", 0},   {"k", 10},  {"kb", 10}, {"m", 20},  {"mb", 20}, {"g", 30},  {"gb", 30},
        {"t", 40}, {"tb", 40}, {"p", 50},  {"pb", 50}, {"x", 60},  {"xb", 60},
    };
    int shift = -1;
    for (const auto &s : suffixes) {
        if (strcasecmp(p, s.suffix) == 0) {
            shift = s.shift;
            break;
        }
    }
    if (shift < 0)
        return -EINVAL;

    unsigned __int128 mult = static_cast<unsigned __int128>(1) << shift;
    unsigned __int128 product = whole * mult;
    // Round the fractional part of the product to the nearest byte.
    product += (fracNum * mult + fracDen / 2) / fracDen;
    if (product > INT64_MAX)
        return -ERANGE;
    int64_t v = static_cast<int64_t>(product);
    *bytes = negative ? -v : v;
    return 0;
}
