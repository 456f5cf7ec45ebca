// Wildcard expansion: copies the literal head of a pattern into a working
// path, lists the directory that holds the first wildcard component and
// matches its entries; a "/" of the pattern reached at the end of a matching
// entry descends into it and expands the rest there, and a brace list
// expands each alternative in turn.  The working path is bounded; longer
// expansions are reported and skipped.  Initial thread only, no locks.

#include "velk_Glob.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quorcfgx_match.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"

velk_globent_t *velk_globv = nullptr;
long velk_glob_inx = 0;

namespace {

long velk_cur_glob_count = 0; // entries allocated

// Expansion state of the current operand.
char wpath[VELK_GLOB_PATH_MAX + 1];
size_t wlen = 0;
bool globbed = false;       // matching against directory entries happened
const char *entp = nullptr; // the entry being matched (for the descent)
int braceDepth = 0;         // brace lists being expanded
long braceTries = 0;        // brace alternatives expanded for this operand
int expandFailed = 0;       // stop: 1 memory ran out (fails), 2 brace budget spent

int statPath(const char *path, struct stat *st)
{
    return velk_Opt(VELK_OPT_FOLLOW_LINKS) ? stat(path, st) : lstat(path, st);
}

void reportTooLong(const char *tail)
{
    wpath[wlen] = '\0';
    velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Expanded pathname longer than %d characters - skipped: %.80s%.80s\n",
                static_cast<int>(VELK_GLOB_PATH_MAX), wpath, tail);
    velk_SetExitCode(VELK_EXIT_IOERR);
}

// Appends text to the working path; false (reported) when it would not fit.
bool append(const char *text, size_t n)
{
    if (n > VELK_GLOB_PATH_MAX - wlen) {
        reportTooLong(text);
        return false;
    }
    memcpy(wpath + wlen, text, n);
    wlen += n;
    wpath[wlen] = '\0';
    return true;
}

uint32_t kindOf(mode_t mode)
{
    if (S_ISLNK(mode))
        return VTO_SYMLINK;
    if (S_ISDIR(mode))
        return VTO_DIRECTORY;
    if (S_ISREG(mode))
        return VTO_FILE;
    return VTO_UNKNOWN;
}

// Adds the working path with its status (read here when st is null).
// 0, or -1 when memory ran out.
int addname(const struct stat *st)
{
    struct stat own;
    if (st == nullptr) {
        if (statPath(wpath, &own) != 0) {
            if (errno == ENOENT)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: file or directory does not exist: %s\n",
                            velk_program_name, wpath);
            else
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: error %d stat-ing \"%s\"\n", velk_program_name,
                            errno, wpath);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return 0;
        }
        st = &own;
    }
    uint32_t kind = kindOf(st->st_mode);
    if (globbed && kind == VTO_UNKNOWN)
        return 0;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("addname: adding [%s], <globbed>=%d \n", wpath, globbed ? 1 : 0);
    if (velk_glob_inx >= velk_cur_glob_count) {
        long grown = velk_cur_glob_count + VELK_GLOB_GROWTH;
        void *p = VELK_REALLOC(velk_globv, static_cast<size_t>(grown) * sizeof(velk_globent_t));
        if (p == nullptr) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "%s: out of memory expanding glob table to %ld entries for pathname [%s]", "addname", grown,
                        wpath);
            velk_SetExitCode(VELK_EXIT_NOMEM);
            expandFailed = 1;
            return -1;
        }
        velk_globv = static_cast<velk_globent_t *>(p);
        velk_cur_glob_count = grown;
    }
    char *name = VELK_STRDUP(wpath);
    if (name == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: out of memory adding pathname [%s] to velk_globv[%ld]",
                    "addname", wpath, velk_glob_inx);
        velk_SetExitCode(VELK_EXIT_NOMEM);
        expandFailed = 1;
        return -1;
    }
    velk_globent_t &e = velk_globv[velk_glob_inx++];
    memset(&e, 0, sizeof e);
    e.name = name;
    e.objectType = kind;
    e.st = *st;
    return 0;
}

int expand(const char *pattern);

int expandAlternative(void *, const char *combined)
{
    if (++braceTries > QUORCFGX_BRACE_TRIES_MAX) {
        // Lists in a row multiply: stop this operand rather than run on
        // for hours; what was expanded so far stays.
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: more than %ld brace alternatives - rest skipped:  %.80s",
                    "execbrc", QUORCFGX_BRACE_TRIES_MAX, combined);
        velk_SetExitCode(VELK_EXIT_USAGE);
        expandFailed = 2;
        return 1;
    }
    size_t saved = wlen;
    expand(combined);
    wlen = saved;
    wpath[wlen] = '\0';
    return expandFailed;
}

// Expands each alternative of the brace list at component[open].
void execbrc(const char *component, size_t open)
{
    if (braceDepth >= QUORCFGX_BRACE_DEPTH_MAX) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: braces nested too deeply:  %s", "execbrc", component);
        velk_SetExitCode(VELK_EXIT_USAGE);
        return;
    }
    int skipped = 0;
    braceDepth++;
    int r = quorcfgx_BraceAlternatives(component, open, VELK_GLOB_PATH_MAX, expandAlternative, nullptr, &skipped);
    braceDepth--;
    if (r == QUORCFGX_E_BRACKET) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: Missing ] in pattern '%s'", "execbrc", component);
        velk_SetExitCode(VELK_EXIT_USAGE);
    } else if (r == QUORCFGX_E_BRACE || r == QUORCFGX_E_DEPTH) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: Error-missing }:  %s", "execbrc", component);
        velk_SetExitCode(VELK_EXIT_USAGE);
    } else if (r == QUORCFGX_E_NOMEM) {
        velk_SetExitCode(VELK_EXIT_NOMEM);
        expandFailed = 1;
    }
    if (skipped > 0)
        reportTooLong(component);
}

void matchdir(const char *pattern)
{
    DIR *dir = opendir(wlen > 0 ? wpath : ".");
    if (dir == nullptr) {
        if (!globbed) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s:  opendir error %d opening directory %s", "matchdir",
                        errno, wlen > 0 ? wpath : ".");
            velk_SetExitCode(VELK_EXIT_IOERR);
        }
        return;
    }
    size_t saved = wlen;
    while (expandFailed == 0) {
        struct dirent *de = readdir(dir);
        if (de == nullptr)
            break;
        if (de->d_ino == 0 || de->d_name[0] == '\0')
            continue;
        if (velk_Match(de->d_name, pattern) != 1)
            continue;
        if (!append(de->d_name, strlen(de->d_name)))
            continue;
        struct stat st;
        if (statPath(wpath, &st) == 0)
            addname(&st);
        wlen = saved;
        wpath[wlen] = '\0';
    }
    closedir(dir);
}

bool isWildcard(const char *p)
{
    if (velk_Opt(VELK_OPT_NOGLOB))
        return false;
    return *p == '*' || *p == '?' || *p == '{' || (*p == '[' && strchr(p + 1, ']') != nullptr);
}

int expand(const char *pattern)
{
    size_t entry = wlen;
    size_t dirEnd = wlen;            // working path up to the last "/" copied
    const char *component = pattern; // pattern text after that "/"
    const char *p = pattern;
    bool fits = true;
    while (*p != '\0' && !isWildcard(p)) {
        if (*p == '\\' && p[1] != '\0')
            ++p;
        if (!append(p, 1)) {
            fits = false;
            break;
        }
        if (*p++ == '/') {
            dirEnd = wlen;
            component = p;
        }
    }
    if (fits && *p == '\0') {
        struct stat st;
        if (!globbed)
            addname(nullptr);
        else if (stat(wpath, &st) == 0)
            addname(&st);
    } else if (fits) {
        wlen = dirEnd;
        wpath[wlen] = '\0';
        if (*p == '{')
            execbrc(component, static_cast<size_t>(p - component));
        else
            matchdir(component);
    }
    wlen = entry;
    wpath[wlen] = '\0';
    return expandFailed == 1 ? -1 : 0;
}

// The descent at a "/" of the pattern: into the remembered entry.
void descend(void *, const char *rest)
{
    size_t saved = wlen;
    struct stat st;
    if (append(entp, strlen(entp)) && append("/", 1) && stat(wpath, &st) == 0 && S_ISDIR(st.st_mode)) {
        if (*rest != '\0') {
            const char *keep = entp;
            expand(rest);
            entp = keep;
        } else {
            addname(&st);
        }
    }
    wlen = saved;
    wpath[wlen] = '\0';
}

int byName(const void *a, const void *b)
{
    return strcmp(static_cast<const velk_globent_t *>(a)->name, static_cast<const velk_globent_t *>(b)->name);
}

} // namespace

void velk_GlobInit()
{
    velk_glob_inx = 0;
    globbed = false;
}

int velk_Glob(const char *pattern)
{
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/ Globbing '%s', type = %s file\n", pattern, "local");
    // The working copy loses its backslashes; each keeps the next character.
    size_t len = strlen(pattern);
    char *copy = static_cast<char *>(VELK_MALLOC(len + 1));
    if (copy == nullptr)
        return -1;
    size_t n = 0;
    for (const char *p = pattern; *p != '\0'; ++p) {
        if (*p == '\\' && p[1] != '\0')
            ++p;
        copy[n++] = *p;
    }
    copy[n] = '\0';
    long before = velk_glob_inx;
    wlen = 0;
    wpath[0] = '\0';
    globbed = false;
    braceDepth = 0;
    braceTries = 0;
    expandFailed = 0;
    int r = expand(copy);
    VELK_FREE(copy);
    if (velk_glob_inx == before && velk_Opt(VELK_OPT_VERBOSE))
        fprintf(stderr, "*** Warning: No matching names located for '%s'\n", pattern);
    if (velk_debug_level >= 2) {
        velk_ErrPrintf("/debug/ glob count after call: %ld\n", velk_glob_inx);
        for (long i = 0; i < velk_glob_inx; ++i)
            velk_ErrPrintf("      [%s]\n", velk_globv[i].name);
    }
    return r;
}

long velk_GlobSort()
{
    if (velk_glob_inx >= 2)
        qsort(velk_globv, static_cast<size_t>(velk_glob_inx), sizeof(velk_globent_t), byName);
    return velk_glob_inx;
}

int velk_Match(const char *name, const char *pattern)
{
    globbed = true;
    // "." and ".." are never a wildcard's match: ".*" must not climb into
    // the parent directory or repeat the current one.
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return 0;
    const char *keep = entp;
    entp = name;
    int r = quorcfgx_MemberMatch(name, pattern, descend, nullptr) == QUORCFGX_MATCH_YES ? 1 : 0;
    entp = keep;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("Match of '%s' and '%s' returned result=%d\n", name, pattern, r);
    return r;
}

void velk_GlobFreeStrings()
{
    for (long i = 0; i < velk_glob_inx; ++i) {
        VELK_FREE(velk_globv[i].name);
        velk_globv[i].name = nullptr;
    }
    velk_glob_inx = 0;
}

void velk_GlobCleanup()
{
    velk_GlobFreeStrings();
    VELK_FREE(velk_globv);
    velk_globv = nullptr;
    velk_cur_glob_count = 0;
}

int velk_GlobExpand(const char *path, velk_globent_t **matches)
{
    velk_GlobFreeStrings();
    velk_GlobInit();
    if (velk_Glob(path) != 0)
        return -1;
    // A match of a pattern ending in "/" names its directory without it,
    // as an operand does.
    for (long i = 0; i < velk_glob_inx; ++i) {
        char *name = velk_globv[i].name;
        size_t len = strlen(name);
        while (len > 1 && name[len - 1] == '/')
            name[--len] = '\0';
    }
    long count = velk_GlobSort();
    if (count > INT_MAX)
        count = INT_MAX;
    *matches = velk_globv;
    return static_cast<int>(count);
}

void velk_GlobRelease(velk_globent_t *, int)
{
    velk_GlobFreeStrings();
}

int velk_MatchComponent(const char *name, const char *pattern)
{
    return quorcfgx_MemberMatch(name, pattern, nullptr, nullptr) == QUORCFGX_MATCH_YES ? 1 : 0;
}
