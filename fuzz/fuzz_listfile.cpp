// libFuzzer target: any bytes as a -L input list.  Every name handed on
// must be non-empty, at most the line limit long, and free of blanks and
// unprintable characters at both ends; a refused list must have a line
// longer than the limit.  The corpus replay test includes this file with
// VELK_FUZZ_NO_ENTRY defined to run the same check.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velk_ListFile.h"

inline bool fuzz_ListTrimmable(unsigned char c)
{
    return isspace(c) || !isprint(c);
}

inline int fuzz_ListFileCheckName(const char *name, long lineno, void *arg)
{
    size_t len = strlen(name);
    if (len == 0 || len > VELK_LISTFILE_MAX_LINE || lineno < 1)
        abort();
    // A trimmable last character stays only when a backslash escapes it.
    if (fuzz_ListTrimmable(static_cast<unsigned char>(name[0])) ||
        (fuzz_ListTrimmable(static_cast<unsigned char>(name[len - 1])) && (len < 2 || name[len - 2] != '\\')))
        abort();
    (*static_cast<long *>(arg))++;
    return 0;
}

// Longest run of bytes between newlines (the last line need not end in
// one); a newline after an odd number of backslashes belongs to its line.
inline size_t fuzz_ListLongestLine(const uint8_t *data, size_t len)
{
    size_t longest = 0, cur = 0, slashes = 0;
    for (size_t i = 0; i < len; i++) {
        bool escaped = (slashes & 1) != 0;
        slashes = data[i] == '\\' ? slashes + 1 : 0;
        if (data[i] == '\n' && !escaped) {
            cur = 0;
            continue;
        }
        if (++cur > longest)
            longest = cur;
    }
    return longest;
}

// Returns 1 when the list is accepted, 0 when refused; aborts when an
// invariant breaks.
inline int fuzz_ListFileOne(const uint8_t *data, size_t len)
{
    if (len == 0)
        return 1;
    FILE *fp = fmemopen(const_cast<uint8_t *>(data), len, "r");
    if (fp == nullptr)
        abort();
    long names = 0;
    int r = velk_ReadListStream(fp, "fuzz input", fuzz_ListFileCheckName, &names);
    fclose(fp);
    bool tooLong = fuzz_ListLongestLine(data, len) > VELK_LISTFILE_MAX_LINE;
    if (r >= 0) {
        if (tooLong || r != names)
            abort();
        return 1;
    }
    if (!tooLong)
        abort();
    return 0;
}

#ifndef VELK_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_ListFileOne(data, size);
    return 0;
}
#endif
