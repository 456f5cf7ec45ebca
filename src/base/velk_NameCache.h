#ifndef VELK_NAMECACHE_H
#define VELK_NAMECACHE_H

// User and group names by ID, each with a cache of ten slots (names cut to
// 31 characters).  Lookups search the first nine slots; a miss asks the
// system, shifts the slots one place and puts the new entry first.
// Thread-safe: each cache has its own mutex.

#include <sys/types.h>

// Copies the name of uid (or gid) into buf, at most len-1 characters, always
// terminated.  Returns 0, or -1 when the system has no such ID or memory runs
// out (buf is then empty).
int velk_GetOwnerName(uid_t uid, char *buf, int len);
int velk_GetGroupName(gid_t gid, char *buf, int len);

// Number of system lookups each cache has made (for diagnostics and tests).
long velk_NameCacheSystemLookups(int group);

#endif
