// The removal of local member files after a create with -H rmlocal: every
// regular file and symbolic link whose member was written successfully is
// unlinked, unless the verify option paranoid finds it changed since its
// index entry was made.  Initial thread, after the copy.

#include "velk_RemoveLocal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_MemberStatus.h"

namespace {

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

// True when the file at path may be removed as the member entry describes
// it.  A directory is never removed.  With paranoid, the file must still be
// of the entry's kind and unchanged since the entry was made.
bool mayRemove(const char *path, const hif_entry_t *entry, uint32_t type, bool paranoid)
{
    struct stat st;
    int rc = velk_Opt(VELK_OPT_FOLLOW_LINKS) ? stat(path, &st) : lstat(path, &st);
    if (rc != 0) {
        if (paranoid && velk_debug_level >= 4)
            velk_ErrPrintf("/trace/ paranoid checking-error %d trying to stat local file %s\n", errno, path);
        // Without paranoid a vanished file is simply not there to remove;
        // with it, a file that cannot be checked is kept.
        return !paranoid;
    }
    if (S_ISDIR(st.st_mode) || (paranoid && (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))) ||
        (paranoid && S_ISREG(st.st_mode) && type == VTO_SYMLINK) ||
        (paranoid && S_ISLNK(st.st_mode) && type == VTO_FILE)) {
        if (velk_debug_level >= 1)
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: %s skipped - was a %s, but now is a %s",
                        "velk_RemoveMemberFiles", path, type == VTO_SYMLINK ? "symlink" : "regular file",
                        kindOfMode(st.st_mode));
        return false;
    }
    if (!paranoid)
        return true;
    bool modified = false;
    if (S_ISREG(st.st_mode)) {
        // The entry holds the low 32 bits of the times.
        if (static_cast<uint32_t>(st.st_mtime) > velk_Get32(entry->hent_mtime) ||
            static_cast<uint64_t>(st.st_size) != velk_Get64(entry->hent_fsize))
            modified = true;
    }
    if (static_cast<uint32_t>(st.st_ctime) != velk_Get32(entry->hent_ctime))
        modified = true;
    if (modified) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: %s has been modified - skipped", "velk_RemoveMemberFiles",
                    path);
        return false;
    }
    return true;
}

} // namespace

int velk_RemoveMemberFiles(int indexFd, int indexKind)
{
    VELK_TRACE_ENTRY();
    int64_t base = velk_GetMemberBaseOrdinal();
    console_message("Removing local files", "");
    if (velk_debug_level >= 1)
        printf("/debug/positioning index file to entry %ld\n", static_cast<long>(base));
    if (velk_IndexFilePosition(indexFd, indexKind, base) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: Failed to remove one or more local files that were written to the Archive", __func__);
        return -1;
    }
    bool paranoid = (velk_verify_flags & VELK_VERIFY_PARANOID) != 0;
    for (int64_t ordinal = base;; ordinal++) {
        hif_entry_t *entry = nullptr;
        int eof = 0;
        if (velk_IndexFileRead(indexFd, indexKind, 0, &entry, &eof) != 0 || eof)
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
        if (!mayRemove(path, entry, type, paranoid))
            continue;
        int rc = unlink(path);
        int err = errno;
        if (velk_debug_level >= 4)
            velk_ErrPrintf("/trace/unlink of %s returned %d\n", path, rc);
        if (rc == 0 || err == ENOENT)
            continue;
        if (err == EPERM)
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: no permission to remove %s", __func__, path);
        else if (err == EACCES)
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: directory access problem trying to remove %s", __func__,
                        path);
        else
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: system error %d trying to remove %s", __func__, err,
                        path);
    }
    console_message("", "");
    return 0;
}
