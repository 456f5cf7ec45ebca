// Command-line parsing: option groups, long options, -H lists, value rules
// and the final checks.  Runs on the initial thread during start-up only.
// Errors are counted and scanning goes on unless an error is marked fatal;
// every failure leaves exit status 64 (78 when memory ran out).

#include "velk_ParseCmdLine.h"

#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <vector>
#include <unistd.h>

#include "quorex_netrc.h"
#include "quorex_size.h"
#include "velk_Exclude.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"
#include "velk_ReadConfig.h"
#include "velk_StatusFifo.h"
#include "velk_Utils.h"

const longOpt_t longOpts[VELK_LONG_OPTION_COUNT] = {
    {"acct", 1, LO_ACCT},
    {"cix", 0, LO_CIX},
    {"copies", 1, LO_COPIES},
    {"crc", 0, LO_CRC},
    {"exclude", 1, LO_EXCLUDE},
    {"exclude-from", 1, LO_EXCLUDE_FROM},
    {"exclude-vcs-ignores", 0, LO_EXCLUDE_VCS_IGNORES},
    {"exclude-vcs", 0, LO_EXCLUDE_VCS},
    {"exclude-ignore", 1, LO_EXCLUDE_IGNORE},
    {"exclude-ignore-recursive", 1, LO_EXCLUDE_IGNORE_RECURSIVE},
    {"exclude-backups", 0, LO_EXCLUDE_BACKUPS},
    {"exclude-caches", 0, LO_EXCLUDE_CACHES},
    {"exclude-caches-under", 0, LO_EXCLUDE_CACHES_UNDER},
    {"exclude-caches-all", 0, LO_EXCLUDE_CACHES_ALL},
    {"exclude-tag", 1, LO_EXCLUDE_TAG},
    {"exclude-tag-under", 1, LO_EXCLUDE_TAG_UNDER},
    {"exclude-tag-all", 1, LO_EXCLUDE_TAG_ALL},
    {"exfile", 1, LO_EXFILE},
    {"family", 1, LO_FAMILY},
    {"hash", 1, LO_HASH},
    {"hash-all", 0, LO_HASH_ALL},
    {"hash-af", 1, LO_HASH_AF},
    {"hash-if", 1, LO_HASH_IF},
    {"hash-mf", 1, LO_HASH_MF},
    {"hash-type", 1, LO_HASH_TYPE},
    {"max-af-size", 1, LO_MAX_AF_SIZE},
    {"max-mf-per-af", 1, LO_MAX_MF_PER_AF},
    {"max-fam-members", 1, LO_MAX_FAM_MEMBERS},
    {"msg_interval", 1, LO_MSG_INTERVAL},
    {"okfile", 1, LO_OKFILE},
    {"nocfchk", 0, LO_NOCFCHK},
    {"nocrc", 0, LO_NOCRC},
    {"noglob", 0, LO_NOGLOB},
    {"norecurse", 0, LO_NORECURSE},
    {"rmlocal", 0, LO_RMLOCAL},
    {"nostage", 0, LO_NOSTAGE},
    {"port", 1, LO_PORT},
    {"relpaths", 0, LO_RELPATHS},
    {"server", 1, LO_SERVER},
    {"tss", 1, LO_TSS},
    {"umask", 1, LO_UMASK},
    {"verify", 1, LO_VERIFY},
    {"mountcache", 1, LO_MOUNTCACHE},
};

namespace {

// Long options in GNU tar's spelling.  Each stands for an option letter, or
// (letter 0) sets a switch of the run by its name (applyRunSwitch).  They
// are not -H sub-options.  Further tar-style and output options join here.
struct tarLongOpt_t {
    const char *name;
    int hasArg; // 1 when the option takes a value ("--name=V" or "--name V")
    char letter;
};

const tarLongOpt_t tarLongOpts[] = {
    {"create", 0, 'c'},    {"list", 0, 't'},     {"extract", 0, 'x'}, {"file", 1, 'f'}, {"verbose", 0, 'v'},
    {"directory", 1, 'C'}, {"no-gateway", 0, 0}, {"json", 0, 0},      {"names", 0, 0},  {"mount", 1, 0},
};

// The word that starts a change of directory among the operands.
const char kChangeDirWord[] = "-C";

constexpr uint32_t MSG = VELK_LOGCLASS_MSG;

// Marks the parse as failed: status 64 unless a status is set.
int fail()
{
    velk_SetExitCode(VELK_EXIT_USAGE);
    return -1;
}

// A tag or ignore file name of an exclusion option.
int addExcludeFile(const char *value, uint32_t recursive, velk_exclude_Flist_t *list)
{
    return velk_ExcludeAddFilename(value, recursive, VELK_EXC_SHELL, 0, list) != 0 ? fail() : 0;
}

const longOpt_t *findLongOption(const char *name, size_t len)
{
    for (const auto &opt : longOpts) {
        if (strlen(opt.name) == len && strncmp(opt.name, name, len) == 0)
            return &opt;
    }
    return nullptr;
}

// Reads a whole decimal number into *out; false for anything else, a sign
// included, or a value above max.
bool parseDecimal(const char *text, long max, long *out)
{
    if (text == nullptr || !isdigit(static_cast<unsigned char>(*text)))
        return false;
    errno = 0;
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

// Replaces *slot with a new copy of value; false when memory ran out.
bool replaceString(char **slot, const char *value)
{
    char *copy = VELK_STRDUP(value);
    if (copy == nullptr)
        return false;
    VELK_FREE(*slot);
    *slot = copy;
    return true;
}

int parseVerifyList(velk_run_t *run, const char *name, const char *value)
{
    std::string list = value;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string word = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (word == "all")
            run->verifyFlags = VELK_VERIFY_INFO | VELK_VERIFY_CRC | VELK_VERIFY_COMPARE;
        else if (word == "0" || word == "info")
            run->verifyFlags |= VELK_VERIFY_INFO;
        else if (word == "1")
            run->verifyFlags |= VELK_VERIFY_INFO | VELK_VERIFY_CRC;
        else if (word == "2")
            run->verifyFlags |= VELK_VERIFY_INFO | VELK_VERIFY_CRC | VELK_VERIFY_COMPARE;
        else if (word == "crc")
            run->verifyFlags |= VELK_VERIFY_CRC;
        else if (word == "nocrc")
            run->verifyFlags &= ~VELK_VERIFY_CRC;
        else if (word == "compare")
            run->verifyFlags |= VELK_VERIFY_COMPARE;
        else if (word == "nocompare")
            run->verifyFlags &= ~VELK_VERIFY_COMPARE;
        else if (word == "paranoid")
            run->verifyFlags |= VELK_VERIFY_PARANOID;
        else if (word == "noparanoid")
            run->verifyFlags &= ~VELK_VERIFY_PARANOID;
        else {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Bad value for-H %s option: %s\n", name, word.c_str());
            return fail();
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return 0;
}

int parseFamily(velk_run_t *run, const char *value)
{
    std::string v = value;
    size_t comma = v.find(',');
    std::string archivePart = v.substr(0, comma);
    long id = 0;
    if (!parseDecimal(archivePart.c_str(), INT_MAX, &id)) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "bad archive family ID: %s.\n", archivePart.c_str());
        return fail();
    }
    run->archive.familyId = static_cast<int>(id);
    if (comma != std::string::npos) {
        std::string indexPart = v.substr(comma + 1);
        if (!parseDecimal(indexPart.c_str(), INT_MAX, &id)) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "bad index family ID: %s.\n", indexPart.c_str());
            return fail();
        }
        run->index.familyId = static_cast<int>(id);
    }
    return 0;
}

int parseThreadStackSize(velk_run_t *run, const char *name, const char *value)
{
    int64_t bytes = 0;
    if (quorex_ParseByteSizeChecked(value, &bytes) != 0 || bytes < 0 || bytes > VELK_MAX_TSS) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Bad value for %s option: %s\n", name, value);
        run->xfer.threadStacksize = 0;
        return fail();
    }
    // A stack below the system's minimum would make every reader thread
    // fail to start; raise it instead.
    if (bytes > 0 && bytes < static_cast<int64_t>(PTHREAD_STACK_MIN))
        bytes = static_cast<int64_t>(PTHREAD_STACK_MIN);
    run->xfer.threadStacksize = static_cast<int>(bytes);
    return 0;
}

int parseUmask(velk_run_t *run, const char *name, const char *value)
{
    errno = 0;
    char *end = nullptr;
    long mask = strtol(value, &end, 8);
    if (*value == '\0' || *value == '-' || *value == '+' || *end != '\0' || errno != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Bad value for-H %s option: %s\n", name, value);
        return fail();
    }
    run->umask = static_cast<int>(mask & 0777);
    return 0;
}

int parseTemplateFile(const char *name, const char *value, char **slot)
{
    char *expanded = velk_ExpandTemplatePath(value, nullptr, nullptr);
    if (expanded == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s path expansion failure for '%s'\n", name, value);
        return fail();
    }
    VELK_FREE(*slot);
    *slot = expanded;
    return 0;
}

// Applies one exclusion option to the run's rules.
int parseExcludeOption(velk_exclude_rules_t *rules, int code, const char *value)
{
    switch (code) {
    case LO_EXCLUDE: return velk_ExcludeAddPattern(rules, value, 1, VELK_EXC_SHELL, 0) != 0 ? fail() : 0;
    case LO_EXCLUDE_FROM:
        // A pattern file that cannot be read would archive what the user
        // meant to keep out: the run stops.
        return velk_ExcludesAddFromFile(rules, value, 1, VELK_EXC_SHELL, 0) != 0 ? fail() : 0;
    case LO_EXCLUDE_VCS_IGNORES: rules->vcsIgnores = 1; return 0;
    case LO_EXCLUDE_VCS: return velk_ExcludeAddVcs(rules) != 0 ? fail() : 0;
    case LO_EXCLUDE_BACKUPS: return velk_ExcludeAddBackups(rules) != 0 ? fail() : 0;
    case LO_EXCLUDE_CACHES: rules->caches = 1; return 0;
    case LO_EXCLUDE_CACHES_UNDER: rules->cachesUnder = 1; return 0;
    case LO_EXCLUDE_CACHES_ALL: rules->cachesAll = 1; return 0;
    case LO_EXCLUDE_IGNORE: return addExcludeFile(value, 0, &rules->ignoreFiles);
    case LO_EXCLUDE_IGNORE_RECURSIVE: return addExcludeFile(value, 1, &rules->ignoreRecurseFiles);
    case LO_EXCLUDE_TAG: return addExcludeFile(value, 0, &rules->tagFile);
    case LO_EXCLUDE_TAG_UNDER: return addExcludeFile(value, 0, &rules->tagUnderFile);
    case LO_EXCLUDE_TAG_ALL: return addExcludeFile(value, 0, &rules->tagAllFile);
    default: return fail();
    }
}

} // namespace

int parseOption(velk_run_t *run, const char *name, int code, const char *value)
{
    long n = 0;
    switch (code) {
    case LO_ACCT:
        if (isdigit(static_cast<unsigned char>(value[0]))) {
            if (!parseDecimal(value, UINT32_MAX, &n)) {
                velk_LogFmt(VELK_MSG_ERROR, MSG, "Bad value for %s option: %s\n", name, value);
                return fail();
            }
            run->acctId = static_cast<uint32_t>(n);
            run->acctIdGiven = 1;
            VELK_FREE(run->acctName);
            run->acctName = nullptr;
        } else if (!replaceString(&run->acctName, value)) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "malloc failure for %s\n", name);
            return -1;
        } else {
            run->acctIdGiven = 0;
        }
        return 0;
    case LO_CIX: velk_option_flags |= VELK_OPT_CIX; return 0;
    case LO_COPIES:
        if (!parseDecimal(value, 5, &n) || n < 1) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Bad value '%s' for  %s\n", value, name);
            return fail();
        }
        copyCount = static_cast<int>(n);
        velk_option_flags |= VELK_OPT_COPIES;
        return 0;
    case LO_CRC: velk_option_flags |= VELK_OPT_CRC; return 0;
    case LO_NOCRC: velk_option_flags &= ~VELK_OPT_CRC; return 0;
    case LO_EXCLUDE:
    case LO_EXCLUDE_FROM:
    case LO_EXCLUDE_VCS_IGNORES:
    case LO_EXCLUDE_VCS:
    case LO_EXCLUDE_BACKUPS:
    case LO_EXCLUDE_CACHES:
    case LO_EXCLUDE_CACHES_UNDER:
    case LO_EXCLUDE_CACHES_ALL:
    case LO_EXCLUDE_IGNORE:
    case LO_EXCLUDE_IGNORE_RECURSIVE:
    case LO_EXCLUDE_TAG:
    case LO_EXCLUDE_TAG_UNDER:
    case LO_EXCLUDE_TAG_ALL: return parseExcludeOption(run->exclude, code, value);
    case LO_EXFILE: return parseTemplateFile("exfile", value, &run->config->Exfile);
    case LO_OKFILE: return parseTemplateFile("okfile", value, &run->config->Okfile);
    case LO_FAMILY: return parseFamily(run, value);
    case LO_HASH:
    case LO_HASH_ALL:
    case LO_HASH_AF:
    case LO_HASH_IF:
    case LO_HASH_MF:
    case LO_HASH_TYPE:
    case LO_MAX_AF_SIZE:
    case LO_MAX_MF_PER_AF:
    case LO_MAX_FAM_MEMBERS: return 0; // accepted for compatibility; no effect
    case LO_MSG_INTERVAL:
        if (!parseDecimal(value, 3600, &n) || n < 1) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Bad value '%s' for %s\n", value, name);
            return fail();
        }
        run->statusInterval = static_cast<int>(n);
        return 0;
    case LO_NOCFCHK: velk_option_flags |= VELK_OPT_NOCFCHK; return 0;
    case LO_NOGLOB: velk_option_flags |= VELK_OPT_NOGLOB; return 0;
    case LO_NORECURSE: velk_option_flags |= VELK_OPT_NORECURSE; return 0;
    case LO_RMLOCAL: velk_option_flags |= VELK_OPT_RMLOCAL; return 0;
    case LO_NOSTAGE: velk_option_flags |= VELK_OPT_NOSTAGE; return 0;
    case LO_RELPATHS: velk_option_flags |= VELK_OPT_RELPATHS; return 0;
    case LO_PORT:
        if (!parseDecimal(value, VELK_MAX_PORT, &n)) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Bad value for %s option: %s\n", name, value);
            return fail();
        }
        run->serverPort = static_cast<int>(n);
        return 0;
    case LO_SERVER:
        if (!replaceString(&run->serverHost, value))
            return -1;
        if (quorex_NetrcWanted() != 0 && quorex_SetNetrcLabel(value, QUOREX_NETRC_LABEL_HOST) != 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Bad value for %s option: %s\n", name, value);
            return fail();
        }
        return 0;
    case LO_TSS: return parseThreadStackSize(run, name, value);
    case LO_UMASK: return parseUmask(run, name, value);
    case LO_VERIFY: return parseVerifyList(run, name, value);
    case LO_MOUNTCACHE: {
        // The block cache of a mount: a size with an optional unit.
        int64_t size = quorex_ParseByteSize(value);
        if (size <= 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Bad value for %s option: %s\n", name, value);
            return fail();
        }
        run->mountCacheBytes = static_cast<uint64_t>(size);
        return 0;
    }
    default: return fail();
    }
}

int velk_ParseCOS(const char *value, int *archiveCos, int *indexCos)
{
    if (strcasecmp(value, "auto") == 0) {
        *archiveCos = 0;
        *indexCos = 0;
        return 0;
    }
    std::string v = value;
    size_t colon = v.find(':');
    std::string parts[2] = {v.substr(0, colon), colon == std::string::npos ? "" : v.substr(colon + 1)};
    int ids[2] = {*archiveCos, *indexCos};
    for (int i = 0; i < 2; i++) {
        long n = 0;
        if (parts[i].empty())
            continue;
        if (strcasecmp(parts[i].c_str(), "auto") == 0)
            ids[i] = 0;
        else if (parseDecimal(parts[i].c_str(), INT_MAX, &n))
            ids[i] = static_cast<int>(n);
        else
            return -1;
    }
    *archiveCos = ids[0];
    *indexCos = ids[1];
    return 0;
}

int velk_ParseTimeWindow(const char *value, long *seconds)
{
    const char *colon = strchr(value, ':');
    std::string days = colon ? std::string(value, static_cast<size_t>(colon - value)) : std::string(value);
    std::string hours = colon ? std::string(colon + 1) : std::string();
    if (!colon && days.empty())
        return -1;
    int64_t parts[2] = {0, 0};
    const std::string *texts[2] = {&days, &hours};
    for (int i = 0; i < 2; i++) {
        for (char c : *texts[i]) {
            if (!isdigit(static_cast<unsigned char>(c)))
                return -1; // also a second colon
            parts[i] = parts[i] * 10 + (c - '0');
            if (parts[i] > INT32_MAX)
                return -1;
        }
    }
    int64_t window = parts[0] * 86400 + parts[1] * 3600;
    if (window > INT32_MAX)
        return -1;
    if (window <= 0)
        return -2;
    *seconds = static_cast<long>(window);
    return 0;
}

bool velk_NameIsPattern(const char *name, bool honourEscapes)
{
    for (const char *p = name; *p != '\0'; ++p) {
        if (honourEscapes && *p == '\\') {
            if (p[1] == '\0')
                break;
            ++p;
            continue;
        }
        if (*p == '*' || *p == '?' || *p == '{')
            return true;
        // A "[" that no "]" closes is an ordinary character.
        if (*p == '[' && strchr(p + 1, ']') != nullptr)
            return true;
    }
    return false;
}

int velk_GetEnvSettings(velk_run_t *run)
{
    const char *cos = getenv("VELK_COS");
    if (cos != nullptr && velk_ParseCOS(cos, &velk_archive_cosID, &run->index.cosId) != 0)
        velk_LogFmt(VELK_MSG_WARNING, MSG, "Bad value for VELK_COS: %s (ignored)\n", cos);
    const char *noGateway = getenv("VELK_NO_GATEWAY");
    if (noGateway != nullptr && strcmp(noGateway, "1") == 0)
        run->noGateway = 2;
    else if (noGateway != nullptr && *noGateway != '\0' && strcmp(noGateway, "0") != 0)
        velk_LogFmt(VELK_MSG_WARNING, MSG, "Bad value for VELK_NO_GATEWAY: %s (ignored; 1 or 0)\n", noGateway);
    const char *memType = getenv("QUOR_IO_MEMTYPE");
    run->xfer.sharedBuffers = memType != nullptr && strcmp(memType, "shared") == 0;
    return 0;
}

namespace {

// State of one scan of the command line.
struct ScanState {
    velk_run_t *run = nullptr;
    bool helpRequested = false; // -? was given
    int errors = 0;
    int actions = 0;
    bool archiveNamed = false;
    // -C and --directory given before the operands: "-C DIR" word pairs
    // that go in front of the operands, where the member table reads them.
    std::vector<char *> leadingDirs;
    // The operands in order, with the words of their "-C DIR" and "-L LIST"
    // pairs; rearranged when a long option among them was taken out.
    std::vector<char *> operands;
    bool rearranged = false;
};

void setAction(ScanState &st, int op)
{
    velk_function = op;
    st.actions++;
}

// Applies -M.  Its messages carry the ERROR prefix but never fail the run.
void applyMaxFiles(velk_run_t *run, const char *value)
{
    errno = 0;
    char *end = nullptr;
    long count = strtol(value, &end, 10);
    bool number = *value != '\0' && *end == '\0' && errno == 0;
    if (!number || count == 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Illegal value (%s) for -M option ignored.\n", value);
    } else if (count < 0) {
        run->maxFiles = velk_abs_max_files;
        velk_LogFmt(VELK_MSG_ERROR, MSG,
                    "(-M option). This site does not allow an unrestricted number of files in an archive. %ld will "
                    "be used\n",
                    velk_abs_max_files);
    } else if (count > velk_abs_max_files) {
        run->maxFiles = velk_abs_max_files;
        velk_LogFmt(VELK_MSG_ERROR, MSG, "-M %s exceeds max value allowed. -M %ld will be used\n", value,
                    velk_abs_max_files);
    } else {
        run->maxFiles = count;
    }
}

// Applies -S; false when the value can't be kept.
bool applyBufferSize(velk_run_t *run, const char *value)
{
    int64_t size = quorex_ParseByteSize(value);
    if (size > INT32_MAX) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Bad value for %s option: %s\n", "-S", value);
        return false;
    }
    if (size < VELK_MIN_IOBUFSIZE) {
        velk_LogFmt(VELK_MSG_INFO, MSG,
                    "Warning: minimum buffer size is %d. -S  %s ignored - minimum buffer sized used\n",
                    VELK_MIN_IOBUFSIZE, value);
        size = VELK_MIN_IOBUFSIZE;
    }
    run->xfer.iobufsize = static_cast<int>(size);
    return true;
}

// Applies one short option letter with its argument (null when it takes
// none).  Returns 0, 1 to stop scanning, or -1 for a fatal error.
int applyShortOption(ScanState &st, char letter, const char *arg)
{
    long n = 0;
    switch (letter) {
    case '?':
        velk_Usage(1);
        st.helpRequested = true;
        return 0;
    case 'B': velk_option_flags |= VELK_OPT_BLOCKNUMS; return 0;
    case 'C':
        st.leadingDirs.push_back(const_cast<char *>(kChangeDirWord));
        st.leadingDirs.push_back(const_cast<char *>(arg));
        return 0;
    case 'c': setAction(st, VOP_CREATE); return 0;
    case 'D': setAction(st, VOP_DELETE); return 0;
    case 'K': setAction(st, VOP_VERIFY); return 0;
    case 't': setAction(st, VOP_LIST); return 0;
    case 'U': setAction(st, VOP_UNDELETE); return 0;
    case 'X': setAction(st, VOP_BUILD_INDEX); return 0;
    case 'x': setAction(st, VOP_EXTRACT); return 0;
    case 'E': velk_option_flags |= VELK_OPT_LOCAL_ARCHIVE; return 0;
    case 'h': velk_option_flags |= VELK_OPT_FOLLOW_LINKS; return 0;
    case 'J': velk_option_flags |= VELK_OPT_BY_ORDINAL; return 0;
    case 'm': velk_option_flags |= VELK_OPT_MTIME_NOW; return 0;
    case 'O': velk_option_flags |= VELK_OPT_TO_STDOUT; return 0;
    case 'o': velk_option_flags |= VELK_OPT_OWN_IDS; return 0;
    case 'P': velk_option_flags |= VELK_OPT_MAKE_PARENTS; return 0;
    case 'p': velk_option_flags |= VELK_OPT_EXACT_PERMS; return 0;
    case 'q': velk_option_flags |= VELK_OPT_QUIET; return 0;
    case 'V': velk_option_flags |= VELK_OPT_STATS; return 0;
    case 'v': velk_option_flags |= VELK_OPT_VERBOSE; return 0;
    case 'w': velk_option_flags |= VELK_OPT_CONFIRM; return 0;
    case 'd':
        n = strtol(arg, nullptr, 10);
        velk_debug_level = static_cast<int>(n < 0 ? 0 : (n > 5 ? 5 : n));
        return 0;
    case 'f':
        if (strlen(arg) > static_cast<size_t>(VELK_MAX_ARCHIVE_PATH)) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "archive path is longer than %d characters\n", VELK_MAX_ARCHIVE_PATH);
            st.errors++;
            return 0;
        }
        if (!replaceString(&velk_archive, arg))
            return -1;
        st.archiveNamed = true;
        return 0;
    case 'H': return 0; // handled by the caller
    case 'I':
        if (strlen(arg) > static_cast<size_t>(VELK_MAX_ARCHIVE_PATH)) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "index path is longer than %d characters\n", VELK_MAX_ARCHIVE_PATH);
            st.errors++;
            return 0;
        }
        return replaceString(&velk_index_filename, arg) ? 0 : -1;
    case 'L': return replaceString(&st.run->inputListName, arg) ? 0 : -1;
    case 'l':
        velk_option_flags |= VELK_OPT_LOGIN;
        if (setenv("QUOR_PRINCIPAL", arg, 1) != 0) {
            velk_ErrPrintf("*** %s: unable set set environment variable [QUOR_PRINCIPAL=%s]\n", "velk_ParseCmdLine",
                           arg);
            st.errors++;
        }
        return 0;
    case 'M': applyMaxFiles(st.run, arg); return 0;
    case 'N': velk_option_flags |= VELK_OPT_STATUS_FIFO; return replaceString(&st.run->statusPipeName, arg) ? 0 : -1;
    case 'n': {
        long window = 0;
        int rc = velk_ParseTimeWindow(arg, &window);
        if (rc == -1) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "-n %s is invalid. Expecting \"days\",\"days:hours\",or \":hours\"\n",
                        arg);
            st.errors++;
        } else if (rc == -2) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "-n %s is invalid. A non-zero value must be entered\n", arg);
            st.errors++;
        } else {
            st.run->timeWindow = window;
            velk_option_flags |= VELK_OPT_TIME_WINDOW;
        }
        return 0;
    }
    case 'S':
        if (!applyBufferSize(st.run, arg))
            st.errors++;
        return 0;
    case 'T':
        if (!parseDecimal(arg, INT_MAX, &n) || n < 1) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Bad value for thread count: %s\n", arg);
            st.errors++;
            return 1;
        }
        st.run->xfer.maxThreads = static_cast<int>(n);
        return 0;
    case 'Y':
        if (velk_ParseCOS(arg, &velk_archive_cosID, &st.run->index.cosId) != 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Bad value for %s option: %s\n", "-Y", arg);
            st.errors++;
        }
        return 0;
    default:
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Unrecognized option: '%c'\n", letter);
        st.errors++;
        return 0;
    }
}

bool takesArgument(char letter)
{
    return strchr("CdfHILlMNnSTY", letter) != nullptr;
}

// Applies a -H list.  Returns 0, or -1 for a fatal error.
int applySubOptions(ScanState &st, const char *list)
{
    char *copy = strdup(list);
    if (copy == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "strdup failure for -H%s\n", list);
        velk_SetExitCode(VELK_EXIT_NOMEM);
        return -1;
    }
    int result = 0;
    // Cut by hand: strtok would merge empty sub-options, and "a::b" names an
    // empty (unknown) one.
    char *item = copy;
    while (item != nullptr) {
        char *next = strchr(item, ':');
        if (next != nullptr)
            *next++ = '\0';
        char *eq = strchr(item, '=');
        size_t nameLen = eq ? static_cast<size_t>(eq - item) : strlen(item);
        std::string name(item, nameLen);
        const longOpt_t *opt = findLongOption(item, nameLen);
        if (opt == nullptr) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Unrecognized option: -H%s\n", name.c_str());
            st.errors++;
            break;
        }
        if (opt->hasArg && (eq == nullptr || eq[1] == '\0')) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "missing or empty argument for '-H%s'\n", name.c_str());
            result = fail();
            break;
        }
        if (!opt->hasArg && eq != nullptr) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "superfluous '=' argument for '-H%s'\n", name.c_str());
            st.errors++;
            break;
        }
        if (parseOption(st.run, opt->name, opt->code, opt->hasArg ? eq + 1 : nullptr) != 0) {
            if (velk_exit_code.load() == VELK_EXIT_NOMEM) {
                result = -1;
                break;
            }
            velk_LogFmt(VELK_MSG_ERROR, MSG, "fatal error parsing '-H%s' option\n", name.c_str());
            st.errors++;
            break;
        }
        item = next;
    }
    free(copy);
    return result;
}

const tarLongOpt_t *findTarLongOption(const char *name, size_t len)
{
    for (const auto &opt : tarLongOpts) {
        if (strlen(opt.name) == len && strncmp(opt.name, name, len) == 0)
            return &opt;
    }
    return nullptr;
}

// True when word is "--help", "--version" or "--NAME[=V]" with a NAME of
// either long option table.
bool isKnownLongOption(const char *word)
{
    if (strncmp(word, "--", 2) != 0)
        return false;
    const char *body = word + 2;
    size_t nameLen = strcspn(body, "=");
    if (strcmp(body, "help") == 0 || strcmp(body, "version") == 0)
        return true;
    return nameLen > 0 && (findLongOption(body, nameLen) != nullptr || findTarLongOption(body, nameLen) != nullptr);
}

// The value of a long option that takes one: after "=", else the next word
// (which *i then passes).  Null, after the message, when there is none.
const char *longOptionValue(const char *name, const char *eq, int argc, char **argv, int *i)
{
    if (eq != nullptr && eq[1] != '\0')
        return eq + 1;
    if (eq == nullptr && *i + 1 < argc)
        return argv[++*i];
    velk_LogFmt(VELK_MSG_ERROR, MSG, "missing or empty argument for '%s'\n", name);
    return nullptr;
}

// Sets a switch of the run that has no option letter; value is the
// option's value when it takes one.  0, or -1 when memory ran out.
int applyRunSwitch(ScanState &st, const char *name, const char *value)
{
    if (strcmp(name, "mount") == 0) {
        // The mount action, with its mount point.
        if (!replaceString(&st.run->mountPoint, value))
            return -1;
        setAction(st, VOP_MOUNT);
    } else if (strcmp(name, "no-gateway") == 0)
        st.run->noGateway = 1;
    else if (strcmp(name, "json") == 0)
        velk_option_flags |= VELK_OPT_JSON;
    else if (strcmp(name, "names") == 0)
        velk_option_flags |= VELK_OPT_NAMES;
    return 0;
}

// Applies a long option of tar's spelling.  Returns 0, or -1 for a fatal
// error.
int applyTarLongOption(ScanState &st, const tarLongOpt_t *opt, const char *eq, int argc, char **argv, int *i)
{
    if (!opt->hasArg && eq != nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "superfluous '=' argument for '%s'\n", opt->name);
        return fail();
    }
    const char *value = opt->hasArg ? longOptionValue(opt->name, eq, argc, argv, i) : nullptr;
    if (opt->hasArg && value == nullptr)
        return fail();
    if (opt->letter == 0)
        return applyRunSwitch(st, opt->name, value);
    int rc = applyShortOption(st, opt->letter, value);
    return rc < 0 ? (velk_exit_code.load() != 0 ? -1 : fail()) : 0;
}

// Applies "--name[=value]" or "--name value".  Returns 0, or -1 for a fatal
// error.
int applyLongOption(ScanState &st, int argc, char **argv, int *i)
{
    const char *body = argv[*i] + 2;
    const char *eq = strchr(body, '=');
    size_t nameLen = eq ? static_cast<size_t>(eq - body) : strlen(body);
    std::string name(body, nameLen);
    if (const tarLongOpt_t *tarOpt = findTarLongOption(body, nameLen); tarOpt != nullptr)
        return applyTarLongOption(st, tarOpt, eq, argc, argv, i);
    const longOpt_t *opt = findLongOption(body, nameLen);
    if (opt == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error - unrecognized option --%s\n", name.c_str());
        return fail();
    }
    const char *value = nullptr;
    if (opt->hasArg && opt->code == LO_VERIFY && eq == nullptr)
        value = "all"; // "--verify" alone: tar's check of the archive against the files
    else if (opt->hasArg && (value = longOptionValue(name.c_str(), eq, argc, argv, i)) == nullptr)
        return fail();
    if (!opt->hasArg && eq != nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "superfluous '=' argument for '%s'\n", name.c_str());
        return fail();
    }
    if (parseOption(st.run, opt->name, opt->code, value) != 0) {
        if (velk_exit_code.load() == VELK_EXIT_NOMEM)
            return -1;
        velk_LogFmt(VELK_MSG_ERROR, MSG, "fatal error parsing '%s' option\n", name.c_str());
        st.errors++;
    }
    return 0;
}

// "--help" and "--version": information only.  True when word was one.
bool informationOnly(const char *word)
{
    if (strcmp(word, "--help") != 0 && strcmp(word, "--version") != 0)
        return false;
    // Whatever else the command line says, the run ends here with status 0
    // and no final line.
    if (word[2] == 'h')
        velk_HelpToStdout();
    else
        velk_PrintVersion();
    velk_function = VOP_NOFUNCTION;
    return true;
}

// Applies one group of option letters, argv[*i]; a letter's value is the
// rest of the group or the next word.  Returns 0, 1 to stop scanning, or
// -1 for a fatal error.
int applyLetterGroup(ScanState &st, int argc, char **argv, int *i)
{
    const char *arg = argv[*i];
    // argv[1] is a group even without "-".
    for (const char *p = arg[0] == '-' ? arg + 1 : arg; *p != '\0'; p++) {
        char letter = *p;
        if (letter == '-')
            continue;
        const char *value = nullptr;
        if (takesArgument(letter)) {
            if (p[1] != '\0') {
                value = p + 1;
            } else if (*i + 1 < argc) {
                value = argv[++*i];
            } else {
                velk_LogFmt(VELK_MSG_ERROR, MSG, "Missing argument for %c\n", letter);
                return fail();
            }
        }
        int rc = letter == 'H' ? applySubOptions(st, value) : applyShortOption(st, letter, value);
        if (rc < 0)
            return velk_exit_code.load() != 0 ? -1 : fail();
        if (rc > 0)
            return 1;
        if (value != nullptr)
            break;
    }
    return 0;
}

// A word after the first operand.  A long option of either table is
// applied as if it came before the operands (GNU tar's permutation), but
// --directory keeps its place as "-C DIR"; every other word is an operand,
// single-dash words included, as before (so "-C DIR" and "-L LIST" among
// the operands keep their place).  Returns 0, 2 after --help or
// --version, or -1 for a fatal error.
int scanOperandWord(ScanState &st, int argc, char **argv, int *i)
{
    char *word = argv[*i];
    if (!isKnownLongOption(word)) {
        st.operands.push_back(word);
        return 0;
    }
    st.rearranged = true;
    if (informationOnly(word))
        return 2;
    if (strncmp(word, "--directory", 11) == 0 && (word[11] == '\0' || word[11] == '=')) {
        const char *dir = longOptionValue("directory", strchr(word, '='), argc, argv, i);
        if (dir == nullptr)
            return fail();
        st.operands.push_back(const_cast<char *>(kChangeDirWord));
        st.operands.push_back(const_cast<char *>(dir));
        return 0;
    }
    return applyLongOption(st, argc, argv, i);
}

// Leaves the operands at run->argv[run->optind] on: the -C directories
// given before them first, long options among them taken out.  first is
// where the operands began on the command line.  0, or -1 when memory ran
// out.
int placeOperands(ScanState &st, int argc, char **argv, int first)
{
    velk_run_t *run = st.run;
    run->optind = first;
    if (st.leadingDirs.empty() && !st.rearranged)
        return 0;
    size_t count = static_cast<size_t>(first) + st.leadingDirs.size() + st.operands.size();
    // Lives as long as the run, as the command line does.
    auto **words = static_cast<char **>(VELK_CALLOC(count + 1, sizeof(char *)));
    if (words == nullptr) {
        velk_SetExitCode(VELK_EXIT_NOMEM);
        return -1;
    }
    size_t n = 0;
    for (int k = 0; k < first && k < argc; k++)
        words[n++] = argv[k];
    for (char *w : st.leadingDirs)
        words[n++] = w;
    for (char *w : st.operands)
        words[n++] = w;
    run->argv = words;
    run->argc = static_cast<int>(n);
    return 0;
}

// Checks the -N FIFO and keeps it open for writing; any problem is a
// warning that turns the status FIFO off.
void checkStatusFifo(const velk_run_t *run)
{
    const char *path = run->statusPipeName;
    struct stat sb;
    if (stat(path, &sb) != 0) {
        velk_LogFmt(VELK_MSG_WARNING, MSG, "Error %d trying to stat pipe file: '%s'. -N option disabled\n", errno,
                    path);
    } else if (!S_ISFIFO(sb.st_mode)) {
        velk_LogFmt(VELK_MSG_WARNING, MSG, "Not a FIFO-type file: '%s'.  -N option disabled\n", path);
    } else {
        int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            velk_status_pipefd = fd;
            return;
        }
        if (errno == ENXIO)
            velk_LogFmt(VELK_MSG_WARNING, MSG,
                        "Cannot open FIFO '%s' for writing (no process is reading it). -N option disabled\n", path);
        else
            velk_LogFmt(VELK_MSG_WARNING, MSG, "Error %d trying to open pipe file: '%s'. -N option disabled\n", errno,
                        path);
    }
    velk_option_flags &= ~VELK_OPT_STATUS_FIFO;
}

// The output for scripts needs standard output to itself and an action
// that has members to report.  0, or -1 after the message.
int checkOutputOptions()
{
    const bool json = velk_Opt(VELK_OPT_JSON);
    const bool names = velk_Opt(VELK_OPT_NAMES);
    const char *problem = nullptr;
    if (json && names)
        problem = "--json and --names cannot be used together\n";
    else if ((json || names) && velk_Opt(VELK_OPT_TO_STDOUT))
        problem = "--json and --names cannot be used with -O\n";
    else if (names && velk_function != VOP_LIST)
        problem = "--names works only with -t\n";
    else if (json && velk_function == VOP_CREATE)
        problem = "--json works only with -t, -x, -K, -X, -D and -U\n";
    if (problem == nullptr)
        return 0;
    velk_LogMsg(VELK_MSG_ERROR, MSG, problem);
    return -1;
}

} // namespace

int velk_ParseCmdLine(velk_run_t *run, int argc, char **argv)
{
    VELK_TRACE_ENTRY();
    if (argc <= 1) {
        // Nothing asked for is a command line without an action: the usage
        // and a failed run, never a success a script could trust.
        velk_Usage(0);
        return fail(); // nothing asked for
    }
    ScanState st;
    st.run = run;
    int i = 1;
    int first = 0; // where the operands begin
    for (; i < argc; i++) {
        char *arg = argv[i];
        if (strcmp(arg, "--") == 0) {
            st.rearranged = st.rearranged || first != 0;
            i++;
            break;
        }
        if (first == 0 && arg[0] != '-' && i > 1)
            first = i;
        int rc = 0;
        if (first != 0)
            rc = scanOperandWord(st, argc, argv, &i);
        else if (informationOnly(arg))
            rc = 2;
        else if (strncmp(arg, "--", 2) == 0)
            rc = applyLongOption(st, argc, argv, &i);
        else
            rc = applyLetterGroup(st, argc, argv, &i);
        if (rc < 0)
            return -1;
        if (rc == 2)
            return 0; // --help or --version
        if (rc == 1) {
            i++;
            break;
        }
    }
    if (first == 0)
        first = i;
    for (; i < argc; i++)
        st.operands.push_back(argv[i]);
    if (placeOperands(st, argc, argv, first) != 0)
        return -1;

    // Final checks.
    if (run->serverHost != nullptr) {
        char port[16] = "";
        if (run->serverPort > 0)
            snprintf(port, sizeof port, "/%d", run->serverPort);
        std::string entry = std::string(run->serverHost) + port;
        if (setenv("QUOR_SERVER_HOST", entry.c_str(), 1) != 0) {
            velk_LogMsg(VELK_MSG_ERROR, MSG, "failed setting QUOR_SERVER_HOST environment variable\n");
            return fail();
        }
    }
    if (velk_Opt(VELK_OPT_STATUS_FIFO))
        checkStatusFifo(run);
    if (st.actions == 0) {
        if (st.helpRequested)
            return 0;
        velk_LogMsg(VELK_MSG_ERROR, MSG, "No action specified (-c, -K, -t ,-x, -X).\n");
        velk_Usage(0);
        return fail();
    }
    if (st.actions > 1) {
        velk_LogMsg(VELK_MSG_ERROR, MSG, "Only 1 of -c, -K, -t, -x, -X may be specified\n");
        return fail();
    }
    if (velk_function == VOP_CREATE && velk_Opt(VELK_OPT_CONFIRM)) {
        // Create has no question to ask: refuse -w rather than ignore it.
        velk_LogMsg(VELK_MSG_ERROR, MSG, "-w (confirmation) does not work with -c\n");
        st.errors++;
    }
    if (checkOutputOptions() != 0)
        st.errors++;
    if (!st.archiveNamed) {
        // Without an archive there is nothing to act on: a usage error.
        velk_LogFmt(VELK_MSG_ERROR, MSG, "(%s) -f parameter is required by velk.\n", argv[0]);
        st.errors++;
    }
    if (st.errors > 0) {
        velk_Usage(0);
        return fail();
    }
    return 0;
}
