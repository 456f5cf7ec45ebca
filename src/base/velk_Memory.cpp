// Allocation wrappers with one uniform failure report.  Any thread may call
// them; they take no lock of their own (the report goes through
// velk_LogMsg, which serialises console output).  A failure never stops the
// program here: the caller sees null and fails its own operation.

#include "velk_Memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "velk_Globals.h"
#include "velk_LogMsg.h"

namespace {

// No object may be larger than PTRDIFF_MAX bytes, so such requests can never
// be met.  They are refused before the allocator is asked, which also keeps
// sanitizer runtimes from treating an impossible size as a fatal error.
constexpr size_t VELK_ALLOC_MAX = static_cast<size_t>(PTRDIFF_MAX);

// The caller's source unit without its directories.
const char *unit_name(const char *file)
{
    if (file == nullptr)
        return "?";
    const char *slash = strrchr(file, '/');
    return slash != nullptr ? slash + 1 : file;
}

} // namespace

void velk_MallocError(size_t size, const char *kind, const char *file, int line)
{
    // The report is three messages: the size requested, the kind of call
    // (none for malloc) and the caller's unit and line.  Each becomes a line
    // of its own on standard error, since velk_LogMsg ends every message
    // with a newline.
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "velk: malloc failure (%zu bytes) ", size);
    if (kind != nullptr)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s]", kind);
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, " (file %s,line %d)\n", unit_name(file), line);
    velk_SetExitCode(VELK_EXIT_NOMEM);
}

void *velk_Malloc(size_t size, const char *func, const char *file, int line)
{
    (void)func;
    // A zero-byte request gets a one-byte block so that null always means
    // failure.
    void *p = size <= VELK_ALLOC_MAX ? malloc(size != 0 ? size : 1) : nullptr;
    if (p == nullptr)
        velk_MallocError(size, nullptr, file, line);
    return p;
}

void *velk_Calloc(size_t count, size_t size, const char *func, const char *file, int line)
{
    (void)func;
    void *p = nullptr;
    if (count == 0 || size == 0)
        p = calloc(1, 1);
    else if (count <= VELK_ALLOC_MAX / size)
        p = calloc(count, size);
    if (p == nullptr) {
        // The reported size is the product, saturated when it overflows.
        size_t total = (size != 0 && count > SIZE_MAX / size) ? SIZE_MAX : count * size;
        velk_MallocError(total, "calloc", file, line);
    }
    return p;
}

void *velk_Realloc(void *ptr, size_t size, const char *func, const char *file, int line)
{
    (void)func;
    // realloc(ptr, 0) may free ptr and return null; keep a one-byte block
    // instead so that null keeps meaning "failed, ptr still valid".
    void *p = size <= VELK_ALLOC_MAX ? realloc(ptr, size != 0 ? size : 1) : nullptr;
    if (p == nullptr)
        velk_MallocError(size, "realloc", file, line);
    return p;
}

char *velk_Strdup(const char *str, const char *func, const char *file, int line)
{
    (void)func;
    if (str == nullptr)
        return nullptr;
    size_t len = strlen(str);
    char *p = static_cast<char *>(malloc(len + 1));
    if (p == nullptr) {
        velk_MallocError(len, "strdup", file, line);
        return nullptr;
    }
    memcpy(p, str, len + 1);
    return p;
}

void velk_Free(void *ptr, const char *func, const char *file, int line)
{
    (void)func;
    (void)file;
    (void)line;
    free(ptr);
}
