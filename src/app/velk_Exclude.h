#ifndef VELK_EXCLUDE_H
#define VELK_EXCLUDE_H

// Exclusion rules for the actions that read local files: patterns from the
// command line and pattern files, rules read from ignore files as the walk
// enters each directory (dropped again when it leaves), tag files that keep
// a directory's contents out, cache directory tags, and the built-in
// version-control and backup names, held in a rule set the caller owns and
// passes to every call.  Set up while the command line is parsed and used
// by the member table's walk; initial thread only.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

// Kinds of rule.
constexpr uint32_t VELK_EXC_SHELL = 1; // shell pattern (0 counts as shell)
constexpr uint32_t VELK_EXC_REGEX = 2; // extended regular expression, found anywhere in the name

// Lines of a pattern file: at most this many characters.
constexpr size_t VELK_EXC_LINE_MAX = 4096;

// One rule of the list, in insertion order.
struct velk_exclude_t {
    velk_exclude_t *next;
    velk_exclude_t *prev;
    uint32_t recurseLevel; // 0: command line; else the level of the entries of the directory that gave it
    uint32_t recursive;    // 1: also at every deeper level
    uint32_t globType;     // VELK_EXC_SHELL or VELK_EXC_REGEX
    char *pattern;         // owned by the rule
};

// A list of tag or ignore file names (the first three fields come from the
// first name added).
struct velk_exclude_Flist_t {
    uint32_t recurseLevel;
    int count;
    uint32_t recursive;
    uint32_t globType;
    char **excludeFiles; // count names, owned by the list
};

// The exclusion rules of a run: the rule list, the tag and ignore file
// names and the switches of the exclusion options.  Zeroed it is the empty
// set; velk_ExcludeReset frees what it holds.  The run owns it (velk_Run),
// the command line fills it and the member table's walk reads it and pushes
// and drops the rules of the ignore files it meets.
struct velk_exclude_rules_t {
    velk_exclude_t *head;
    velk_exclude_t *tail;
    int count;                               // rules on the list
    velk_exclude_Flist_t tagFile;            // --exclude-tag
    velk_exclude_Flist_t tagUnderFile;       // --exclude-tag-under
    velk_exclude_Flist_t tagAllFile;         // --exclude-tag-all
    velk_exclude_Flist_t ignoreFiles;        // --exclude-ignore
    velk_exclude_Flist_t ignoreRecurseFiles; // --exclude-ignore-recursive
    // Switches, 0 or 1, set while options are parsed.
    int vcsIgnores;  // --exclude-vcs-ignores
    int vcs;         // --exclude-vcs
    int backups;     // --exclude-backups
    int caches;      // --exclude-caches
    int cachesUnder; // --exclude-caches-under
    int cachesAll;   // --exclude-caches-all
    // The configuration's display_excluded_objects: what is left out is
    // reported on standard error.
    int showExcluded;
};

// The member table's walk (velk_FileList.h) that an exclusion check adds to.
struct velk_walk_t;

// Adds an object of an unwalked directory that stays in the archive (the
// directory itself, its tag file) to the member table the walk builds: 0,
// or -1.
using velk_excludeKeep_t = int (*)(velk_walk_t *walk, uint32_t type, const char *path, const struct stat *st);

// Appends a rule with a copy of pattern.  0, or -1 (status 78).
int velk_ExcludeAddPattern(velk_exclude_rules_t *rules, const char *pattern, uint32_t recursive, uint32_t globType,
                           uint32_t level);

// One rule per non-empty line of the file at path.  A file that cannot be
// opened is reported (an error for a command-line file, level 0, else a
// warning) and gives -1 without a status; -1 with status 78 when memory
// ran out; else 0.
int velk_ExcludesAddFromFile(velk_exclude_rules_t *rules, const char *path, uint32_t recursive, uint32_t globType,
                             uint32_t level);

// Appends a tag or ignore file name to list.  0, or -1 (status 78).
int velk_ExcludeAddFilename(const char *name, uint32_t recursive, uint32_t globType, uint32_t level,
                            velk_exclude_Flist_t *list);

// Adds the 19 version-control names, or the 3 backup patterns, as
// recursive shell rules at level 0.  0 or -1.
int velk_ExcludeAddVcs(velk_exclude_rules_t *rules);
int velk_ExcludeAddBackups(velk_exclude_rules_t *rules);

// List maintenance.  Unlinking a rule that is not on the list is an
// internal error: reported, status 70, -1 (the rule is left alone).
void velk_ExcludeListLink(velk_exclude_rules_t *rules, velk_exclude_t *rule);
int velk_ExcludeListUnlink(velk_exclude_rules_t *rules, velk_exclude_t *rule);

// 1 when name (an entry's own name during a walk, the whole path of an
// expanded operand) is excluded at level, with the reason in reason; else
// 0.  Never excludes for actions that do not read local files.
int velk_ExcludeCheckName(velk_exclude_rules_t *rules, const char *name, int level, char *reason, size_t reasonSize);

// 1 when path (a member's whole path) is excluded by a command-line pattern
// that names a path ("tree/src"), matched as tar does: against the whole
// path or any tail of it after a "/", and against such a part cut at a
// "/"; the reason goes into reason.  Else 0, and always 0 for actions that
// do not read local files.
int velk_ExcludeCheckPath(velk_exclude_rules_t *rules, const char *path, char *reason, size_t reasonSize);

// Inspects the directory path that walk is about to enter at level.  1:
// leave it out of the walk (what of it stays has been added through keep);
// 0: walk it (its ignore files' rules are pushed at level).
int velk_ExcludeNewDirectory(velk_exclude_rules_t *rules, int level, const char *path, velk_excludeKeep_t keep,
                             velk_walk_t *walk);

// Readers of version-control ignore files; 0, or -1 when the file cannot
// be read or memory ran out.
int readGitIgnore(velk_exclude_rules_t *rules, const char *path, uint32_t level);
int readCvsIgnore(velk_exclude_rules_t *rules, const char *path, uint32_t level);
int readBzrIgnore(velk_exclude_rules_t *rules, const char *path, uint32_t level);
int readHgIgnore(velk_exclude_rules_t *rules, const char *path, uint32_t level);

// 0 when the file at path starts with the cache directory tag signature,
// else -1.
int checkCacheHeader(const char *path);

// The number of rules (a mark for velk_ExcludeUnlinkSince), and dropping
// every rule added after such a mark.
int velk_ExcludeMark(const velk_exclude_rules_t *rules);
void velk_ExcludeUnlinkSince(velk_exclude_rules_t *rules, int mark);

// Debug dump of the rule list on standard error: skips skip rules, shows
// at most count (10,000 when count is below 1).
void _DisplayLL(const velk_exclude_rules_t *rules, int skip, int count);

// Frees every rule and file name and clears the switches.
void velk_ExcludeReset(velk_exclude_rules_t *rules);

#endif
