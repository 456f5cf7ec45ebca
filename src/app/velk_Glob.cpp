// Wildcard expansion: copies the literal head of a pattern into a working
// path, lists the directory that holds the first wildcard component and
// matches its entries; a "/" of the pattern reached at the end of a matching
// entry descends into it and expands the rest there, and a brace list
// expands each alternative in turn.  The working path is bounded; longer
// expansions are reported and skipped.  Each expansion keeps its table and
// working path in state of its own, so nothing outlives a call but the
// table it hands over.

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

namespace {

// The expansion of one operand: the table of matches it builds (handed to
// the caller by velk_GlobExpand) and the working state of the walk.
struct GlobRun {
    velk_globent_t *table = nullptr; // the matches
    long count = 0;                  // entries used
    long allocated = 0;              // entries allocated
    char wpath[VELK_GLOB_PATH_MAX + 1] = {};
    size_t wlen = 0;
    bool globbed = false;       // matching against directory entries happened
    const char *entp = nullptr; // the entry being matched (for the descent)
    int braceDepth = 0;         // brace lists being expanded
    long braceTries = 0;        // brace alternatives expanded for this operand
    int expandFailed = 0;       // stop: 1 memory ran out (fails), 2 brace budget spent
};

int statPath(const char *path, struct stat *st)
{
    return velk_Opt(VELK_OPT_FOLLOW_LINKS) ? stat(path, st) : lstat(path, st);
}

void reportTooLong(GlobRun *g, const char *tail)
{
    g->wpath[g->wlen] = '\0';
    velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Expanded pathname longer than %d characters - skipped: %.80s%.80s\n",
                static_cast<int>(VELK_GLOB_PATH_MAX), g->wpath, tail);
    velk_SetExitCode(VELK_EXIT_IOERR);
}

// Appends text to the working path; false (reported) when it would not fit.
bool append(GlobRun *g, const char *text, size_t n)
{
    if (n > VELK_GLOB_PATH_MAX - g->wlen) {
        reportTooLong(g, text);
        return false;
    }
    memcpy(g->wpath + g->wlen, text, n);
    g->wlen += n;
    g->wpath[g->wlen] = '\0';
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
int addname(GlobRun *g, const struct stat *st)
{
    struct stat own;
    if (st == nullptr) {
        if (statPath(g->wpath, &own) != 0) {
            if (errno == ENOENT)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: file or directory does not exist: %s\n",
                            velk_ProgramName(), g->wpath);
            else {
                const int err = errno;
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: error %d stat-ing \"%s\"\n", velk_ProgramName(),
                            err, g->wpath);
                velk_Explain(VELK_MSG_ERROR, err, g->wpath);
            }
            velk_SetExitCode(VELK_EXIT_IOERR);
            return 0;
        }
        st = &own;
    }
    uint32_t kind = kindOf(st->st_mode);
    if (g->globbed && kind == VTO_UNKNOWN)
        return 0;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("addname: adding [%s], <globbed>=%d \n", g->wpath, g->globbed ? 1 : 0);
    if (g->count >= g->allocated) {
        long grown = g->allocated + VELK_GLOB_GROWTH;
        void *p = VELK_REALLOC(g->table, static_cast<size_t>(grown) * sizeof(velk_globent_t));
        if (p == nullptr) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "%s: out of memory expanding glob table to %ld entries for pathname [%s]", "addname", grown,
                        g->wpath);
            velk_SetExitCode(VELK_EXIT_NOMEM);
            g->expandFailed = 1;
            return -1;
        }
        g->table = static_cast<velk_globent_t *>(p);
        g->allocated = grown;
    }
    char *name = VELK_STRDUP(g->wpath);
    if (name == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: out of memory adding pathname [%s] to velk_globv[%ld]",
                    "addname", g->wpath, g->count);
        velk_SetExitCode(VELK_EXIT_NOMEM);
        g->expandFailed = 1;
        return -1;
    }
    velk_globent_t &e = g->table[g->count++];
    memset(&e, 0, sizeof e);
    e.name = name;
    e.objectType = kind;
    e.st = *st;
    return 0;
}

int expand(GlobRun *g, const char *pattern);
int matchEntry(GlobRun *g, const char *name, const char *pattern);

int expandAlternative(void *arg, const char *combined)
{
    GlobRun *g = static_cast<GlobRun *>(arg);
    if (++g->braceTries > QUORCFGX_BRACE_TRIES_MAX) {
        // Lists in a row multiply: stop this operand rather than run on
        // for hours; what was expanded so far stays.
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: more than %ld brace alternatives - rest skipped:  %.80s",
                    "execbrc", QUORCFGX_BRACE_TRIES_MAX, combined);
        velk_SetExitCode(VELK_EXIT_USAGE);
        g->expandFailed = 2;
        return 1;
    }
    size_t saved = g->wlen;
    expand(g, combined);
    g->wlen = saved;
    g->wpath[g->wlen] = '\0';
    return g->expandFailed;
}

// Expands each alternative of the brace list at component[open].
void execbrc(GlobRun *g, const char *component, size_t open)
{
    if (g->braceDepth >= QUORCFGX_BRACE_DEPTH_MAX) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: braces nested too deeply:  %s", "execbrc", component);
        velk_SetExitCode(VELK_EXIT_USAGE);
        return;
    }
    int skipped = 0;
    g->braceDepth++;
    int r = quorcfgx_BraceAlternatives(component, open, VELK_GLOB_PATH_MAX, expandAlternative, g, &skipped);
    g->braceDepth--;
    if (r == QUORCFGX_E_BRACKET) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: Missing ] in pattern '%s'", "execbrc", component);
        velk_SetExitCode(VELK_EXIT_USAGE);
    } else if (r == QUORCFGX_E_BRACE || r == QUORCFGX_E_DEPTH) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: Error-missing }:  %s", "execbrc", component);
        velk_SetExitCode(VELK_EXIT_USAGE);
    } else if (r == QUORCFGX_E_NOMEM) {
        velk_SetExitCode(VELK_EXIT_NOMEM);
        g->expandFailed = 1;
    }
    if (skipped > 0)
        reportTooLong(g, component);
}

void matchdir(GlobRun *g, const char *pattern)
{
    DIR *dir = opendir(g->wlen > 0 ? g->wpath : ".");
    if (dir == nullptr) {
        if (!g->globbed) {
            const int err = errno;
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s:  opendir error %d opening directory %s", "matchdir",
                        err, g->wlen > 0 ? g->wpath : ".");
            velk_Explain(VELK_MSG_ERROR, err, g->wlen > 0 ? g->wpath : ".");
            velk_SetExitCode(VELK_EXIT_IOERR);
        }
        return;
    }
    size_t saved = g->wlen;
    while (g->expandFailed == 0) {
        struct dirent *de = readdir(dir);
        if (de == nullptr)
            break;
        if (de->d_ino == 0 || de->d_name[0] == '\0')
            continue;
        if (matchEntry(g, de->d_name, pattern) != 1)
            continue;
        if (!append(g, de->d_name, strlen(de->d_name)))
            continue;
        struct stat st;
        if (statPath(g->wpath, &st) == 0)
            addname(g, &st);
        g->wlen = saved;
        g->wpath[g->wlen] = '\0';
    }
    closedir(dir);
}

bool isWildcard(const char *p)
{
    if (velk_Opt(VELK_OPT_NOGLOB))
        return false;
    return *p == '*' || *p == '?' || *p == '{' || (*p == '[' && strchr(p + 1, ']') != nullptr);
}

int expand(GlobRun *g, const char *pattern)
{
    size_t entry = g->wlen;
    size_t dirEnd = g->wlen;         // working path up to the last "/" copied
    const char *component = pattern; // pattern text after that "/"
    const char *p = pattern;
    bool fits = true;
    while (*p != '\0' && !isWildcard(p)) {
        if (*p == '\\' && p[1] != '\0')
            ++p;
        if (!append(g, p, 1)) {
            fits = false;
            break;
        }
        if (*p++ == '/') {
            dirEnd = g->wlen;
            component = p;
        }
    }
    if (fits && *p == '\0') {
        struct stat st;
        if (!g->globbed)
            addname(g, nullptr);
        else if (stat(g->wpath, &st) == 0)
            addname(g, &st);
    } else if (fits) {
        g->wlen = dirEnd;
        g->wpath[g->wlen] = '\0';
        if (*p == '{')
            execbrc(g, component, static_cast<size_t>(p - component));
        else
            matchdir(g, component);
    }
    g->wlen = entry;
    g->wpath[g->wlen] = '\0';
    return g->expandFailed == 1 ? -1 : 0;
}

// The descent at a "/" of the pattern: into the remembered entry.
void descend(void *arg, const char *rest)
{
    GlobRun *g = static_cast<GlobRun *>(arg);
    size_t saved = g->wlen;
    struct stat st;
    if (append(g, g->entp, strlen(g->entp)) && append(g, "/", 1) && stat(g->wpath, &st) == 0 && S_ISDIR(st.st_mode)) {
        if (*rest != '\0') {
            const char *keep = g->entp;
            expand(g, rest);
            g->entp = keep;
        } else {
            addname(g, &st);
        }
    }
    g->wlen = saved;
    g->wpath[g->wlen] = '\0';
}

int byName(const void *a, const void *b)
{
    return strcmp(static_cast<const velk_globent_t *>(a)->name, static_cast<const velk_globent_t *>(b)->name);
}

// Matches one directory entry name against pattern (a component and what
// follows it); a "/" of the pattern reached at the end of name descends into
// the entry and expands the rest there.  Neither "." nor ".." is matched by
// a wildcard.  1 when name itself matches.
int matchEntry(GlobRun *g, const char *name, const char *pattern)
{
    g->globbed = true;
    // "." and ".." are never a wildcard's match: ".*" must not climb into
    // the parent directory or repeat the current one.
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return 0;
    const char *keep = g->entp;
    g->entp = name;
    int r = quorcfgx_MemberMatch(name, pattern, descend, g) == QUORCFGX_MATCH_YES ? 1 : 0;
    g->entp = keep;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("Match of '%s' and '%s' returned result=%d\n", name, pattern, r);
    return r;
}

// Expands pattern (a local path; a backslash is dropped and keeps the next
// character, so escapes do not stop expansion: -H noglob does) and appends
// the existing objects it names to g's table.  A literal path is added even
// when missing (reported, status 72, not added).  0 (also with no match), or
// -1 when memory ran out (status 78).
int globOperand(GlobRun *g, const char *pattern)
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
    long before = g->count;
    g->wlen = 0;
    g->wpath[0] = '\0';
    g->globbed = false;
    g->braceDepth = 0;
    g->braceTries = 0;
    g->expandFailed = 0;
    int r = expand(g, copy);
    VELK_FREE(copy);
    if (g->count == before && velk_Opt(VELK_OPT_VERBOSE))
        fprintf(stderr, "*** Warning: No matching names located for '%s'\n", pattern);
    if (velk_debug_level >= 2) {
        velk_ErrPrintf("/debug/ glob count after call: %ld\n", g->count);
        for (long i = 0; i < g->count; ++i)
            velk_ErrPrintf("      [%s]\n", g->table[i].name);
    }
    return r;
}

// Frees the names of a table of count entries, and the table.
void freeTable(velk_globent_t *table, long count)
{
    for (long i = 0; i < count; ++i)
        VELK_FREE(table[i].name);
    VELK_FREE(table);
}

} // namespace

int velk_GlobExpand(const char *path, velk_globent_t **matches)
{
    GlobRun g;
    if (globOperand(&g, path) != 0) {
        freeTable(g.table, g.count);
        return -1;
    }
    // A match of a pattern ending in "/" names its directory without it,
    // as an operand does.
    for (long i = 0; i < g.count; ++i) {
        char *name = g.table[i].name;
        size_t len = strlen(name);
        while (len > 1 && name[len - 1] == '/')
            name[--len] = '\0';
    }
    if (g.count >= 2)
        qsort(g.table, static_cast<size_t>(g.count), sizeof(velk_globent_t), byName);
    // The caller sees at most INT_MAX matches; the rest are not handed over.
    int shown = g.count > INT_MAX ? INT_MAX : static_cast<int>(g.count);
    for (long i = shown; i < g.count; ++i)
        VELK_FREE(g.table[i].name);
    *matches = g.table;
    return shown;
}

void velk_GlobRelease(velk_globent_t *matches, int count)
{
    freeTable(matches, count);
}

int velk_MatchComponent(const char *name, const char *pattern)
{
    return quorcfgx_MemberMatch(name, pattern, nullptr, nullptr) == QUORCFGX_MATCH_YES ? 1 : 0;
}
