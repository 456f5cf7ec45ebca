#ifndef VELK_MEMORY_H
#define VELK_MEMORY_H

// Allocation wrappers.  Every allocation of the archiver goes through them
// with the caller's function, source unit and line.  On failure they report
// once (three ERROR messages through velk_LogMsg), set exit status 78 unless
// one is set, and return null; the caller fails its own operation.  The
// caller owns the block and frees it with velk_Free.

#include <cstddef>

void *velk_Malloc(size_t size, const char *func, const char *file, int line);
void *velk_Calloc(size_t count, size_t size, const char *func, const char *file, int line);
void *velk_Realloc(void *ptr, size_t size, const char *func, const char *file, int line);
char *velk_Strdup(const char *str, const char *func, const char *file, int line);
void velk_Free(void *ptr, const char *func, const char *file, int line);

// The failure report: "velk: malloc failure (<size> bytes) ", then "[<kind>]"
// when kind is not null ("calloc", "realloc", "strdup"), then
// " (file <file>,line <line>)\n"; sets status 78 unless one is set.
void velk_MallocError(size_t size, const char *kind, const char *file, int line);

#define VELK_MALLOC(n) velk_Malloc((n), __func__, __FILE__, __LINE__)
#define VELK_CALLOC(c, n) velk_Calloc((c), (n), __func__, __FILE__, __LINE__)
#define VELK_REALLOC(p, n) velk_Realloc((p), (n), __func__, __FILE__, __LINE__)
#define VELK_STRDUP(s) velk_Strdup((s), __func__, __FILE__, __LINE__)
#define VELK_FREE(p) velk_Free((p), __func__, __FILE__, __LINE__)

#endif
