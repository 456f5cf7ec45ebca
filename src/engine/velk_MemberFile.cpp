// Opening member files for an archive write without following symbolic
// links where the member table recorded none, checking that the file opened
// is the one listed, and vouching after the copy that it did not change, so
// that -H rmlocal only ever removes a file whose data the archive holds.
// Called by the writers' threads; member status calls take velk_TableLock.

#include "velk_MemberFile.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "kyl_fd.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_MemberStatus.h"

namespace {

constexpr const char *kChanged = "changed during archiving";

// Characters of path before its last component that are resolved as given:
// the record's operand directory, else path's own directory.
uint32_t trustedLength(const velk_FileSpec_t *record, const char *path)
{
    if (record != nullptr)
        return record->operandDirLen;
    const char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return 0;
    return slash == path ? 1 : static_cast<uint32_t>(slash - path);
}

int reportChanged(const char *path)
{
    velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: %s\n", path, kChanged);
    velk_NoteFailure(kChanged);
    velk_SetExitCode(VELK_EXIT_IOERR);
    return VELK_MEMBER_CHANGED;
}

// The listed regular file: same device and inode as the record.
bool isListedFile(const velk_FileSpec_t *record, const struct stat *st)
{
    return S_ISREG(st->st_mode) && static_cast<uint64_t>(st->st_dev) == record->dev &&
           static_cast<uint64_t>(st->st_ino) == record->ino;
}

} // namespace

int velk_OpenMemberParent(const char *path, uint32_t dirLen, const char **leaf)
{
    const char *slash = strrchr(path, '/');
    const char *last = slash != nullptr ? slash + 1 : path;
    if (*last == '\0')
        return -EINVAL;
    size_t lastAt = static_cast<size_t>(last - path);
    size_t given = dirLen < lastAt ? dirLen : lastAt;
    char start[PATH_MAX];
    if (given >= sizeof start)
        return -ENAMETOOLONG;
    memcpy(start, path, given);
    start[given] = '\0';
    kyl_fd dir(open(given > 0 ? start : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return -errno;
    for (const char *p = path + given; p < last;) {
        if (*p == '/') {
            p++;
            continue;
        }
        const char *end = static_cast<const char *>(memchr(p, '/', static_cast<size_t>(last - p)));
        size_t n = static_cast<size_t>(end - p);
        char name[NAME_MAX + 1];
        if (n > NAME_MAX)
            return -ENAMETOOLONG;
        memcpy(name, p, n);
        name[n] = '\0';
        // O_DIRECTORY with O_NOFOLLOW fails on a link (ENOTDIR or ELOOP);
        // the status of the name then tells a link from anything else.
        kyl_fd next(openat(dir.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            int err = errno;
            struct stat st;
            if (fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                return VELK_MEMBER_LINK;
            return -err;
        }
        dir = std::move(next);
        p = end;
    }
    *leaf = last;
    return dir.release();
}

void velk_MemberDirInit(velk_member_dir_t *d)
{
    d->fd = -1;
    d->walked = 0;
    d->len = 0;
    d->dir[0] = '\0';
}

void velk_MemberDirClose(velk_member_dir_t *d)
{
    if (d->fd >= 0)
        close(d->fd);
    velk_MemberDirInit(d);
}

namespace {

// The directory of path's last component as walked with dirLen characters
// given: from d when d holds that walk, else walked now (and kept in d).
// Returns a descriptor the caller must not close when it is d's, with
// *owned false; or one the caller closes (*owned true); or a negative
// result of velk_OpenMemberParent.
int memberParent(velk_member_dir_t *d, const char *path, uint32_t dirLen, const char **leaf, bool *owned)
{
    *owned = true;
    // The directory part, its final "/" included: "a/b/c" "a/b/", "/c" "/",
    // "c" "".
    const char *slash = strrchr(path, '/');
    size_t len = slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
    if (d != nullptr && d->fd >= 0 && d->walked == dirLen && d->len == len && memcmp(d->dir, path, len) == 0 &&
        path[len] != '\0') {
        *leaf = path + len;
        *owned = false;
        return d->fd;
    }
    int parent = velk_OpenMemberParent(path, dirLen, leaf);
    if (parent < 0 || d == nullptr || len >= sizeof d->dir)
        return parent;
    velk_MemberDirClose(d);
    d->fd = parent;
    d->walked = dirLen;
    d->len = len;
    memcpy(d->dir, path, len);
    d->dir[len] = '\0';
    *owned = false;
    return parent;
}

} // namespace

int velk_OpenMemberFileIn(velk_member_dir_t *d, const velk_FileSpec_t *record, const char *path, struct stat *opened)
{
    kyl_fd fd;
    if (velk_Opt(VELK_OPT_FOLLOW_LINKS)) {
        fd.reset(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!fd.valid())
            return -errno;
    } else {
        const char *leaf = nullptr;
        bool owned = true;
        int parent = memberParent(d, path, trustedLength(record, path), &leaf, &owned);
        if (parent == VELK_MEMBER_LINK)
            return reportChanged(path);
        if (parent < 0)
            return parent;
        kyl_fd ownedDir(owned ? parent : -1);
        // Whatever took the listed file's place is not even opened: a FIFO
        // or a device could block or act on the open.
        struct stat before;
        if (record != nullptr && fstatat(parent, leaf, &before, AT_SYMLINK_NOFOLLOW) == 0 &&
            !isListedFile(record, &before))
            return reportChanged(path);
        fd.reset(openat(parent, leaf, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid())
            return errno == ELOOP ? reportChanged(path) : -errno;
    }
    if (fstat(fd.get(), opened) != 0)
        return -errno;
    if (record != nullptr && !isListedFile(record, opened))
        return reportChanged(path);
    return fd.release();
}

int velk_OpenMemberFile(const velk_FileSpec_t *record, const char *path, struct stat *opened)
{
    return velk_OpenMemberFileIn(nullptr, record, path, opened);
}

int velk_MemberFileCopied(int64_t ordinal, const velk_FileSpec_t *record, const char *path, int fd,
                          const struct stat *opened, uint64_t indexedSize, bool dataGood)
{
    velk_MemberIdentity_t atOpen;
    velk_IdentityFromStat(opened, trustedLength(record, path), &atOpen);
    bool sizeReported = atOpen.size != indexedSize;
    struct stat now;
    if (sizeReported || fstat(fd, &now) != 0 || !velk_IdentityMatches(&atOpen, &now)) {
        if (!sizeReported)
            velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: %s\n", path, kChanged);
        velk_NoteFailure(kChanged);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (dataGood)
        (void)velk_SetMemberFileIdentity(ordinal, &atOpen);
    return 0;
}

void velk_MemberLinkCopied(int64_t ordinal, const velk_FileSpec_t *record)
{
    if (record == nullptr || !record->haveStatInfo || record->objectType != VTO_SYMLINK)
        return;
    velk_MemberIdentity_t id;
    memset(&id, 0, sizeof id);
    id.dev = record->dev;
    id.ino = record->ino;
    id.mtimeSec = static_cast<int64_t>(record->mtime);
    id.mtimeNsec = record->mtimeNsec;
    id.ctimeSec = static_cast<int64_t>(record->ctime);
    id.ctimeNsec = record->ctimeNsec;
    id.dirLen = record->operandDirLen;
    id.kind = VTO_SYMLINK;
    (void)velk_SetMemberFileIdentity(ordinal, &id);
}

namespace {

// The page cache's count of a file range (the kernel's cachestat call; the
// C library may not name it yet).
struct CacheRange {
    uint64_t offset;
    uint64_t length;
};
struct CacheCount {
    uint64_t cached;
    uint64_t dirty;
    uint64_t writeback;
    uint64_t evicted;
    uint64_t recentlyEvicted;
};
#ifdef SYS_cachestat
constexpr long kCachestat = SYS_cachestat;
#else
constexpr long kCachestat = 451;
#endif

} // namespace

bool velk_MemberDataResident(int fd, uint64_t length)
{
    long page = sysconf(_SC_PAGESIZE);
    uint64_t pageSize = page > 0 ? static_cast<uint64_t>(page) : 4096;
    CacheRange range = {0, length};
    CacheCount count = {};
    if (syscall(kCachestat, fd, &range, &count, 0) != 0)
        return false;
    return count.cached >= (length + pageSize - 1) / pageSize;
}
