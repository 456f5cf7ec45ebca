// The member names of list and extract.  A name that holds a wildcard is a
// pattern, matched component by component against index paths; with
// -H noglob every name is literal.  While the action selects entries, each
// name that selects one is marked; the names left unmarked at the end are
// reported as not found.  The record of marks is the action's.  Initial
// thread only.

#include "velk_MemberNames.h"

#include <cstring>
#include <string>
#include <vector>

#include "velk_FileList.h"
#include "velk_Glob.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"
#include "velk_ParseCmdLine.h"

namespace {

// Splits path into its components, skipping empty ones (repeated or leading
// slashes).  Returns false when it has more than cap components.
bool components(const char *path, std::string out[], int *count, int cap)
{
    *count = 0;
    const char *p = path;
    while (*p != '\0' && *count < cap) {
        while (*p == '/')
            p++;
        if (*p == '\0')
            break;
        const char *end = strchr(p, '/');
        size_t len = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
        out[(*count)++].assign(p, len);
        p += len;
    }
    while (*p == '/')
        p++;
    return *p == '\0';
}

} // namespace

namespace {

// Whether the one name rec selects entry, as the action that owns names
// selects.
int selects(const velk_member_names_t *names, const hif_entry_t *entry, const velk_FileSpec_t *rec)
{
    return names->exact ? velk_IndexEntryNamed(entry, rec, 1) : velk_IndexEntryWasSelected(entry, rec, 1);
}

} // namespace

velk_member_names_t::~velk_member_names_t()
{
    VELK_FREE(found);
    VELK_FREE(deleted);
}

int velk_MemberNamesPrepare(velk_member_names_t *names, velk_members_t *members)
{
    VELK_FREE(names->found);
    VELK_FREE(names->deleted);
    names->found = nullptr;
    names->deleted = nullptr;
    names->table = members->table;
    names->tracked = 0;
    names->left = 0;
    for (int64_t i = 0; i < members->count; ++i) {
        velk_FileSpec_t &rec = members->table[i];
        if (rec.filename == nullptr)
            continue;
        // The operand's escapes are gone by now: what still looks like a
        // pattern is one ("!" and an unclosed "[" match themselves).
        rec.hasWildcards = !velk_Opt(VELK_OPT_NOGLOB) && velk_NameIsPattern(rec.filename, false) ? 1 : 0;
    }
    if (members->count <= 0)
        return 0;
    names->found = static_cast<bool *>(VELK_CALLOC(static_cast<size_t>(members->count), sizeof(bool)));
    names->deleted = static_cast<bool *>(VELK_CALLOC(static_cast<size_t>(members->count), sizeof(bool)));
    if (names->found == nullptr || names->deleted == nullptr)
        return -1;
    names->tracked = members->count;
    names->left = names->tracked;
    return 0;
}

void velk_MemberNamesSelected(velk_member_names_t *names, const hif_entry_t *entry)
{
    // Every name that selects the entry is marked, not only the first:
    // "dir" and "dir/a" both name the entry dir/a.
    for (int64_t i = 0; i < names->tracked && names->left > 0; ++i) {
        if (!names->found[i] && selects(names, entry, &names->table[i]) != 0) {
            names->found[i] = true;
            --names->left;
        }
    }
}

void velk_MemberNamesDeletedSeen(velk_member_names_t *names, const hif_entry_t *entry)
{
    for (int64_t i = 0; i < names->tracked && names->left > 0; ++i) {
        if (!names->found[i] && !names->deleted[i] && selects(names, entry, &names->table[i]) != 0)
            names->deleted[i] = true;
    }
}

int velk_MemberNamesReportMissing(const velk_member_names_t *names)
{
    int missing = 0;
    for (int64_t i = 0; i < names->tracked && names->left > 0; ++i) {
        if (names->found[i] || names->table[i].filename == nullptr)
            continue;
        if (names->deleted[i]) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Soft-deleted in archive (undelete it with -U)\n",
                        names->table[i].filename);
            velk_NoteFailure("soft-deleted in archive");
        } else {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Not found in archive\n", names->table[i].filename);
            velk_NoteFailure("not found in archive");
        }
        ++missing;
    }
    if (missing > 0)
        velk_SetExitCode(VELK_EXIT_IOERR);
    return missing;
}

namespace {

// Whether a record of table selects path: itself, and with below also what
// lies under a directory it names.
int selectedBy(const char *path, const velk_FileSpec_t *table, int64_t count, bool below)
{

    // A path of 257 bytes has at most 129 components.
    constexpr int kMaxComponents = VELK_PATH_BUFSIZE / 2 + 1;
    for (int64_t i = 0; i < count; i++) {
        const velk_FileSpec_t &rec = table[i];
        if (rec.filename == nullptr)
            continue;
        if (rec.hasWildcards) {
            std::vector<std::string> pat(kMaxComponents), got(kMaxComponents);
            int np = 0, ng = 0;
            // A pattern deeper than any stored path can select nothing.
            bool ok = components(rec.filename, pat.data(), &np, kMaxComponents);
            (void)components(path, got.data(), &ng, kMaxComponents);
            int k = 0;
            for (; k < np && ok; k++) {
                if (k >= ng)
                    ok = false; // the path ran out before the pattern
                else if (velk_MatchComponent(got[k].c_str(), pat[k].c_str()) == 0)
                    ok = false;
            }
            // The pattern is used up: the path ends there, or continues below
            // a directory the pattern named.
            if (ok && (ng == np || below))
                return 1;
            continue;
        }
        size_t n = strlen(rec.filename);
        if (strncmp(path, rec.filename, n) == 0 && (path[n] == '\0' || (path[n] == '/' && below)))
            return 1;
    }
    return 0;
}

} // namespace

int velk_IndexEntryNamed(const hif_entry_t *entry, const velk_FileSpec_t *table, int64_t count)
{
    if (table == nullptr || count <= 0)
        return 0;
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    return selectedBy(path, table, count, false);
}

int velk_IndexEntryWasSelected(const hif_entry_t *entry, const velk_FileSpec_t *table, int64_t count)
{
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    bool norecurse = velk_Opt(VELK_OPT_NORECURSE);
    if (table == nullptr || count <= 0)
        return (!norecurse || strchr(path, '/') == nullptr) ? 1 : 0;
    return selectedBy(path, table, count, !norecurse);
}
