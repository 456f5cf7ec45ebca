// Unsigned 64-bit number-to-text conversions used by every message that
// prints a size or an offset.  No locks: the static results are per thread.

#include "quor_u64conv.h"

#include <cerrno>
#include <cstring>

char *u64_to_decchar(uint64_t v, char *buf)
{
    char tmp[21];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (int i = 0; i < n; i++)
        buf[i] = tmp[n - 1 - i];
    buf[n] = '\0';
    return buf;
}

char *u64tostr_r(uint64_t v, char *buf)
{
    return u64_to_decchar(v, buf);
}

char *u64tostrwc_r(uint64_t v, char *buf)
{
    // Built from the right end of the buffer, a comma before each group of
    // three digits, then moved to the front.
    char tmp[U64CONV_BUFLEN];
    int pos = U64CONV_BUFLEN - 1;
    tmp[pos] = '\0';
    int digits = 0;
    do {
        if (digits > 0 && digits % 3 == 0)
            tmp[--pos] = ',';
        tmp[--pos] = static_cast<char>('0' + v % 10);
        v /= 10;
        digits++;
    } while (v != 0);
    memmove(buf, tmp + pos, static_cast<size_t>(U64CONV_BUFLEN - pos));
    return buf;
}

const char *u64tostr(uint64_t v)
{
    static thread_local char buf[U64CONV_BUFLEN];
    return u64tostr_r(v, buf);
}

const char *u64tostrwc(uint64_t v)
{
    static thread_local char buf[U64CONV_BUFLEN];
    return u64tostrwc_r(v, buf);
}

int decchar_to_u64(const char *text, uint64_t *value, int length)
{
    size_t len = length > 0 ? strnlen(text, static_cast<size_t>(length)) : strlen(text);
    if (len > 20)
        return ERANGE;
    uint64_t v = 0;
    bool digitSeen = false;
    for (size_t i = 0; i < len; i++) {
        char c = text[i];
        if (c == ' ' && !digitSeen)
            continue;
        if (c < '0' || c > '9')
            return EINVAL;
        digitSeen = true;
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10)
            return ERANGE;
        v = v * 10 + d;
    }
    *value = v;
    return 0;
}

double u64todouble(uint64_t v)
{
    return static_cast<double>(static_cast<uint32_t>(v)) + 4294967296.0 * static_cast<double>(v >> 32);
}
