// Configuration files: the global "velkrc", the first readable one along the
// search path, then the private "$HOME/.velkrc".  Each line sets one key of
// the run's configuration record; later values override earlier ones.  Only
// the initial thread calls this, during start-up before other threads
// exist, so the record needs no lock; afterwards it is read-only.

#include "velk_ReadConfig.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

#include "quorex_size.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"
#include "velk_Utils.h"

const rc_option_s rc_option_list[19] = {
    {"AbortOnOversizeFile", RC_ABT_ON_OVERSIZE_FILE},
    {"AbortOnLongPathnames", RC_ABT_ON_LONG_PATH},
    {"AbortOnMemberFileMissing", RC_ABT_ON_MFILE_MISSING},
    {"AbortOnMemberFileReadError", RC_ABT_ON_MFILE_READ_ERROR},
    {"AbortOnMemberFileWriteError", RC_ABT_ON_MFILE_WRITE_ERROR},
    {"DisplayExcludedObjects", RC_DISPLAY_EXCLUDED_OBJECTS},
    {"okfile", RC_OK_FILE},
    {"exfile", RC_EX_FILE},
    {"statefile", RC_STATE_FILE},
    {"max_small_file_size", RC_MAX_SMALL_FILESIZE},
    {"disable_gets", RC_DISABLE_READS},
    {"read_disable_msg", RC_READ_DISABLE_MSG},
    {"disable_puts", RC_DISABLE_WRITES},
    {"write_disable_msg", RC_WRITE_DISABLE_MSG},
    {"enable_expiration", RC_EXP_ENABLE},
    {"expire_cfg_path", RC_EXP_CFG_FILE},
    {"max_archive_size", RC_MAX_ARCHIVE_SIZE},
    {"max_member_files", RC_MAX_MEMBER_COUNT},
    {"max_family_members", RC_MAX_FAMILY_MEMBERS},
};

namespace {

const char *const RC_ROUTINE = "readRcFile";
const char *const RC_GLOBAL_NAME = "velkrc";
const char *const RC_DEFAULT_SEARCH_PATH = "/usr/local:/usr/local/etc:/usr/local/kyl/etc:/var/quor/etc";
const char *const RC_DEFAULT_READ_MSG = "Read operations disabled until further notice - see site wiki for more info\n";
const char *const RC_DEFAULT_WRITE_MSG =
    "Write operations disabled until further notice - see site wiki for more info\n";
constexpr uint64_t RC_DEFAULT_MAX_SMALL_FILE = 4194304;

// Longest line the reader accepts, newline not counted.
constexpr size_t RC_LINE_MAX = 511;
// Longest configuration file path built from a search-path entry or HOME.
constexpr size_t RC_PATH_MAX = 4096;

bool is_sep(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// One token of the text after the key: [start, start+len).  A token that
// opens with a quote ends before the next identical quote (or at the end of
// the line when there is none); quoted flags that case.
struct token_t {
    const char *start;
    size_t len;
    bool quoted;
    const char *end; // first character after the token (and its quote)
};

// Finds the next token at or after p.  "=" counts as a blank outside
// quotes, so "key = value" and "key value" read alike.  Returns false when
// the line holds no more tokens.
bool next_token(const char *p, token_t *tok)
{
    while (*p != '\0' && (is_sep(*p) || *p == '='))
        p++;
    if (*p == '\0')
        return false;
    if (*p == '"' || *p == '\'') {
        const char *close = strchr(p + 1, *p);
        tok->start = p + 1;
        tok->quoted = true;
        if (close == nullptr) {
            // No closing quote: the value runs to the end of the line.
            size_t n = strlen(tok->start);
            while (n > 0 && (tok->start[n - 1] == '\n' || tok->start[n - 1] == '\r'))
                n--;
            tok->len = n;
            tok->end = tok->start + strlen(tok->start);
        } else {
            tok->len = static_cast<size_t>(close - tok->start);
            tok->end = close + 1;
        }
        return true;
    }
    const char *q = p;
    while (*q != '\0' && !is_sep(*q) && *q != '=')
        q++;
    tok->start = p;
    tok->len = static_cast<size_t>(q - p);
    tok->quoted = false;
    tok->end = q;
    return true;
}

// The text of a disable message: everything after the key, an optional "="
// and the blanks around it.  A quoted message ends before its closing quote;
// an unquoted one runs to the end of the line, newline included.
char *message_value(const char *afterKey)
{
    const char *p = afterKey;
    while (is_blank(*p))
        p++;
    if (*p == '=') {
        p++;
        while (is_blank(*p))
            p++;
    }
    if (*p == '"' || *p == '\'') {
        const char *close = strchr(p + 1, *p);
        size_t n = close != nullptr ? static_cast<size_t>(close - (p + 1)) : strcspn(p + 1, "\r\n");
        char *v = static_cast<char *>(VELK_MALLOC(n + 1));
        if (v != nullptr) {
            memcpy(v, p + 1, n);
            v[n] = '\0';
        }
        return v;
    }
    return VELK_STRDUP(p);
}

// Replaces the string held in *field with value (which it takes over).
void replace_string(char **field, char *value)
{
    VELK_FREE(*field);
    *field = value;
}

const rc_option_s *find_option(const char *key)
{
    for (const auto &opt : rc_option_list)
        if (strcasecmp(opt.optionName, key) == 0)
            return &opt;
    return nullptr;
}

// The field a yes/no key sets, null for keys of other syntax.
int *yes_no_field(velk_rc_t *rc, VELK_RC_OPTS which)
{
    switch (which) {
    case RC_ABT_ON_OVERSIZE_FILE: return &rc->AbortOnOversizeFile;
    case RC_ABT_ON_LONG_PATH: return &rc->AbortOnLongPathnames;
    case RC_ABT_ON_MFILE_MISSING: return &rc->AbortOnMemberFileMissing;
    case RC_ABT_ON_MFILE_READ_ERROR: return &rc->AbortOnMemberFileReadError;
    case RC_ABT_ON_MFILE_WRITE_ERROR: return &rc->AbortOnMemberFileWriteError;
    case RC_DISPLAY_EXCLUDED_OBJECTS: return &rc->DisplayExcludedObjects;
    case RC_DISABLE_READS: return &rc->DisableGets;
    case RC_DISABLE_WRITES: return &rc->DisablePuts;
    case RC_EXP_ENABLE: return &rc->EnableFileExpiration;
    default: return nullptr;
    }
}

// Applies one key's value.  Returns 0, or -1 when the value is unusable in a
// way that stops the reading of this file.
int apply_option(velk_rc_t *rc, const rc_option_s *opt, const char *key, const char *value, const char *afterKey,
                 const char *path, int lineno)
{
    if (int *field = yes_no_field(rc, opt->optionValue)) {
        if (getYesNo(value, field) != 0)
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "(%s) bad value [%s] for %s (file %s line %d) ignored\n",
                        RC_ROUTINE, value, key, path, lineno);
        return 0;
    }

    switch (opt->optionValue) {
    case RC_OK_FILE:
    case RC_EX_FILE:
    case RC_STATE_FILE:
    case RC_EXP_CFG_FILE: {
        char **field = nullptr;
        const char *what = nullptr;
        switch (opt->optionValue) {
        case RC_OK_FILE:
            field = &rc->Okfile;
            what = "okfile";
            break;
        case RC_EX_FILE:
            field = &rc->Exfile;
            what = "exfile";
            break;
        case RC_STATE_FILE:
            field = &rc->Statefile;
            what = "stateFile";
            break;
        default:
            field = &rc->ExpireCfgFile;
            what = "expire_cfg_path";
            break;
        }
        char *expanded = velk_ExpandTemplatePath(value, nullptr, nullptr);
        if (expanded == nullptr) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) problem expanding %s [%s] (file %s, line %d)\n",
                        RC_ROUTINE, what, value, path, lineno);
            return -1;
        }
        replace_string(field, expanded);
        return 0;
    }
    case RC_MAX_SMALL_FILESIZE:
    case RC_MAX_ARCHIVE_SIZE: {
        const char *what = opt->optionValue == RC_MAX_SMALL_FILESIZE ? "max_small_file_size" : "max_archive_size";
        // A size of 0 is as unusable as text that is not a size; so is a
        // negative one, which cannot be held in the unsigned field.
        int64_t size = quorex_ParseByteSize(value);
        if (size <= 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) problem converting %s [%s] (file %s, line %d)\n",
                        RC_ROUTINE, what, value, path, lineno);
            return -1;
        }
        if (opt->optionValue == RC_MAX_SMALL_FILESIZE)
            rc->MaxSmallFileSize = static_cast<uint64_t>(size);
        else
            rc->MaxArchiveSize = static_cast<uint64_t>(size);
        return 0;
    }
    case RC_MAX_MEMBER_COUNT:
    case RC_MAX_FAMILY_MEMBERS: {
        const char *what = opt->optionValue == RC_MAX_MEMBER_COUNT ? "max_member_files" : "max_family_members";
        // Counts are held in 32 bits; a larger one is refused like a
        // negative one rather than silently cut.
        int64_t count = quorex_ParseByteSize(value);
        if (count < 0 || count > static_cast<int64_t>(UINT32_MAX)) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) problem converting %s [%s] (file %s, line %d)\n",
                        RC_ROUTINE, what, value, path, lineno);
            return -1;
        }
        // Both keys set the family-member limit: max_member_files is the
        // older name of the same setting.
        rc->MaxFamilyMembers = static_cast<uint32_t>(count);
        return 0;
    }
    case RC_READ_DISABLE_MSG:
    case RC_WRITE_DISABLE_MSG: {
        char *msg = message_value(afterKey);
        if (msg == nullptr)
            return 0; // reported by the allocation wrapper; the old text stays
        replace_string(opt->optionValue == RC_READ_DISABLE_MSG ? &rc->DisableGetsMsg : &rc->DisablePutsMsg, msg);
        return 0;
    }
    default: return 0;
    }
}

// Reads one line of at most RC_LINE_MAX characters into buf (newline kept).
// Returns 1 for a line, 0 at end of file, -1 for a line that was too long
// (its remainder is consumed so that the next call starts a new line).
int read_line(FILE *fp, char *buf)
{
    size_t n = 0;
    int c;
    bool any = false;
    while ((c = getc(fp)) != EOF) {
        any = true;
        if (n < RC_LINE_MAX + 1)
            buf[n] = static_cast<char>(c);
        n++;
        if (c == '\n')
            break;
    }
    if (!any)
        return 0;
    size_t textLen = (c == '\n') ? n - 1 : n;
    if (textLen > RC_LINE_MAX)
        return -1;
    buf[n] = '\0';
    return 1;
}

// Tries each directory of the search path; the first candidate that can be
// read is read and no other.
void readGlobalRcOptions(velk_rc_t *config)
{
    const char *searchPath = getenv("QUOR_CFG_FILE_PATH");
    if (searchPath == nullptr)
        searchPath = RC_DEFAULT_SEARCH_PATH;

    const char *p = searchPath;
    while (true) {
        size_t dirLen = strcspn(p, ":");
        // Empty entries (as in "a::b") name no directory and are passed over.
        if (dirLen > 0) {
            if (dirLen + 1 + strlen(RC_GLOBAL_NAME) > RC_PATH_MAX) {
                velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                            "(%s) configuration search path entry longer than %zu characters skipped\n",
                            "readGlobalRcOptions", RC_PATH_MAX);
            } else {
                char candidate[RC_PATH_MAX + 1];
                snprintf(candidate, sizeof candidate, "%.*s/%s", static_cast<int>(dirLen), p, RC_GLOBAL_NAME);
                int rc = readRcFile(config, candidate);
                // Missing or unopenable candidates (the latter already
                // reported) let the search go on.
                if (rc >= -1)
                    return;
            }
        }
        if (p[dirLen] == '\0')
            return;
        p += dirLen + 1;
    }
}

void readPrivateRcOptions(velk_rc_t *config)
{
    const char *home = getenv("HOME");
    if (home == nullptr)
        return;
    char path[RC_PATH_MAX + 1];
    int n = snprintf(path, sizeof path, "%s/.velkrc", home);
    if (n < 0 || static_cast<size_t>(n) > RC_PATH_MAX) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                    "(%s) HOME longer than %zu characters - private configuration file skipped\n",
                    "readPrivateRcOptions", RC_PATH_MAX);
        return;
    }
    readRcFile(config, path);
}

} // namespace

void setDefaultOptions(velk_rc_t *rc)
{
    VELK_FREE(rc->Okfile);
    VELK_FREE(rc->Exfile);
    VELK_FREE(rc->Statefile);
    VELK_FREE(rc->DisableGetsMsg);
    VELK_FREE(rc->DisablePutsMsg);
    VELK_FREE(rc->ExpireCfgFile);
    *rc = velk_rc_t{};

    rc->AbortOnOversizeArchive = 0;
    rc->AbortOnOversizeFile = 1;
    rc->AbortOnLongPathnames = 1;
    rc->AbortOnMemberFileMissing = 0;
    rc->AbortOnMemberFileReadError = 1;
    rc->AbortOnMemberFileWriteError = 1;
    rc->DisplayExcludedObjects = 1;
    rc->MaxSmallFileSize = RC_DEFAULT_MAX_SMALL_FILE;
    rc->DisableGets = 0;
    rc->DisableGetsMsg = VELK_STRDUP(RC_DEFAULT_READ_MSG);
    rc->DisablePuts = 0;
    rc->DisablePutsMsg = VELK_STRDUP(RC_DEFAULT_WRITE_MSG);
    rc->EnableFileExpiration = 0;
    rc->MaxMembersPerArchive = 0;
    rc->MaxArchiveSize = 0;
    rc->MaxFamilyMembers = 0;
}

int velk_ReadConfig(velk_rc_t *rc)
{
    setDefaultOptions(rc);
    readGlobalRcOptions(rc);
    readPrivateRcOptions(rc);
    return 0;
}

int getYesNo(const char *text, int *field)
{
    static const char *const yes[] = {"y", "yes", "t", "true", "on"};
    static const char *const no[] = {"n", "no", "f", "false", "off"};
    if (text == nullptr)
        return -1;
    for (const char *w : yes) {
        if (strcasecmp(text, w) == 0) {
            *field = 1;
            return 0;
        }
    }
    for (const char *w : no) {
        if (strcasecmp(text, w) == 0) {
            *field = 0;
            return 0;
        }
    }
    return -1;
}

int readRcFile(velk_rc_t *rc, const char *path)
{
    FILE *fp = fopen(path, "r");
    int openErr = fp == nullptr ? errno : 0;
    if (fp != nullptr) {
        // A directory opens for reading but cannot be read as a file.
        struct stat st;
        if (fstat(fileno(fp), &st) == 0 && S_ISDIR(st.st_mode)) {
            fclose(fp);
            fp = nullptr;
            openErr = EISDIR;
        }
    }
    if (fp == nullptr) {
        if (openErr == ENOENT || openErr == ENOTDIR)
            return -ENOENT;
        velk_ErrPrintf("VELK: error %d opening rc file %s\n", openErr, path);
        velk_Explain(VELK_MSG_WARNING, openErr, path, "its settings are not used");
        return -openErr;
    }

    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/reading config file '%s'\n", path);

    char line[RC_LINE_MAX + 2];
    int lineno = 0;
    int result = 0;
    int got;
    while ((got = read_line(fp, line)) != 0) {
        lineno++;
        if (got < 0) {
            // Longer lines are not cut, since a cut value could look valid:
            // the whole line is refused and reading goes on with the next.
            velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                        "(%s) line %d of %s is longer than %zu characters - ignored\n", RC_ROUTINE, lineno, path,
                        RC_LINE_MAX);
            continue;
        }
        if (velk_debug_level >= 1)
            velk_ErrPrintf("%.6d  %.*s\n", lineno, static_cast<int>(strcspn(line, "\n")), line);

        const char *p = line;
        while (is_blank(*p))
            p++;
        if (*p == '\0' || *p == '\n' || *p == '\r' || *p == '#' || *p == ';')
            continue;

        // The key runs to the first blank.
        size_t keyLen = 0;
        while (p[keyLen] != '\0' && !is_sep(p[keyLen]))
            keyLen++;
        char key[RC_LINE_MAX + 1];
        memcpy(key, p, keyLen);
        key[keyLen] = '\0';
        const char *afterKey = p + keyLen;

        // The value: the first token after the key, where "=" counts as a
        // blank.  A key with "=" but no blank ("okfile=/tmp/ok") is one word
        // and so has no value.
        token_t valueTok;
        if (!next_token(afterKey, &valueTok)) {
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "(%s) missing value for <%s> option on line %d of %s\n",
                        RC_ROUTINE, key, lineno, path);
            continue;
        }
        char value[RC_LINE_MAX + 1];
        memcpy(value, valueTok.start, valueTok.len);
        value[valueTok.len] = '\0';

        const rc_option_s *opt = find_option(key);
        if (opt == nullptr) {
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "(%s) unrecognized option %s on line %d of %s\n", RC_ROUTINE,
                        key, lineno, path);
            continue;
        }

        // An unquoted disable message is the rest of the line, blanks and
        // all, so only other keys (and quoted messages) can have extra tokens.
        bool isMessage = opt->optionValue == RC_READ_DISABLE_MSG || opt->optionValue == RC_WRITE_DISABLE_MSG;
        token_t extra;
        if ((!isMessage || valueTok.quoted) && next_token(valueTok.end, &extra) &&
            (extra.quoted || (extra.start[0] != '#' && extra.start[0] != ';')))
            velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "(%s) extra token(s) on line %d of file %s ignored\n",
                        RC_ROUTINE, lineno, path);

        if (apply_option(rc, opt, key, value, afterKey, path, lineno) != 0) {
            result = -1;
            break;
        }
    }
    fclose(fp);
    return result;
}
