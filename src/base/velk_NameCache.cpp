// User and group names by ID for index entries and tar headers.  Each of the
// two caches has ten slots and its own mutex (owner_cache.lock,
// group_cache.lock), held for the whole lookup including the system call, so
// any thread may call in.  Members in archive order tend to share owners, so
// a small most-recent-first list catches nearly every lookup.

#include "velk_NameCache.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>

#include "kyl_mutex.h"
#include "velk_Memory.h"

namespace {

constexpr int NC_SLOTS = 10;
// Lookups search this many slots; the last slot only lends its name buffer
// to the next new entry.
constexpr int NC_SEARCHED = 9;
constexpr size_t NC_NAME_BUFSIZE = 33;
constexpr size_t NC_NAME_MAX = 31;
// Scratch space for one getpwuid_r/getgrgid_r call; a group with very many
// members may need more, so the buffer grows up to NC_ENTRY_BUF_MAX.
constexpr size_t NC_ENTRY_BUF_START = 4096;
constexpr size_t NC_ENTRY_BUF_MAX = size_t{1} << 24;

struct nc_slot_t {
    unsigned int id;
    char *name; // NC_NAME_BUFSIZE bytes, or null when never used
};

struct nc_cache_t {
    kyl_mutex_t lock;
    nc_slot_t slots[NC_SLOTS] KYL_GUARDED_BY(lock);
    int searched KYL_GUARDED_BY(lock); // slots in use among the first NC_SEARCHED
    std::atomic<long> lookups;         // names asked of the system
};

nc_cache_t owner_cache;
nc_cache_t group_cache;

// Asks the system for the name of id (a user, or a group when isGroup) and
// copies at most NC_NAME_MAX characters of it into name.  Returns 0, or -1
// when there is no such ID or no memory for the scratch buffer.
int system_lookup(bool isGroup, unsigned int id, char *name)
{
    int result = -1;
    for (size_t size = NC_ENTRY_BUF_START; size <= NC_ENTRY_BUF_MAX; size *= 2) {
        char *buf = static_cast<char *>(VELK_MALLOC(size));
        if (buf == nullptr)
            break;
        int err;
        const char *found = nullptr;
        if (isGroup) {
            struct group gr;
            struct group *grp = nullptr;
            err = getgrgid_r(static_cast<gid_t>(id), &gr, buf, size, &grp);
            if (err == 0 && grp != nullptr)
                found = grp->gr_name;
        } else {
            struct passwd pw;
            struct passwd *pwp = nullptr;
            err = getpwuid_r(static_cast<uid_t>(id), &pw, buf, size, &pwp);
            if (err == 0 && pwp != nullptr)
                found = pwp->pw_name;
        }
        if (found != nullptr) {
            size_t n = strnlen(found, NC_NAME_MAX);
            memcpy(name, found, n);
            name[n] = '\0';
            result = 0;
        }
        VELK_FREE(buf);
        if (err != ERANGE)
            break;
    }
    // Close the database so that no descriptor stays open between lookups.
    if (isGroup)
        endgrent();
    else
        endpwent();
    return result;
}

// Copies src into buf of len bytes, always terminated.
void copy_out(char *buf, int len, const char *src)
{
    size_t room = static_cast<size_t>(len) - 1;
    size_t n = strnlen(src, room);
    memcpy(buf, src, n);
    buf[n] = '\0';
}

int cached_lookup(nc_cache_t &cache, bool isGroup, unsigned int id, char *buf, int len)
{
    if (buf == nullptr || len <= 0)
        return -1;
    kyl_lock_guard guard(cache.lock);
    for (int i = 0; i < cache.searched; i++) {
        if (cache.slots[i].id == id) {
            copy_out(buf, len, cache.slots[i].name);
            return 0;
        }
    }

    char name[NC_NAME_BUFSIZE];
    cache.lookups.fetch_add(1);
    if (system_lookup(isGroup, id, name) != 0) {
        buf[0] = '\0';
        return -1;
    }
    char *nameBuf = cache.slots[NC_SLOTS - 1].name;
    if (nameBuf == nullptr) {
        nameBuf = static_cast<char *>(VELK_MALLOC(NC_NAME_BUFSIZE));
        if (nameBuf == nullptr) {
            buf[0] = '\0';
            return -1;
        }
    }
    // Most recent first: every slot moves one place towards the end and the
    // last slot's buffer carries the new entry.
    for (int i = NC_SLOTS - 1; i > 0; i--)
        cache.slots[i] = cache.slots[i - 1];
    cache.slots[0].id = id;
    cache.slots[0].name = nameBuf;
    memcpy(nameBuf, name, NC_NAME_BUFSIZE);
    if (cache.searched < NC_SEARCHED)
        cache.searched++;
    copy_out(buf, len, nameBuf);
    return 0;
}

} // namespace

int velk_GetOwnerName(uid_t uid, char *buf, int len)
{
    return cached_lookup(owner_cache, false, static_cast<unsigned int>(uid), buf, len);
}

int velk_GetGroupName(gid_t gid, char *buf, int len)
{
    return cached_lookup(group_cache, true, static_cast<unsigned int>(gid), buf, len);
}

long velk_NameCacheSystemLookups(int group)
{
    return group ? group_cache.lookups.load() : owner_cache.lookups.load();
}
