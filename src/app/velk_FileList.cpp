// Member selection: turns the file operands and -L input lists into the
// member table, expanding operands of file-reading actions (wildcards and
// exclusions through hooks, directories walked recursively) and taking the
// operands of the other actions as names or patterns.  Initial thread only;
// the table and scan state are plain statics, no locks.

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
#include "velk_ReadConfig.h"
#include "velk_StatusFifo.h"

velk_FileSpec_t *velk_FileList = nullptr;
int64_t velk_FileListEntries = 0;

namespace {

constexpr size_t VELK_REASON_BUFSIZE = 8193;
// Console tail of a long directory path on the "Scanning ..." line.
constexpr size_t VELK_SCAN_SHOW_TAIL = 80;
// Deepest walk: every level adds at least "/x" to a path of at most
// VELK_MAX_WALK_PATH characters.
constexpr int VELK_MAX_WALK_DEPTH = static_cast<int>(VELK_MAX_WALK_PATH / 2) + 2;

// Table state.
velk_FileSpec_t *fileSpecTable = nullptr;
int64_t fileSpecEntries = 0;
int64_t fileSpecTableSize = 0;

// Scan state.
char currentDir[VELK_MAX_WALK_PATH + 1];
int dirRecursionLevel = 0;
long dirsScanned = 0;
long toolargeCount = 0;
int recurseFlag = 1;
time_t genlistStartTime = 0;
int64_t walkStartEntry = 0; // first entry added by the current operand's walk
// Length of the directory part of the operand (match) being expanded: what
// every record it adds keeps as operandDirLen.
uint32_t operandDirLen = 0;

// Device and inode of each directory being walked, outermost first: a
// directory met again below itself (through a followed symbolic link) would
// otherwise be walked until the path grew too long.
struct walkId_t {
    dev_t dev;
    ino_t ino;
};
walkId_t walkStack[VELK_MAX_WALK_DEPTH];
int walkDepth = 0;

bool expandOperands = false; // the action reads local files

// Default hooks: expand nothing, exclude nothing.
int noExcludeCheck(const char *, int, char *reason, size_t reasonSize)
{
    if (reasonSize > 0)
        reason[0] = '\0';
    return 0;
}
int noExcludeNewDirectory(int, const char *)
{
    return 0;
}
int noExcludeMark()
{
    return 0;
}
void noExcludeUnlink(int) {}

const velk_FileListHooks_t defaultHooks = {nullptr,       nullptr,        noExcludeCheck, noExcludeNewDirectory,
                                           noExcludeMark, noExcludeUnlink};
velk_FileListHooks_t hooks = defaultHooks;

bool windowInForce()
{
    return velk_Opt(VELK_OPT_TIME_WINDOW) && velk_time_opt > 0;
}

// True when an object modified at mtime lies before the -n window.
bool olderThanWindow(time_t mtime)
{
    return windowInForce() && mtime < genlistStartTime - velk_time_opt;
}

bool exclusionFilesRead()
{
    return velk_function == VOP_CREATE || velk_function == VOP_APPEND || velk_function == VOP_UPDATE;
}

bool onWalkStack(const struct stat &st)
{
    for (int i = 0; i < walkDepth; i++)
        if (walkStack[i].dev == st.st_dev && walkStack[i].ino == st.st_ino)
            return true;
    return false;
}

void showScanning(const char *path)
{
    size_t len = strlen(path);
    console_message("Scanning ...", len > VELK_SCAN_SHOW_TAIL ? path + len - VELK_SCAN_SHOW_TAIL : path);
}

// Adds a copy of name, marked with the current operand's directory part.
int addCopy(uint32_t type, const char *name, const char *annotation, int version, const struct stat *st)
{
    char *copy = VELK_STRDUP(name);
    if (copy == nullptr)
        return -1;
    if (velk_AddFileSpec(type, 0, copy, annotation, version, st) != 0)
        return -1;
    fileSpecTable[fileSpecEntries - 1].operandDirLen = operandDirLen;
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
int handleDirectory(const char *path, const struct stat &st, const char *annotation, int version)
{
    bool old = olderThanWindow(st.st_mtime);
    if (!old && exclusionFilesRead() && hooks.excludeNewDirectory(dirRecursionLevel + 1, path) == 1)
        return 0;
    if (!old && addCopy(VTO_DIRECTORY, path, annotation, version, &st) != 0)
        return -1;
    if (!recurseFlag)
        return 0;
    if (access(path, X_OK) != 0) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Not searchable: %s\n", path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return 0;
    }
    int mark = hooks.excludeMark();
    int r = velk_GenDirList(path, recurseFlag, mark);
    hooks.excludeUnlink(mark);
    return r;
}

int checkAddFile(const char *path, const struct stat &st, const char *annotation, int version, bool inWalk)
{
    if (olderThanWindow(st.st_mtime))
        return 0;
    if (access(path, R_OK) != 0) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, inWalk ? "Not readable [skipped]: %s\n" : "Not readable: %s\n",
                    path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return 0;
    }
    if (static_cast<uint64_t>(st.st_size) >= VELK_MAX_FILE_SIZE) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "File too large for velk to handle: %s (%lu bytes)\n", path,
                    static_cast<unsigned long>(st.st_size));
        velk_SetExitCode(VELK_EXIT_IOERR);
        toolargeCount++;
        return 0;
    }
    if (addCopy(VTO_FILE, path, annotation, version, &st) != 0) {
        if (!inWalk) {
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Error trying to stat: %s\n", path);
            velk_SetExitCode(VELK_EXIT_IOERR);
        }
        return -1;
    }
    return 0;
}

// One match of an operand: 0 to go on, -1 to stop.
int handleMatch(const char *path, uint32_t type, const struct stat &st, const char *annotation, int version)
{
    static char reason[VELK_REASON_BUFSIZE];
    if (hooks.excludeCheckName(path, dirRecursionLevel, reason, sizeof reason) != 0) {
        if (velk_config_opts.DisplayExcludedObjects)
            fprintf(stderr, "%s: path: %s %s\n", "INFO", currentDir, reason);
        return 0;
    }
    operandDirLen = directoryPartLength(path);
    switch (type) {
    case VTO_FILE: return checkAddFile(path, st, annotation, version, false);
    case VTO_DIRECTORY: velk_ResetDirLevel(); return handleDirectory(path, st, annotation, version);
    case VTO_SYMLINK:
        if (olderThanWindow(st.st_mtime))
            return 0;
        return addCopy(VTO_SYMLINK, path, annotation, version, &st);
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
int handleOperand(const char *raw)
{
    size_t len = strlen(raw);
    char *path = static_cast<char *>(VELK_MALLOC(len + 1));
    if (path == nullptr)
        return -1;
    copyPathname(raw, path);
    int r = 0;
    if (expandOperands) {
        if (commonExpandPathname(path, nullptr, 0) != 0) {
            velk_SetExitCode(VELK_EXIT_USAGE);
            r = -1;
        }
        VELK_FREE(path);
        return r;
    }
    if (path[0] == '~' || strncmp(path, "..", 2) == 0) {
        static char expanded[VELK_MAX_WALK_PATH + 1];
        if (velk_ExpandLocalPath(path, expanded, sizeof expanded) != 0) {
            velk_SetExitCode(VELK_EXIT_USAGE);
            VELK_FREE(path);
            return -1;
        }
        VELK_FREE(path);
        path = VELK_STRDUP(expanded);
        if (path == nullptr)
            return -1;
    }
    return velk_AddFileSpec(VTO_UNKNOWN, 0, path, nullptr, 0, nullptr);
}

int listLine(const char *name, long, void *)
{
    return handleOperand(name) != 0 ? -1 : 0;
}

int readListFile(const char *name)
{
    if (strcmp(name, "-") == 0)
        return velk_ReadListStream(stdin, "standard input", listLine, nullptr) < 0 ? -1 : 0;
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
    int r = velk_ReadListStream(fp, name, listLine, nullptr);
    fclose(fp);
    return r < 0 ? -1 : 0;
}

int changeDirectory(const char *dir)
{
    static char expanded[VELK_MAX_WALK_PATH + 1];
    if (velk_ExpandLocalPath(dir, expanded, sizeof expanded) != 0 || chdir(expanded) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal error changing to directory %s\n", dir);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

} // namespace

int velk_AddWalkedObject(uint32_t type, const char *path, const struct stat *st)
{
    return addCopy(type, path, nullptr, 0, st);
}

void velk_SetFileListHooks(const velk_FileListHooks_t *h)
{
    hooks = h != nullptr ? *h : defaultHooks;
    if (hooks.excludeCheckName == nullptr)
        hooks.excludeCheckName = noExcludeCheck;
    if (hooks.excludeNewDirectory == nullptr)
        hooks.excludeNewDirectory = noExcludeNewDirectory;
    if (hooks.excludeMark == nullptr)
        hooks.excludeMark = noExcludeMark;
    if (hooks.excludeUnlink == nullptr)
        hooks.excludeUnlink = noExcludeUnlink;
}

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

int velk_AddFileSpec(uint32_t type, uint64_t ordinal, char *name, const char *annotation, int version,
                     const struct stat *st)
{
    if (fileSpecEntries >= fileSpecTableSize) {
        int64_t newSize = fileSpecTableSize + VELK_FILESPEC_GROWTH;
        if (newSize > velk_max_files)
            newSize = velk_max_files;
        if (newSize <= fileSpecEntries) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Maximum number of file entries reached (%ld)\n",
                        velk_max_files);
            if (velk_max_files < velk_abs_max_files)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Override up to %ld using the -M option",
                            velk_abs_max_files);
            else
                velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                            "   (Need to rebuild velk with larger setting for velk_max_files)\n");
            velk_SetExitCode(VELK_EXIT_FILELIST); // the -M limit, not memory
            VELK_FREE(name);
            return -1;
        }
        void *grown = VELK_REALLOC(fileSpecTable, static_cast<size_t>(newSize) * sizeof(velk_FileSpec_t));
        if (grown == nullptr) {
            VELK_FREE(name);
            return -1;
        }
        fileSpecTable = static_cast<velk_FileSpec_t *>(grown);
        fileSpecTableSize = newSize;
    }
    if (velk_BuildFileSpec(type, ordinal, name, annotation, version, st, &fileSpecTable[fileSpecEntries]) != 0) {
        VELK_FREE(name);
        return -1;
    }
    fileSpecEntries++;
    if (static_cast<uint64_t>(fileSpecEntries) > VELK_MAX_TABLE_ENTRIES) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "*** %s: fatal error - too many objects found starting with %s - number of objects in "
                    "archive cannot exceed 2^32-1\n",
                    velk_program_name, name);
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

void velk_ResetDirLevel()
{
    dirRecursionLevel = 0;
    currentDir[0] = '\0';
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

// One entry entryName of the directory name (nameLen characters; rootDir
// when it is "/") during velk_GenDirList: excluded, skipped with a message,
// added, or walked into (with recurse).  Returns 0 to go on with the next
// entry, -1 to stop the walk.
static int scanEntry(const char *name, size_t nameLen, bool rootDir, const char *entryName, int recurse)
{
    static char reason[VELK_REASON_BUFSIZE];
    char path[VELK_MAX_WALK_PATH + 2];
    size_t full = nameLen + (rootDir ? 0 : 1) + strlen(entryName);
    if (full > VELK_MAX_WALK_PATH) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Full pathname too long - skipped %s\n", entryName);
        velk_SetExitCode(VELK_EXIT_USAGE);
        return 0;
    }
    snprintf(path, sizeof path, "%s%s%s", name, rootDir ? "" : "/", entryName);
    // Rules are matched against the entry's own name.
    if (hooks.excludeCheckName(entryName, dirRecursionLevel, reason, sizeof reason) != 0) {
        if (velk_config_opts.DisplayExcludedObjects)
            fprintf(stderr, "%s: path %s: %s\n", "INFO", name, reason);
        return 0;
    }
    struct stat st;
    if (statPath(path, &st) != 0) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Error %d stat-ing %s - entry not included\n", errno, path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return 0;
    }
    if (S_ISDIR(st.st_mode)) {
        if (onWalkStack(st)) {
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Link to a directory being scanned - skipped %s\n", path);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return 0;
        }
        if (!recurse)
            return !olderThanWindow(st.st_mtime) && addCopy(VTO_DIRECTORY, path, nullptr, 0, &st) != 0 ? -1 : 0;
        return handleDirectory(path, st, nullptr, 0) != 0 ? -1 : 0;
    }
    if (S_ISREG(st.st_mode))
        return checkAddFile(path, st, nullptr, 0, true) != 0 ? -1 : 0;
    if (S_ISLNK(st.st_mode))
        return !olderThanWindow(st.st_mtime) && addCopy(VTO_SYMLINK, path, nullptr, 0, &st) != 0 ? -1 : 0;
    // FIFOs and sockets are named, since a user may expect their contents
    // in the archive; devices are left out without a message.  Neither
    // changes the exit status.
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: is a %s, not archived\n", path,
                    S_ISFIFO(st.st_mode) ? "FIFO" : "socket");
    return 0;
}

int velk_GenDirList(const char *name, int recurse, int exclusionMark)
{
    (void)exclusionMark; // the rules of this directory are dropped by the caller
    dirsScanned++;
    if (velk_Opt(VELK_OPT_STATUS_FIFO) && dirsScanned % 10 == 0)
        velk_StatusMsg(0, "Scanned %ld dirs - %ld files added", dirsScanned, static_cast<long>(fileSpecEntries));

    size_t saveLen = strlen(currentDir);
    dirRecursionLevel++;
    if (dirRecursionLevel == 1) {
        snprintf(currentDir, sizeof currentDir, "%s", name);
        saveLen = 0;
        walkStartEntry = fileSpecEntries;
        walkDepth = 0;
    } else {
        // name is the full path of the subdirectory, so its length stands
        // for the current path, the separator and the component together.
        size_t nlen = strlen(name);
        if (nlen + 2 > VELK_MAX_WALK_PATH - 1) {
            velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "pathname too long (velk_GenDirList).\n");
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "    Current: %s\n", currentDir);
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "    Next dir to scan: %s\n", name);
            velk_SetExitCode(VELK_EXIT_FILELIST);
            dirRecursionLevel--;
            return -1;
        }
        snprintf(currentDir, sizeof currentDir, "%s", name);
    }
    showScanning(currentDir);

    DIR *dir = nullptr;
    do {
        dir = opendir(name);
    } while (dir == nullptr && errno == EINTR && !velk_shutdown_signalled.load());
    if (dir == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Unable to open directory: %s\n", name);
        velk_SetExitCode(VELK_EXIT_IOERR);
        dirRecursionLevel--;
        currentDir[saveLen] = '\0';
        return -1;
    }
    rewinddir(dir);

    struct stat dirSt;
    bool pushed = false;
    if (fstat(dirfd(dir), &dirSt) == 0 && walkDepth < VELK_MAX_WALK_DEPTH) {
        walkStack[walkDepth++] = {dirSt.st_dev, dirSt.st_ino};
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
        if (scanEntry(name, nameLen, rootDir, de->d_name, recurse) != 0) {
            result = -1;
            break;
        }
    }
    closedir(dir);
    if (pushed)
        walkDepth--;
    dirRecursionLevel--;
    currentDir[saveLen] = '\0';
    if (dirRecursionLevel == 0) {
        int64_t added = fileSpecEntries - walkStartEntry;
        if (added > 1) {
            if (velk_debug_level >= 2)
                velk_ErrPrintf("/debug/ sorting %d index entries added for directory %s\n", static_cast<int>(added),
                               name);
            qsort(fileSpecTable + walkStartEntry, static_cast<size_t>(added), sizeof(velk_FileSpec_t),
                  compareFileSpecsByName);
        }
        // The scan buffer keeps the last scanned directory for messages.
        snprintf(currentDir, sizeof currentDir, "%s", name);
    }
    return result;
}

int commonExpandPathname(const char *path, const char *annotation, int version)
{
    int startMark = hooks.excludeMark();
    static char expanded[VELK_MAX_WALK_PATH + 1];
    if (velk_ExpandLocalPath(path, expanded, sizeof expanded) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: Unable to expand prefix chars for pathname: %s  Entry skipped", velk_program_name, path);
        velk_SetExitCode(VELK_EXIT_USAGE);
        return -1;
    }
    int result = 0;
    if (hooks.expand != nullptr) {
        velk_globent_t *matches = nullptr;
        int count = hooks.expand(expanded, &matches);
        if (count < 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "%s: Error expanding wildcard chars for pathname: %s  Entry skipped", velk_program_name, path);
            velk_SetExitCode(VELK_EXIT_USAGE);
            hooks.excludeUnlink(startMark);
            return -1;
        }
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/ %d entries expanded from [%s]\n", count, expanded);
        for (int i = 0; i < count && result == 0; i++)
            result = handleMatch(matches[i].name, matches[i].objectType, matches[i].st, annotation, version);
        if (hooks.release != nullptr)
            hooks.release(matches, count);
    } else {
        // No expander: the operand stands for itself.
        struct stat st;
        if (statPath(expanded, &st) != 0) {
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Error %d stat-ing %s - entry not included\n", errno,
                        expanded);
            velk_SetExitCode(VELK_EXIT_IOERR);
        } else {
            result = handleMatch(expanded, kindOf(st), st, annotation, version);
        }
    }
    hooks.excludeUnlink(startMark);
    return result;
}

int velk_GenFilesFromListfile(const velk_run_t *run)
{
    if (run->inputListName == nullptr)
        return 0;
    return readListFile(run->inputListName);
}

int velk_GenFilelist(const velk_run_t *run)
{
    velk_SetProgramPhase(VTP_GEN_FILELIST);
    expandOperands = velk_function == VOP_CREATE || velk_function == VOP_APPEND || velk_function == VOP_COMPARE ||
                     velk_function == VOP_COMPARE_CKSUMS || velk_function == VOP_UPDATE;
    recurseFlag = velk_Opt(VELK_OPT_NORECURSE) ? 0 : 1;
    genlistStartTime = time(nullptr);

    int result = 0;
    if (run->inputListName != nullptr && velk_GenFilesFromListfile(run) != 0)
        result = -1;
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
            if ((isList ? readListFile(value) : changeDirectory(value)) != 0)
                result = -1;
            continue;
        }
        if (handleOperand(arg) != 0)
            result = -1;
    }
    velk_FileList = fileSpecTable;
    velk_FileListEntries = fileSpecEntries;
    // The writers check each file they open against its record.
    velk_SetMemberRecords(fileSpecTable, fileSpecEntries);
    if (result == 0 && toolargeCount > 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%d oversize member files found - please correct and retry",
                    static_cast<int>(toolargeCount));
        velk_SetExitCode(VELK_EXIT_IOERR);
        result = -1;
    }
    return result;
}

void velk_DumpFileSpecList()
{
    fprintf(stderr, "%ld object entries in File Spec table. Current allocated table size: %ldentries\n",
            static_cast<long>(fileSpecEntries), static_cast<long>(fileSpecTableSize));
    for (int64_t i = 0; i < fileSpecEntries; i++) {
        const velk_FileSpec_t &e = fileSpecTable[i];
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

long velk_DirsScanned()
{
    return dirsScanned;
}

long velk_OversizeCount()
{
    return toolargeCount;
}

void velk_FileListRelease()
{
    velk_SetMemberRecords(nullptr, 0);
    for (int64_t i = 0; i < fileSpecEntries; i++) {
        VELK_FREE(fileSpecTable[i].filename);
        VELK_FREE(fileSpecTable[i].annotation);
    }
    VELK_FREE(fileSpecTable);
    fileSpecTable = nullptr;
    fileSpecEntries = 0;
    fileSpecTableSize = 0;
    velk_FileList = nullptr;
    velk_FileListEntries = 0;
    dirsScanned = 0;
    toolargeCount = 0;
    walkDepth = 0;
    velk_ResetDirLevel();
}
