// Member selection: turns the file operands and -L input lists into the
// member table, expanding operands of file-reading actions (wildcards and
// exclusions through hooks, directories walked recursively) and taking the
// operands of the other actions as names or patterns.  Initial thread only;
// the table is the run's and the scan state a walk context that
// velk_GenFilelist keeps for one call; no locks.

#include "velk_FileList.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "velk_ExpandPath.h"
#include "velk_Globals.h"
#include "velk_IndexFormat.h"
#include "velk_ListFile.h"
#include "velk_LogMsg.h"
#include "velk_MemberStatus.h"
#include "velk_Memory.h"
#include "velk_ParseCmdLine.h"
#include "velk_StatusFifo.h"

namespace {

constexpr size_t VELK_REASON_BUFSIZE = 8193;
// Console tail of a long directory path on the "Scanning ..." line.
constexpr size_t VELK_SCAN_SHOW_TAIL = 80;
// Deepest walk: every level adds at least "/x" to a path of at most
// VELK_MAX_WALK_PATH characters.
constexpr int VELK_MAX_WALK_DEPTH = static_cast<int>(VELK_MAX_WALK_PATH / 2) + 2;

// Without hooks an operand stands for itself and nothing is excluded.
const velk_FileListHooks_t noHooks = {};

} // namespace

// The state of one velk_GenFilelist call: where the table goes, how
// operands are expanded and excluded, and the scan state of the operand
// being walked.
struct velk_walk_t {
    velk_members_t *members; // the run's member table, added to
    const velk_FileListHooks_t *hooks;
    velk_exclude_rules_t *rules; // null: nothing is excluded
    velk_home_cache_t *homes;
    bool expandOperands; // the action reads local files
    int recurseFlag;
    time_t genlistStartTime;
    long timeWindow; // -n, seconds (0: none)
    long maxFiles;   // -M: most entries the table may hold
    char currentDir[VELK_MAX_WALK_PATH + 1];
    int dirRecursionLevel;
    long dirsScanned;
    long toolargeCount;
    int64_t walkStartEntry; // first entry added by the current operand's walk
    // Length of the directory part of the operand (match) being expanded:
    // what every record it adds keeps as operandDirLen.
    uint32_t operandDirLen;
    // Device and inode of each directory being walked, outermost first: a
    // directory met again below itself (through a followed symbolic link)
    // would otherwise be walked until the path grew too long.
    struct id_t {
        dev_t dev;
        ino_t ino;
    } walkStack[VELK_MAX_WALK_DEPTH];
    int walkDepth;
    uid_t realUid; // the user whose right to read a file is checked
    // Working buffers, too large for every level of the walk's recursion.
    char reason[VELK_REASON_BUFSIZE];
    char expanded[VELK_MAX_WALK_PATH + 1];
};

namespace {

// The exclusion hooks, through the walk's rules.
int excludedName(velk_walk_t *w, const char *name)
{
    w->reason[0] = '\0';
    if (w->rules == nullptr || w->hooks->excludeCheckName == nullptr)
        return 0;
    return w->hooks->excludeCheckName(w->rules, name, w->dirRecursionLevel, w->reason, sizeof w->reason);
}

// The rules that name a path, against a member's whole path.
int excludedPath(velk_walk_t *w, const char *path)
{
    if (w->rules == nullptr || w->hooks->excludeCheckPath == nullptr)
        return 0;
    return w->hooks->excludeCheckPath(w->rules, path, w->reason, sizeof w->reason);
}

int exclusionMark(velk_walk_t *w)
{
    return w->rules != nullptr && w->hooks->excludeMark != nullptr ? w->hooks->excludeMark(w->rules) : 0;
}

void dropExclusionsSince(velk_walk_t *w, int mark)
{
    if (w->rules != nullptr && w->hooks->excludeUnlink != nullptr)
        w->hooks->excludeUnlink(w->rules, mark);
}

int keepWalked(velk_walk_t *w, uint32_t type, const char *path, const struct stat *st);
int genDirList(velk_walk_t *w, const char *name, int recurse);
int expandOperand(velk_walk_t *w, const char *path, const char *annotation, int version);

// Sets the recursion level to 0 and clears the scan directory buffer.
void resetDirLevel(velk_walk_t *w)
{
    w->dirRecursionLevel = 0;
    w->currentDir[0] = '\0';
}

bool windowInForce(const velk_walk_t *w)
{
    return velk_Opt(VELK_OPT_TIME_WINDOW) && w->timeWindow > 0;
}

// True when an object modified at mtime lies before the -n window.
bool olderThanWindow(const velk_walk_t *w, time_t mtime)
{
    return windowInForce(w) && mtime < w->genlistStartTime - w->timeWindow;
}

bool exclusionFilesRead()
{
    return velk_function == VOP_CREATE || velk_function == VOP_APPEND || velk_function == VOP_UPDATE;
}

bool onWalkStack(const velk_walk_t *w, const struct stat &st)
{
    for (int i = 0; i < w->walkDepth; i++)
        if (w->walkStack[i].dev == st.st_dev && w->walkStack[i].ino == st.st_ino)
            return true;
    return false;
}

void showScanning(const char *path)
{
    size_t len = strlen(path);
    console_message("Scanning ...", len > VELK_SCAN_SHOW_TAIL ? path + len - VELK_SCAN_SHOW_TAIL : path);
}

// Adds a copy of name, marked with the current operand's directory part.
int addCopy(velk_walk_t *w, uint32_t type, const char *name, const char *annotation, int version, const struct stat *st)
{
    char *copy = VELK_STRDUP(name);
    if (copy == nullptr)
        return -1;
    if (velk_AddFileSpec(w->members, w->maxFiles, type, 0, copy, annotation, version, st) != 0)
        return -1;
    w->members->table[w->members->count - 1].operandDirLen = w->operandDirLen;
    return 0;
}

// Characters of path before its last component: "a/b/c" 3, "/c" 1 (the
// root), "c" 0.
uint32_t directoryPartLength(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return 0;
    return slash == path ? 1 : static_cast<uint32_t>(slash - path);
}

// A directory met as an operand or inside a walk: the window test, the
// exclusion files, the entry itself and the walk below it.  0 to go on,
// -1 to stop.
int handleDirectory(velk_walk_t *w, const char *path, const struct stat &st, const char *annotation, int version)
{
    bool old = olderThanWindow(w, st.st_mtime);
    if (!old && exclusionFilesRead() && w->rules != nullptr && w->hooks->excludeNewDirectory != nullptr &&
        w->hooks->excludeNewDirectory(w->rules, w->dirRecursionLevel + 1, path, keepWalked, w) == 1)
        return 0;
    if (!old && addCopy(w, VTO_DIRECTORY, path, annotation, version, &st) != 0)
        return -1;
    if (!w->recurseFlag)
        return 0;
    if (access(path, X_OK) != 0) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Not searchable: %s\n", path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return 0;
    }
    int mark = exclusionMark(w);
    int r = genDirList(w, path, w->recurseFlag);
    dropExclusionsSince(w, mark);
    return r;
}

// Whether the user may read the file: one the user owns with the owner's
// read bit set can be (access lists leave the owner the mode's bits), any
// other is asked of the system.
bool readable(const velk_walk_t *w, const char *path, const struct stat &st)
{
    if (st.st_uid == w->realUid && (st.st_mode & S_IRUSR) != 0)
        return true;
    return access(path, R_OK) == 0;
}

int checkAddFile(velk_walk_t *w, const char *path, const struct stat &st, const char *annotation, int version,
                 bool inWalk)
{
    if (olderThanWindow(w, st.st_mtime))
        return 0;
    if (!readable(w, path, st)) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, inWalk ? "Not readable [skipped]: %s\n" : "Not readable: %s\n",
                    path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return 0;
    }
    if (static_cast<uint64_t>(st.st_size) >= VELK_MAX_FILE_SIZE) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "File too large for velk to handle: %s (%lu bytes)\n", path,
                    static_cast<unsigned long>(st.st_size));
        velk_SetExitCode(VELK_EXIT_IOERR);
        w->toolargeCount++;
        return 0;
    }
    if (addCopy(w, VTO_FILE, path, annotation, version, &st) != 0) {
        if (!inWalk) {
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Error trying to stat: %s\n", path);
            velk_SetExitCode(VELK_EXIT_IOERR);
        }
        return -1;
    }
    return 0;
}

// One match of an operand: 0 to go on, -1 to stop.
int handleMatch(velk_walk_t *w, const char *path, uint32_t type, const struct stat &st, const char *annotation,
                int version)
{
    if (excludedName(w, path) != 0 || excludedPath(w, path) != 0) {
        if (w->rules != nullptr && w->rules->showExcluded)
            fprintf(stderr, "%s: path: %s %s\n", "INFO", w->currentDir, w->reason);
        return 0;
    }
    w->operandDirLen = directoryPartLength(path);
    switch (type) {
    case VTO_FILE: return checkAddFile(w, path, st, annotation, version, false);
    case VTO_DIRECTORY: resetDirLevel(w); return handleDirectory(w, path, st, annotation, version);
    case VTO_SYMLINK:
        if (olderThanWindow(w, st.st_mtime))
            return 0;
        return addCopy(w, VTO_SYMLINK, path, annotation, version, &st);
    default:
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "velk: %s: object type not recognized \n", path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return 0;
    }
}

uint32_t kindOf(const struct stat &st)
{
    if (S_ISREG(st.st_mode))
        return VTO_FILE;
    if (S_ISDIR(st.st_mode))
        return VTO_DIRECTORY;
    if (S_ISLNK(st.st_mode))
        return VTO_SYMLINK;
    return VTO_BAD_TYPE;
}

int statPath(const char *path, struct stat *st)
{
    return velk_Opt(VELK_OPT_FOLLOW_LINKS) ? stat(path, st) : lstat(path, st);
}

// An operand (command line or input list) after normalisation.
int handleOperand(velk_walk_t *w, const char *raw)
{
    size_t len = strlen(raw);
    char *path = static_cast<char *>(VELK_MALLOC(len + 1));
    if (path == nullptr)
        return -1;
    copyPathname(raw, path);
    int r = 0;
    if (w->expandOperands) {
        if (expandOperand(w, path, nullptr, 0) != 0) {
            velk_SetExitCode(VELK_EXIT_USAGE);
            r = -1;
        }
        VELK_FREE(path);
        return r;
    }
    if (path[0] == '~' || strncmp(path, "..", 2) == 0) {
        if (velk_ExpandLocalPath(w->homes, path, w->expanded, sizeof w->expanded) != 0) {
            velk_SetExitCode(VELK_EXIT_USAGE);
            VELK_FREE(path);
            return -1;
        }
        VELK_FREE(path);
        path = VELK_STRDUP(w->expanded);
        if (path == nullptr)
            return -1;
    }
    return velk_AddFileSpec(w->members, w->maxFiles, VTO_UNKNOWN, 0, path, nullptr, 0, nullptr);
}

int listLine(const char *name, long, void *walk)
{
    return handleOperand(static_cast<velk_walk_t *>(walk), name) != 0 ? -1 : 0;
}

int readListFile(velk_walk_t *w, const char *name)
{
    if (strcmp(name, "-") == 0)
        return velk_ReadListStream(stdin, "standard input", listLine, w) < 0 ? -1 : 0;
    FILE *fp = nullptr;
    // An open interrupted by a signal is retried unless the run is ending.
    do {
        fp = fopen(name, "r");
    } while (fp == nullptr && errno == EINTR && !velk_shutdown_signalled.load());
    if (fp == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Cannot open file specified by -L option: %s\n", name);
        velk_SetExitCode(VELK_EXIT_FILELIST); // no list, no file list
        return -1;
    }
    int r = velk_ReadListStream(fp, name, listLine, w);
    fclose(fp);
    return r < 0 ? -1 : 0;
}

int changeDirectory(velk_walk_t *w, const char *dir)
{
    if (velk_ExpandLocalPath(w->homes, dir, w->expanded, sizeof w->expanded) != 0 || chdir(w->expanded) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal error changing to directory %s\n", dir);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

// What an exclusion rule keeps of a directory it leaves unwalked.
int keepWalked(velk_walk_t *w, uint32_t type, const char *path, const struct stat *st)
{
    return addCopy(w, type, path, nullptr, 0, st);
}

} // namespace

bool velk_NameHasWildcards(const char *name)
{
    for (const char *p = name; *p != '\0'; p++) {
        if (*p == '\\') {
            if (p[1] == '\0')
                break;
            p++;
            continue;
        }
        if (strchr("*?{[!", *p) != nullptr)
            return true;
    }
    return false;
}

int velk_BuildFileSpec(uint32_t type, uint64_t ordinal, char *name, const char *annotation, int version,
                       const struct stat *st, velk_FileSpec_t *entry)
{
    memset(entry, 0, sizeof *entry);
    entry->hasWildcards = velk_NameHasWildcards(name) ? 1 : 0;
    entry->objectType = type;
    entry->indexOrd = ordinal;
    entry->filename = name;
    if (annotation != nullptr) {
        entry->annotation = VELK_STRDUP(annotation);
        if (entry->annotation == nullptr)
            return -1;
    }
    entry->version = version;
    if (st != nullptr) {
        entry->haveStatInfo = 1;
        entry->size = static_cast<uint64_t>(st->st_size);
        entry->mode = static_cast<uint32_t>(st->st_mode) & 0xfff;
        entry->ctime = static_cast<uint64_t>(st->st_ctime);
        entry->mtime = static_cast<uint64_t>(st->st_mtime);
        entry->uid = st->st_uid;
        entry->gid = st->st_gid;
        entry->nlink = st->st_nlink;
        entry->dev = static_cast<uint64_t>(st->st_dev);
        entry->ino = static_cast<uint64_t>(st->st_ino);
        entry->ctimeNsec = static_cast<uint32_t>(st->st_ctim.tv_nsec);
        entry->mtimeNsec = static_cast<uint32_t>(st->st_mtim.tv_nsec);
    }
    return 0;
}

int velk_AddFileSpec(velk_members_t *members, long maxFiles, uint32_t type, uint64_t ordinal, char *name,
                     const char *annotation, int version, const struct stat *st)
{
    if (members->count >= members->capacity) {
        int64_t newSize = members->capacity + VELK_FILESPEC_GROWTH;
        if (newSize > maxFiles)
            newSize = maxFiles;
        if (newSize <= members->count) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Maximum number of file entries reached (%ld)\n", maxFiles);
            if (maxFiles < velk_abs_max_files)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Override up to %ld using the -M option",
                            velk_abs_max_files);
            else
                velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                            "   (Need to rebuild velk with larger setting for maxFiles)\n");
            velk_SetExitCode(VELK_EXIT_FILELIST); // the -M limit, not memory
            VELK_FREE(name);
            return -1;
        }
        void *grown = VELK_REALLOC(members->table, static_cast<size_t>(newSize) * sizeof(velk_FileSpec_t));
        if (grown == nullptr) {
            VELK_FREE(name);
            return -1;
        }
        members->table = static_cast<velk_FileSpec_t *>(grown);
        members->capacity = newSize;
    }
    if (velk_BuildFileSpec(type, ordinal, name, annotation, version, st, &members->table[members->count]) != 0) {
        VELK_FREE(name);
        return -1;
    }
    members->count++;
    if (static_cast<uint64_t>(members->count) > VELK_MAX_TABLE_ENTRIES) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "*** %s: fatal error - too many objects found starting with %s - number of objects in "
                    "archive cannot exceed 2^32-1\n",
                    velk_ProgramName(), name);
        velk_SetExitCode(VELK_EXIT_NOMEM);
        return -1;
    }
    return 0;
}

void copyPathname(const char *src, char *dst)
{
    size_t n = 0;
    bool prevEscaped = false;
    for (const char *p = src; *p != '\0'; p++) {
        char c = *p;
        bool escaped = false;
        if (c == '\\') {
            if (p[1] == '\0')
                break;
            c = *++p;
            escaped = true;
        }
        if (c == '/' && !escaped && n > 0 && dst[n - 1] == '/' && !prevEscaped)
            continue;
        dst[n++] = c;
        prevEscaped = escaped;
    }
    while (n > 1 && dst[n - 1] == '/')
        n--;
    dst[n] = '\0';
}

int compareFileSpecsByName(const void *a, const void *b)
{
    const auto *x = static_cast<const velk_FileSpec_t *>(a);
    const auto *y = static_cast<const velk_FileSpec_t *>(b);
    int c = strcmp(x->filename, y->filename);
    if (c != 0)
        return c;
    return (x->version > y->version) - (x->version < y->version);
}

namespace {

// One entry entryName of the directory name (nameLen characters; rootDir
// when it is "/") during genDirList: excluded, skipped with a message,
// added, or walked into (with recurse).  Returns 0 to go on with the next
// entry, -1 to stop the walk.
int scanEntry(velk_walk_t *w, const char *name, size_t nameLen, bool rootDir, const char *entryName, int recurse)
{
    char path[VELK_MAX_WALK_PATH + 2];
    size_t full = nameLen + (rootDir ? 0 : 1) + strlen(entryName);
    if (full > VELK_MAX_WALK_PATH) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Full pathname too long - skipped %s\n", entryName);
        velk_SetExitCode(VELK_EXIT_USAGE);
        return 0;
    }
    snprintf(path, sizeof path, "%s%s%s", name, rootDir ? "" : "/", entryName);
    // Rules are matched against the entry's own name, those that name a
    // path against the whole path.
    if (excludedName(w, entryName) != 0 || excludedPath(w, path) != 0) {
        if (w->rules != nullptr && w->rules->showExcluded)
            fprintf(stderr, "%s: path %s: %s\n", "INFO", name, w->reason);
        return 0;
    }
    struct stat st;
    if (statPath(path, &st) != 0) {
        const int err = errno;
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Error %d stat-ing %s - entry not included\n", err, path);
        velk_Explain(VELK_MSG_INFO, err, path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return 0;
    }
    if (S_ISDIR(st.st_mode)) {
        if (onWalkStack(w, st)) {
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Link to a directory being scanned - skipped %s\n", path);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return 0;
        }
        if (!recurse)
            return !olderThanWindow(w, st.st_mtime) && addCopy(w, VTO_DIRECTORY, path, nullptr, 0, &st) != 0 ? -1 : 0;
        return handleDirectory(w, path, st, nullptr, 0) != 0 ? -1 : 0;
    }
    if (S_ISREG(st.st_mode))
        return checkAddFile(w, path, st, nullptr, 0, true) != 0 ? -1 : 0;
    if (S_ISLNK(st.st_mode))
        return !olderThanWindow(w, st.st_mtime) && addCopy(w, VTO_SYMLINK, path, nullptr, 0, &st) != 0 ? -1 : 0;
    // FIFOs and sockets are named, since a user may expect their contents
    // in the archive; devices are left out without a message.  Neither
    // changes the exit status.
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: is a %s, not archived\n", path,
                    S_ISFIFO(st.st_mode) ? "FIFO" : "socket");
    return 0;
}

// Walks the directory name (recursively when recurse is set) and adds what
// it holds; the caller drops the exclusion rules the walk pushed.  0, or -1
// when the walk must stop (status set).
int genDirList(velk_walk_t *w, const char *name, int recurse)
{
    w->dirsScanned++;
    if (velk_Opt(VELK_OPT_STATUS_FIFO) && w->dirsScanned % 10 == 0)
        velk_StatusMsg(0, "Scanned %ld dirs - %ld files added", w->dirsScanned, static_cast<long>(w->members->count));

    size_t saveLen = strlen(w->currentDir);
    w->dirRecursionLevel++;
    if (w->dirRecursionLevel == 1) {
        snprintf(w->currentDir, sizeof w->currentDir, "%s", name);
        saveLen = 0;
        w->walkStartEntry = w->members->count;
        w->walkDepth = 0;
    } else {
        // name is the full path of the subdirectory, so its length stands
        // for the current path, the separator and the component together.
        size_t nlen = strlen(name);
        if (nlen + 2 > VELK_MAX_WALK_PATH - 1) {
            velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "pathname too long (velk_GenDirList).\n");
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "    Current: %s\n", w->currentDir);
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "    Next dir to scan: %s\n", name);
            velk_SetExitCode(VELK_EXIT_FILELIST);
            w->dirRecursionLevel--;
            return -1;
        }
        snprintf(w->currentDir, sizeof w->currentDir, "%s", name);
    }
    showScanning(w->currentDir);

    DIR *dir = nullptr;
    do {
        dir = opendir(name);
    } while (dir == nullptr && errno == EINTR && !velk_shutdown_signalled.load());
    if (dir == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Unable to open directory: %s\n", name);
        velk_SetExitCode(VELK_EXIT_IOERR);
        w->dirRecursionLevel--;
        w->currentDir[saveLen] = '\0';
        return -1;
    }
    rewinddir(dir);

    struct stat dirSt;
    bool pushed = false;
    if (fstat(dirfd(dir), &dirSt) == 0 && w->walkDepth < VELK_MAX_WALK_DEPTH) {
        w->walkStack[w->walkDepth++] = {dirSt.st_dev, dirSt.st_ino};
        pushed = true;
    }

    size_t nameLen = strlen(name);
    bool rootDir = nameLen == 1 && name[0] == '/';
    int result = 0;
    for (;;) {
        if (velk_shutdown_signalled.load()) {
            result = -1;
            break;
        }
        errno = 0;
        struct dirent *de = readdir(dir);
        if (de == nullptr)
            break;
        if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0)
            continue;
        if (scanEntry(w, name, nameLen, rootDir, de->d_name, recurse) != 0) {
            result = -1;
            break;
        }
    }
    closedir(dir);
    if (pushed)
        w->walkDepth--;
    w->dirRecursionLevel--;
    w->currentDir[saveLen] = '\0';
    if (w->dirRecursionLevel == 0) {
        int64_t added = w->members->count - w->walkStartEntry;
        if (added > 1) {
            if (velk_debug_level >= 2)
                velk_ErrPrintf("/debug/ sorting %d index entries added for directory %s\n", static_cast<int>(added),
                               name);
            qsort(w->members->table + w->walkStartEntry, static_cast<size_t>(added), sizeof(velk_FileSpec_t),
                  compareFileSpecsByName);
        }
        // The scan buffer keeps the last scanned directory for messages.
        snprintf(w->currentDir, sizeof w->currentDir, "%s", name);
    }
    return result;
}

// Expands one operand of a file-reading action and adds what it names.
// 0, or -1 (status set).
int expandOperand(velk_walk_t *w, const char *path, const char *annotation, int version)
{
    int startMark = exclusionMark(w);
    char *expanded = w->expanded;
    if (velk_ExpandLocalPath(w->homes, path, expanded, sizeof w->expanded) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: Unable to expand prefix chars for pathname: %s  Entry skipped", velk_ProgramName(), path);
        velk_SetExitCode(VELK_EXIT_USAGE);
        return -1;
    }
    int result = 0;
    if (w->hooks->expand != nullptr) {
        velk_globent_t *matches = nullptr;
        int count = w->hooks->expand(expanded, &matches);
        if (count < 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "%s: Error expanding wildcard chars for pathname: %s  Entry skipped", velk_ProgramName(), path);
            velk_SetExitCode(VELK_EXIT_USAGE);
            dropExclusionsSince(w, startMark);
            return -1;
        }
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/ %d entries expanded from [%s]\n", count, expanded);
        for (int i = 0; i < count && result == 0; i++)
            result = handleMatch(w, matches[i].name, matches[i].objectType, matches[i].st, annotation, version);
        if (w->hooks->release != nullptr)
            w->hooks->release(matches, count);
    } else {
        // No expander: the operand stands for itself.
        struct stat st;
        if (statPath(expanded, &st) != 0) {
            const int err = errno;
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Error %d stat-ing %s - entry not included\n", err, expanded);
            velk_Explain(VELK_MSG_INFO, err, expanded);
            velk_SetExitCode(VELK_EXIT_IOERR);
        } else {
            result = handleMatch(w, expanded, kindOf(st), st, annotation, version);
        }
    }
    dropExclusionsSince(w, startMark);
    return result;
}

// The operands from run->argv[run->optind] on, with their -L lists and -C
// directories.  0, or -1 (status set).
int walkOperands(velk_walk_t *w, const velk_run_t *run)
{
    int result = 0;
    for (int i = run->optind; result == 0 && i < run->argc; i++) {
        const char *arg = run->argv[i];
        if (strncmp(arg, "-L", 2) == 0 || strncmp(arg, "-C", 2) == 0) {
            bool isList = arg[1] == 'L';
            const char *value = arg + 2;
            if (*value == '\0') {
                if (i + 1 >= run->argc) {
                    velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                                isList ? "Missing argument for -L option\n" : "Missing argument for -C option\n");
                    velk_SetExitCode(VELK_EXIT_USAGE);
                    result = -1;
                    break;
                }
                value = run->argv[++i];
            }
            if ((isList ? readListFile(w, value) : changeDirectory(w, value)) != 0)
                result = -1;
            continue;
        }
        if (handleOperand(w, arg) != 0)
            result = -1;
    }
    return result;
}

} // namespace

int velk_GenFilelist(velk_run_t *run)
{
    velk_SetProgramPhase(VTP_GEN_FILELIST);
    // The scan state lives for this call only (on the initial thread's
    // stack); the table it builds is the run's.
    velk_walk_t walk{};
    velk_walk_t *w = &walk;
    w->members = &run->members;
    w->hooks = run->selectHooks != nullptr ? run->selectHooks : &noHooks;
    w->rules = run->exclude;
    w->homes = run->homes;
    w->expandOperands = velk_function == VOP_CREATE || velk_function == VOP_APPEND || velk_function == VOP_COMPARE ||
                        velk_function == VOP_COMPARE_CKSUMS || velk_function == VOP_UPDATE;
    w->recurseFlag = velk_Opt(VELK_OPT_NORECURSE) ? 0 : 1;
    w->genlistStartTime = time(nullptr);
    w->timeWindow = run->timeWindow;
    w->maxFiles = run->maxFiles;
    w->realUid = getuid();

    int result = 0;
    if (run->inputListName != nullptr && readListFile(w, run->inputListName) != 0)
        result = -1;
    if (result == 0 && walkOperands(w, run) != 0)
        result = -1;
    // The writers check each file they open against its record.
    velk_SetMemberRecords(run->members.table, run->members.count);
    if (result == 0 && w->toolargeCount > 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%d oversize member files found - please correct and retry",
                    static_cast<int>(w->toolargeCount));
        velk_SetExitCode(VELK_EXIT_IOERR);
        result = -1;
    }
    return result;
}

void velk_DumpFileSpecList(const velk_members_t *members)
{
    fprintf(stderr, "%ld object entries in File Spec table. Current allocated table size: %ldentries\n",
            static_cast<long>(members->count), static_cast<long>(members->capacity));
    for (int64_t i = 0; i < members->count; i++) {
        const velk_FileSpec_t &e = members->table[i];
        time_t ct = static_cast<time_t>(e.ctime);
        time_t mt = static_cast<time_t>(e.mtime);
        char ctext[64] = "";
        char mtext[64] = "";
        ctime_r(&ct, ctext);
        ctime_r(&mt, mtext);
        fprintf(stderr, "Index %d  Filename %s\n", static_cast<int>(i), e.filename);
        fprintf(stderr, "  Index Ordinal.. %ld\n", static_cast<long>(e.indexOrd));
        fprintf(stderr, "  Object type.....%s\n", velk_ObjectTypeName(e.objectType));
        fprintf(stderr, "  Annotation..... %s\n", e.annotation != nullptr ? e.annotation : "");
        fprintf(stderr, "  Version........ %d\n", e.version);
        fprintf(stderr, "  Size........... %lu\n", static_cast<unsigned long>(e.size));
        fprintf(stderr, "  Mode...........(octal)0%o\n", e.mode);
        fprintf(stderr, "  Ctime.......... %s", ctext);
        fprintf(stderr, "  Mtime.......... %s", mtext);
        fprintf(stderr, "  Uid............ %lu\n", static_cast<unsigned long>(e.uid));
        fprintf(stderr, "  Gid............ %lu\n", static_cast<unsigned long>(e.gid));
        fprintf(stderr, "  Link count..... %lu\n", static_cast<unsigned long>(e.nlink));
    }
    fflush(stderr);
}

void velk_FileListRelease(velk_run_t *run)
{
    velk_SetMemberRecords(nullptr, 0);
    velk_members_t *m = &run->members;
    for (int64_t i = 0; i < m->count; i++) {
        VELK_FREE(m->table[i].filename);
        VELK_FREE(m->table[i].annotation);
    }
    VELK_FREE(m->table);
    *m = velk_members_t{nullptr, 0, 0};
}
