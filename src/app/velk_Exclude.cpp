// Exclusion rules: a doubly linked list of shell and regular-expression
// rules (command-line rules at level 0 first, then the rules of the ignore
// files of the directories being walked, pushed as the walk enters each
// directory and dropped by mark when it leaves), the tag and ignore file
// name lists, and the checks the member table's walk makes for every name
// and every directory.  The rules live in a rule set the caller owns and
// passes in.  Initial thread only; no locks.

#include "velk_Exclude.h"

#include <regex.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "quorcfgx_match.h"
#include "velk_IndexFormat.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"

namespace {

const char *const VCS_ExcludeAllDirnames[] = {
    "CVS",       ".cvsignore", "RCS",         "SCCS",         ".git",    ".gitignore", ".svn",
    ".arch-ids", "\\{arch\\}", "=RELEASE-ID", "=meta-update", "=update", ".bzr",       ".bzrignore",
    ".bzrtags",  ".hg",        ".hgignore",   ".hgtags",      "_darcs",
};
const char *const Backup_ExcludePatterns[] = {".#*", "*~", "#*#"};

constexpr const char *kCacheTagName = "CACHEDIR.TAG";
constexpr const char *kCacheTagSignature = "Signature: 8a477f597d28d172789f06886806bc55";
constexpr size_t kCacheTagSignatureLen = 43;

// Syntax of a file of rules.
enum ruleSyntax_t { SYN_PLAIN, SYN_GIT, SYN_CVS, SYN_BZR, SYN_HG };

bool readsLocalFiles()
{
    return velk_function == VOP_CREATE || velk_function == VOP_APPEND || velk_function == VOP_UPDATE;
}

bool showExclusions(const velk_exclude_rules_t *rules)
{
    return velk_debug_level >= 2 || rules->showExcluded;
}

int statPath(const char *path, struct stat *st)
{
    return velk_Opt(VELK_OPT_FOLLOW_LINKS) ? stat(path, st) : lstat(path, st);
}

uint32_t kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return VTO_DIRECTORY;
    if (S_ISLNK(mode))
        return VTO_SYMLINK;
    return VTO_FILE;
}

// Adds dir/name (or dir itself when name is null) with its own status to
// the walk's member table.  0, or -1 when adding failed.
int addKept(velk_excludeKeep_t keep, velk_walk_t *walk, const char *dir, const char *name)
{
    std::string path = name != nullptr ? std::string(dir) + "/" + name : std::string(dir);
    struct stat st;
    if (statPath(path.c_str(), &st) != 0)
        return 0;
    return keep != nullptr ? keep(walk, kindOf(st.st_mode), path.c_str(), &st) : 0;
}

bool matches(const velk_exclude_t *rule, const char *name)
{
    if (rule->globType == VELK_EXC_REGEX) {
        regex_t re;
        if (regcomp(&re, rule->pattern, REG_EXTENDED | REG_NOSUB) != 0)
            return false;
        bool hit = regexec(&re, name, 0, nullptr, 0) == 0;
        regfree(&re);
        return hit;
    }
    int errors = 0;
    return quorcfgx_PatternMatch(name, rule->pattern, &errors) == 1;
}

// "syntax:" lines of an hg ignore file: 1 shell, 2 regex, 0 not a switch.
uint32_t hgSyntax(const char *line)
{
    if (strncmp(line, "syntax:", 7) != 0)
        return 0;
    const char *w = line + 7;
    while (*w == ' ' || *w == '\t')
        ++w;
    size_t n = strlen(w);
    while (n > 0 && isspace(static_cast<unsigned char>(w[n - 1])))
        --n;
    if (n == 4 && strncmp(w, "glob", 4) == 0)
        return VELK_EXC_SHELL;
    if (n == 6 && strncmp(w, "regexp", 6) == 0)
        return VELK_EXC_REGEX;
    return 0;
}

// Reads one file of rules in the given syntax.  openLevel is the message
// level for a file that cannot be opened.
int readRules(velk_exclude_rules_t *rules, const char *func, const char *path, uint32_t recursive, uint32_t globType,
              uint32_t level, ruleSyntax_t syntax, int openLevel)
{
    FILE *fp = fopen(path, "r");
    if (fp == nullptr) {
        velk_LogFmt(openLevel, VELK_LOGCLASS_MSG, "%s: unable to open pattern file '%s' - %s\n", func, path,
                    strerror(errno));
        return -1;
    }
    char *buf = static_cast<char *>(VELK_MALLOC(VELK_EXC_LINE_MAX + 1));
    if (buf == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: unable to allocate memory to read pattern names from file %s\n", func, path);
        velk_SetExitCode(VELK_EXIT_NOMEM);
        fclose(fp);
        return -1;
    }
    int result = 0;
    int lineNo = 0;
    uint32_t kind = globType;
    // fgets writes the terminating NUL at buf[VELK_EXC_LINE_MAX] only when it
    // filled the buffer: that, not strlen, tells a long line (a line may
    // hold NUL bytes).  The mark is set again before each read, never while
    // the line read is still in use: a full line's only NUL is that byte.
    for (buf[VELK_EXC_LINE_MAX] = 1; fgets(buf, static_cast<int>(VELK_EXC_LINE_MAX + 1), fp) != nullptr;
         buf[VELK_EXC_LINE_MAX] = 1) {
        ++lineNo;
        const bool filled = buf[VELK_EXC_LINE_MAX] == '\0';
        if (filled && buf[VELK_EXC_LINE_MAX - 1] != '\n') {
            // A line longer than the buffer is skipped whole, never split
            // into two patterns.
            int c = fgetc(fp);
            if (c != EOF && c != '\n') {
                while ((c = fgetc(fp)) != EOF && c != '\n') {
                }
                velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                            "%s: file '%s' line %d is longer than %d characters - skipped\n", func, path, lineNo,
                            static_cast<int>(VELK_EXC_LINE_MAX));
                continue;
            }
        }
        size_t n = strlen(buf);
        if (n > 0 && buf[n - 1] == '\n')
            buf[--n] = '\0';
        char *line = buf;
        if (syntax != SYN_PLAIN)
            while (*line == ' ' || *line == '\t')
                ++line;
        if (*line == '\0')
            continue;
        if ((syntax == SYN_GIT || syntax == SYN_BZR || syntax == SYN_HG) && *line == '#')
            continue;
        if (syntax == SYN_PLAIN && velk_debug_level >= 1 &&
            (isspace(static_cast<unsigned char>(line[0])) || isspace(static_cast<unsigned char>(line[n - 1]))))
            velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                        "%s: file '%s' line %d: filename pattern contains leading or trailing whitespace\n", func, path,
                        lineNo);
        uint32_t lineKind = kind;
        if (syntax == SYN_BZR && strncmp(line, "RE:", 3) == 0) {
            line += 3;
            if (*line == '\0')
                continue;
            lineKind = VELK_EXC_REGEX;
        }
        if (syntax == SYN_HG) {
            uint32_t sw = hgSyntax(line);
            if (sw != 0) {
                kind = sw;
                continue;
            }
        }
        if (velk_ExcludeAddPattern(rules, line, recursive, lineKind, level) != 0) {
            velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                        "%s: Failed to add file pattern from file '%s', line %d (%s) to exclude list\n", func, path,
                        lineNo, line);
            velk_SetExitCode(VELK_EXIT_NOMEM);
            result = -1;
            break;
        }
    }
    VELK_FREE(buf);
    fclose(fp);
    return result;
}

bool existsIn(const char *dir, const char *name, bool regularOnly)
{
    std::string path = std::string(dir) + "/" + name;
    struct stat st;
    if (regularOnly)
        return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    return stat(path.c_str(), &st) == 0;
}

// Reads each name of list found in dir as rules at level.
void readIgnoreFiles(velk_exclude_rules_t *rules, const velk_exclude_Flist_t &list, const char *dir, uint32_t level,
                     uint32_t recursive)
{
    for (int i = 0; i < list.count; ++i)
        if (existsIn(dir, list.excludeFiles[i], false))
            (void)readRules(rules, "velk_ExcludeNewDirectory", (std::string(dir) + "/" + list.excludeFiles[i]).c_str(),
                            recursive, VELK_EXC_SHELL, level, SYN_PLAIN, VELK_MSG_WARNING);
}

void freeList(velk_exclude_Flist_t *list)
{
    for (int i = 0; i < list->count; ++i)
        VELK_FREE(list->excludeFiles[i]);
    VELK_FREE(list->excludeFiles);
    *list = velk_exclude_Flist_t{};
}

} // namespace

void velk_ExcludeListLink(velk_exclude_rules_t *rules, velk_exclude_t *rule)
{
    rule->next = nullptr;
    rule->prev = rules->tail;
    if (rules->tail != nullptr)
        rules->tail->next = rule;
    else
        rules->head = rule;
    rules->tail = rule;
    ++rules->count;
}

int velk_ExcludeListUnlink(velk_exclude_rules_t *rules, velk_exclude_t *rule)
{
    // A rule is on the list exactly when its neighbours (or the ends of the
    // list) point back at it: a constant-time check, so that dropping a
    // directory's rules costs no walk from the head.
    velk_exclude_t *r = rule;
    bool linked = r != nullptr && (r->prev != nullptr ? r->prev->next == r : rules->head == r) &&
                  (r->next != nullptr ? r->next->prev == r : rules->tail == r);
    if (!linked) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "*** %s Fatal internal error trying to unlink exclude entry for pattern '%s'\n", __func__,
                    rule != nullptr && rule->pattern != nullptr ? rule->pattern : "");
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }
    if (r->prev != nullptr)
        r->prev->next = r->next;
    else
        rules->head = r->next;
    if (r->next != nullptr)
        r->next->prev = r->prev;
    else
        rules->tail = r->prev;
    r->next = r->prev = nullptr;
    --rules->count;
    return 0;
}

int velk_ExcludeAddPattern(velk_exclude_rules_t *rules, const char *pattern, uint32_t recursive, uint32_t globType,
                           uint32_t level)
{
    auto *rule = static_cast<velk_exclude_t *>(VELK_CALLOC(1, sizeof(velk_exclude_t)));
    if (rule == nullptr)
        return -1;
    rule->pattern = VELK_STRDUP(pattern);
    if (rule->pattern == nullptr) {
        VELK_FREE(rule);
        return -1;
    }
    rule->recurseLevel = level;
    rule->recursive = recursive;
    rule->globType = globType == VELK_EXC_REGEX ? VELK_EXC_REGEX : VELK_EXC_SHELL;
    velk_ExcludeListLink(rules, rule);
    return 0;
}

int velk_ExcludesAddFromFile(velk_exclude_rules_t *rules, const char *path, uint32_t recursive, uint32_t globType,
                             uint32_t level)
{
    return readRules(rules, __func__, path, recursive, globType, level, SYN_PLAIN,
                     level == 0 ? VELK_MSG_ERROR : VELK_MSG_WARNING);
}

int velk_ExcludeAddFilename(const char *name, uint32_t recursive, uint32_t globType, uint32_t level,
                            velk_exclude_Flist_t *list)
{
    char *copy = VELK_STRDUP(name);
    if (copy == nullptr)
        return -1;
    void *grown = VELK_REALLOC(list->excludeFiles, static_cast<size_t>(list->count + 1) * sizeof(char *));
    if (grown == nullptr) {
        VELK_FREE(copy);
        return -1;
    }
    list->excludeFiles = static_cast<char **>(grown);
    if (list->count == 0) {
        list->recurseLevel = level;
        list->recursive = recursive;
        list->globType = globType;
    }
    list->excludeFiles[list->count++] = copy;
    return 0;
}

int velk_ExcludeAddVcs(velk_exclude_rules_t *rules)
{
    rules->vcs = 1;
    for (const char *name : VCS_ExcludeAllDirnames)
        if (velk_ExcludeAddPattern(rules, name, 1, VELK_EXC_SHELL, 0) != 0)
            return -1;
    return 0;
}

int velk_ExcludeAddBackups(velk_exclude_rules_t *rules)
{
    rules->backups = 1;
    for (const char *pattern : Backup_ExcludePatterns)
        if (velk_ExcludeAddPattern(rules, pattern, 1, VELK_EXC_SHELL, 0) != 0)
            return -1;
    return 0;
}

int velk_ExcludeCheckName(velk_exclude_rules_t *rules, const char *name, int level, char *reason, size_t reasonSize)
{
    if (reasonSize > 0)
        reason[0] = '\0';
    if (!readsLocalFiles())
        return 0;
    for (const velk_exclude_t *r = rules->head; r != nullptr; r = r->next) {
        if (static_cast<int64_t>(r->recurseLevel) < level && r->recursive == 0) {
            if (velk_debug_level >= 2)
                velk_ErrPrintf("/debug/%s: skipping pattern %s curlevel: %d pat level: %d patrecurse: %d\n", __func__,
                               r->pattern, level, static_cast<int>(r->recurseLevel), static_cast<int>(r->recursive));
            continue;
        }
        if (matches(r, name)) {
            snprintf(reason, reasonSize, "Exclude pattern '%s' found for %s - file not dumped", r->pattern, name);
            return 1;
        }
    }
    if (velk_debug_level >= 2) {
        snprintf(reason, reasonSize, "(Dir level %d) No exclude pattern match for filename: %s\n", level, name);
        velk_ErrPrintf("/debug/%s: %s", __func__, reason);
    }
    return 0;
}

namespace {

// A command-line pattern that names a path ("tree/src") rather than a name.
bool namesPath(const velk_exclude_t *rule)
{
    return rule->recurseLevel == 0 && rule->globType != VELK_EXC_REGEX && strchr(rule->pattern, '/') != nullptr;
}

// Matches rule against path as tar matches exclusion patterns against a
// member name: against the whole name or any tail of it that starts after
// a "/", and against such a part cut at a "/" (what lies below a matching
// directory matches too).
bool matchesPathPart(const velk_exclude_t *rule, const char *path)
{
    std::string part;
    for (const char *start = path; *start != '\0';) {
        for (const char *end = start; end != nullptr;) {
            const char *slash = strchr(end + (end == start ? 0 : 1), '/');
            part.assign(start, slash != nullptr ? static_cast<size_t>(slash - start) : strlen(start));
            if (!part.empty() && matches(rule, part.c_str()))
                return true;
            end = slash;
        }
        const char *next = strchr(start, '/');
        if (next == nullptr)
            break;
        start = next + 1;
    }
    return false;
}

} // namespace

int velk_ExcludeCheckPath(velk_exclude_rules_t *rules, const char *path, char *reason, size_t reasonSize)
{
    if (reasonSize > 0)
        reason[0] = '\0';
    if (!readsLocalFiles())
        return 0;
    for (const velk_exclude_t *r = rules->head; r != nullptr; r = r->next) {
        if (namesPath(r) && matchesPathPart(r, path)) {
            snprintf(reason, reasonSize, "Exclude pattern '%s' found for %s - file not dumped", r->pattern, path);
            return 1;
        }
    }
    return 0;
}

int checkCacheHeader(const char *path)
{
    FILE *fp = fopen(path, "r");
    if (fp == nullptr)
        return -1;
    char head[kCacheTagSignatureLen];
    size_t n = fread(head, 1, sizeof head, fp);
    fclose(fp);
    return n == sizeof head && memcmp(head, kCacheTagSignature, sizeof head) == 0 ? 0 : -1;
}

int velk_ExcludeNewDirectory(velk_exclude_rules_t *rules, int level, const char *path, velk_excludeKeep_t keep,
                             velk_walk_t *walk)
{
    if (!readsLocalFiles())
        return 0;
    auto lvl = static_cast<uint32_t>(level);
    if (rules->caches || rules->cachesUnder || rules->cachesAll) {
        std::string tag = std::string(path) + "/" + kCacheTagName;
        struct stat st;
        if (lstat(tag.c_str(), &st) == 0 && S_ISREG(st.st_mode) && checkCacheHeader(tag.c_str()) == 0) {
            if (showExclusions(rules))
                fprintf(stderr, "%s: [%s] contains a cache directory tag CACHEDIR.TAG; contents not dumped\n", "INFO",
                        path);
            if (!rules->cachesAll && addKept(keep, walk, path, nullptr) == 0 && !rules->cachesUnder)
                (void)addKept(keep, walk, path, kCacheTagName);
            return 1;
        }
    }
    for (int i = 0; i < rules->tagAllFile.count; ++i) {
        if (existsIn(path, rules->tagAllFile.excludeFiles[i], false)) {
            if (showExclusions(rules))
                fprintf(stderr, "%s: found --exclude-tag-all=%s in [%s] directory not dumped\n", "INFO",
                        rules->tagAllFile.excludeFiles[i], path);
            return 1;
        }
    }
    for (int i = 0; i < rules->tagUnderFile.count; ++i) {
        if (existsIn(path, rules->tagUnderFile.excludeFiles[i], false)) {
            if (showExclusions(rules))
                fprintf(stderr, "%s: found --exclude-tag-under=%s in [%s] including dir only\n", "INFO",
                        rules->tagUnderFile.excludeFiles[i], path);
            (void)addKept(keep, walk, path, nullptr);
            return 1;
        }
    }
    for (int i = 0; i < rules->tagFile.count; ++i) {
        if (existsIn(path, rules->tagFile.excludeFiles[i], false)) {
            if (showExclusions(rules))
                fprintf(stderr, "%s: found --exclude-tag=%s in [%s] including dir+tagfile\n", "INFO",
                        rules->tagFile.excludeFiles[i], path);
            if (addKept(keep, walk, path, nullptr) == 0)
                (void)addKept(keep, walk, path, rules->tagFile.excludeFiles[i]);
            return 1;
        }
    }
    readIgnoreFiles(rules, rules->ignoreFiles, path, lvl, 0);
    readIgnoreFiles(rules, rules->ignoreRecurseFiles, path, lvl, 1);
    if (rules->vcsIgnores && !rules->vcs) {
        const struct {
            const char *name;
            int (*reader)(velk_exclude_rules_t *, const char *, uint32_t);
        } readers[] = {
            {".gitignore", readGitIgnore},
            {".cvsignore", readCvsIgnore},
            {".bzrignore", readBzrIgnore},
            {".hgignore", readHgIgnore},
        };
        for (const auto &r : readers)
            if (existsIn(path, r.name, true))
                (void)r.reader(rules, (std::string(path) + "/" + r.name).c_str(), lvl);
    }
    return 0;
}

int readGitIgnore(velk_exclude_rules_t *rules, const char *path, uint32_t level)
{
    return readRules(rules, __func__, path, 1, VELK_EXC_SHELL, level, SYN_GIT, VELK_MSG_WARNING);
}

int readCvsIgnore(velk_exclude_rules_t *rules, const char *path, uint32_t level)
{
    return readRules(rules, __func__, path, 0, VELK_EXC_SHELL, level, SYN_CVS, VELK_MSG_WARNING);
}

int readBzrIgnore(velk_exclude_rules_t *rules, const char *path, uint32_t level)
{
    return readRules(rules, __func__, path, 1, VELK_EXC_SHELL, level, SYN_BZR, VELK_MSG_WARNING);
}

int readHgIgnore(velk_exclude_rules_t *rules, const char *path, uint32_t level)
{
    return readRules(rules, __func__, path, 1, VELK_EXC_REGEX, level, SYN_HG, VELK_MSG_WARNING);
}

int velk_ExcludeMark(const velk_exclude_rules_t *rules)
{
    return rules->count;
}

void velk_ExcludeUnlinkSince(velk_exclude_rules_t *rules, int mark)
{
    while (rules->count > mark && rules->tail != nullptr) {
        velk_exclude_t *r = rules->tail;
        if (velk_ExcludeListUnlink(rules, r) != 0)
            return;
        VELK_FREE(r->pattern);
        VELK_FREE(r);
    }
}

void _DisplayLL(const velk_exclude_rules_t *rules, int skip, int count)
{
    if (count < 1)
        count = 10000;
    fprintf(stderr, "Linked list head: %p Linked list tail: %p\n", static_cast<void *>(rules->head),
            static_cast<void *>(rules->tail));
    int index = 0;
    for (const velk_exclude_t *r = rules->head; r != nullptr && count > 0; r = r->next, ++index) {
        if (index < skip)
            continue;
        --count;
        fprintf(stderr, "%p: next: %p prev: %p\n", static_cast<const void *>(r), static_cast<void *>(r->next),
                static_cast<void *>(r->prev));
        fprintf(stderr, "    recurseLevel: %d\n", static_cast<int>(r->recurseLevel));
        fprintf(stderr, "    recursive: %d\n", static_cast<int>(r->recursive));
        fprintf(stderr, "    globType: %s\n",
                r->globType == VELK_EXC_SHELL || r->globType == 0 ? "shell"
                : r->globType == VELK_EXC_REGEX                   ? "regex"
                                                                  : "????");
        fprintf(stderr, "    pattern: [%s]\n", r->pattern);
    }
    fprintf(stderr, "---- End of List ----\n");
}

void velk_ExcludeReset(velk_exclude_rules_t *rules)
{
    velk_ExcludeUnlinkSince(rules, 0);
    for (velk_exclude_Flist_t *l :
         {&rules->tagFile, &rules->tagUnderFile, &rules->tagAllFile, &rules->ignoreFiles, &rules->ignoreRecurseFiles})
        freeList(l);
    *rules = velk_exclude_rules_t{};
}
