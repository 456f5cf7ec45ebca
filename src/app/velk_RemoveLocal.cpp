// The removal of local member files after a create with -H rmlocal: a
// regular file or symbolic link is unlinked only when its member was written
// whole and the object, reached without following links below its operand's
// directory, is still the one archived (device, inode, size and times);
// the verify option paranoid adds its checks against the index entry.
// Initial thread, after the copy; the member status calls take
// velk_TableLock.

#include "velk_RemoveLocal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kyl_fd.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_MemberFile.h"
#include "velk_MemberStatus.h"

namespace {

constexpr const char *kKept = "kept by rmlocal";
constexpr const char *kThroughLink = "reached through a symbolic link";

const char *kindOfMode(mode_t mode)
{
    if (S_ISDIR(mode))
        return "directory";
    if (S_ISREG(mode))
        return "regular file";
    if (S_ISLNK(mode))
        return "symlink";
    return "socket,pipe,etc.";
}

// The extra checks of the verify option paranoid against the index entry:
// a regular file modified after it was listed, or of another size, or any
// member whose change time differs from the listed one.  The entry holds
// the low 32 bits of the times.
bool paranoidModified(const hif_entry_t *entry, const struct stat &st)
{
    if (S_ISREG(st.st_mode) && (static_cast<uint32_t>(st.st_mtime) > velk_Get32(entry->hent_mtime) ||
                                static_cast<uint64_t>(st.st_size) != velk_Get64(entry->hent_fsize)))
        return true;
    return static_cast<uint32_t>(st.st_ctime) != velk_Get32(entry->hent_ctime);
}

// An unlink (or the walk to the file's directory) that failed: logged only.
void reportRemoveError(const char *path, int err)
{
    if (err == EPERM)
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: no permission to remove %s", "velk_RemoveMemberFiles", path);
    else if (err == EACCES)
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: directory access problem trying to remove %s",
                    "velk_RemoveMemberFiles", path);
    else
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: system error %d trying to remove %s",
                    "velk_RemoveMemberFiles", err, path);
}

// A member file that stays: named once (unless its message is out
// already), counted, and the run ends with status 72.
void keepFile(const char *path, const char *why)
{
    if (why != nullptr)
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: %s - not removed\n", path, why);
    velk_NoteFailure(kKept);
    velk_SetExitCode(VELK_EXIT_IOERR);
}

// Removes the member file at path if it is still what was archived, reached
// without following a symbolic link below its operand's directory.  A file
// that is gone is nothing to remove.  The name is unlinked relative to its
// directory's descriptor, so a directory swapped after the check cannot
// redirect the removal.
void removeArchivedFile(int64_t ordinal, const char *path, const hif_entry_t *entry, bool paranoid)
{
    velk_MemberIdentity_t id;
    if (velk_GetMemberFileIdentity(ordinal, &id) != 0) {
        keepFile(path, "not archived whole");
        return;
    }
    const char *leaf = nullptr;
    int parent = velk_OpenMemberParent(path, id.dirLen, &leaf);
    if (parent == -ENOENT)
        return;
    if (parent == VELK_MEMBER_LINK) {
        keepFile(path, kThroughLink);
        return;
    }
    if (parent < 0) {
        reportRemoveError(path, -parent);
        return;
    }
    kyl_fd dir(parent);
    struct stat st;
    if (fstatat(dir.get(), leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            reportRemoveError(path, errno);
        return;
    }
    if (id.kind == VTO_FILE && S_ISLNK(st.st_mode)) {
        keepFile(path, kThroughLink);
        return;
    }
    if (!velk_IdentityMatches(&id, &st)) {
        if (velk_debug_level >= 1 && !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: %s skipped - was a %s, but now is a %s",
                        "velk_RemoveMemberFiles", path, id.kind == VTO_SYMLINK ? "symlink" : "regular file",
                        kindOfMode(st.st_mode));
        keepFile(path, "changed since archived");
        return;
    }
    if (paranoid && paranoidModified(entry, st)) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: %s has been modified - skipped", "velk_RemoveMemberFiles",
                    path);
        keepFile(path, nullptr);
        return;
    }
    int rc = unlinkat(dir.get(), leaf, 0);
    int err = errno;
    if (velk_debug_level >= 4)
        velk_ErrPrintf("/trace/unlink of %s returned %d\n", path, rc);
    if (rc != 0 && err != ENOENT)
        reportRemoveError(path, err);
}

} // namespace

int velk_RemoveMemberFiles(velk_run_t *run, int indexFd, int indexKind)
{
    VELK_TRACE_ENTRY();
    int64_t base = velk_GetMemberBaseOrdinal();
    console_message("Removing local files", "");
    if (velk_debug_level >= 1)
        printf("/debug/positioning index file to entry %ld\n", static_cast<long>(base));
    if (velk_IndexFilePosition(&run->index, indexFd, indexKind, base) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: Failed to remove one or more local files that were written to the Archive", __func__);
        return -1;
    }
    bool paranoid = (run->verifyFlags & VELK_VERIFY_PARANOID) != 0;
    for (int64_t ordinal = base;; ordinal++) {
        hif_entry_t *entry = nullptr;
        int eof = 0;
        if (velk_IndexFileRead(&run->index, indexFd, indexKind, 0, &entry, &eof) != 0 || eof)
            break;
        uint32_t type = velk_Get32(entry->hent_type);
        if (type != VTO_FILE && type != VTO_SYMLINK)
            continue;
        char path[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(entry, path, sizeof path);
        // A phantom or deleted entry names no archived data (a failed member
        // reads "/dev/null"); its local file, if any, is not ours to remove.
        uint32_t flags = velk_Get32(entry->hent_flags);
        if ((flags & (HIF_FLAG_PHANTOM | HIF_FLAG_DELETED)) != 0 || strcmp(path, "/dev/null") == 0)
            continue;
        if (velk_GetMemberFileXferSuccess(ordinal) != 0) {
            if (velk_debug_level >= 4)
                velk_ErrPrintf("/trace/ index entry %ld [%s] - failed to xfer successfully, unlink skipped\n",
                               static_cast<long>(ordinal), path);
            continue;
        }
        removeArchivedFile(ordinal, path, entry, paranoid);
    }
    console_message("", "");
    return 0;
}
