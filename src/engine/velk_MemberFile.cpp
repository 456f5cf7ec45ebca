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

int velk_OpenMemberFile(const velk_FileSpec_t *record, const char *path, struct stat *opened)
{
    kyl_fd fd;
    if (velk_Opt(VELK_OPT_FOLLOW_LINKS)) {
        fd.reset(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!fd.valid())
            return -errno;
    } else {
        const char *leaf = nullptr;
        int parent = velk_OpenMemberParent(path, trustedLength(record, path), &leaf);
        if (parent == VELK_MEMBER_LINK)
            return reportChanged(path);
        if (parent < 0)
            return parent;
        kyl_fd dir(parent);
        // Whatever took the listed file's place is not even opened: a FIFO
        // or a device could block or act on the open.
        struct stat before;
        if (record != nullptr && fstatat(dir.get(), leaf, &before, AT_SYMLINK_NOFOLLOW) == 0 &&
            !isListedFile(record, &before))
            return reportChanged(path);
        fd.reset(openat(dir.get(), leaf, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid())
            return errno == ELOOP ? reportChanged(path) : -errno;
    }
    if (fstat(fd.get(), opened) != 0)
        return -errno;
    if (record != nullptr && !isListedFile(record, opened))
        return reportChanged(path);
    return fd.release();
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
