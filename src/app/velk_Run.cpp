// The run sequence: gathers the settings, installs signal handling, starts
// the status FIFO, opens the gateway session, works out where the archive
// and its index are, dispatches the action and ends the run with one exit
// status.  Runs on the initial thread; the run state it writes is read-only
// for every thread started after it.

#include "velk_Run.h"
#include "quorex_expire.h"
#include "velk_Expire.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "quor_api.h"
#include "velk_Actions.h"
#include "velk_ArchiveKind.h"
#include "velk_Consistency.h"
#include "velk_Context.h"
#include "velk_Delete.h"
#include "velk_Exclude.h"
#include "velk_ExpandPath.h"
#include "velk_FileList.h"
#include "velk_Glob.h"
#include "velk_IndexFile.h"
#include "velk_Globals.h"
#include "velk_Json.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"
#include "velk_Mount.h"
#include "velk_NoGateway.h"
#include "velk_ParseCmdLine.h"
#include "velk_ReadConfig.h"
#include "velk_Signals.h"
#include "velk_StatusFifo.h"
#include "velk_Utils.h"

namespace {

constexpr uint32_t MSG = VELK_LOGCLASS_MSG;
constexpr size_t PATHBUF = VELK_MAX_ARCHIVE_PATH + 1;

// Set once the clean-up of velk_ExitCleanFiles ran (the atexit handler
// calls it again).
std::atomic<int> clean_files_done{0};

// The clean-up at exit (the atexit handler, velk_EndRun, which failing paths
// call without the run) removes the temporary files the run made: the one
// record it reaches them by is the run itself, set by velk_Run before
// anything is made and alive until exit().
velk_run_t *exit_run = nullptr;

void velk_AtExit()
{
    velk_ExitCleanFiles();
}

// Ends the run with status (unless one is set).
[[noreturn]] void failRun(int status)
{
    velk_SetExitCode(status);
    velk_EndRun(true);
}

// --json and --names: standard output carries only the records; every
// other line goes to standard error.
void takeStdoutForScripts(velk_run_t *run)
{
    if (!velk_Opt(VELK_OPT_JSON) && !velk_Opt(VELK_OPT_NAMES))
        return;
    run->records = velk_JsonTakeStdout();
    if (run->records == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "cannot keep standard output for --json or --names: %s\n", strerror(errno));
        failRun(VELK_EXIT_OSERR);
    }
}

// --json: the run's last line on standard error is a JSON summary of it.
void writeJsonSummary()
{
    if (!velk_Opt(VELK_OPT_JSON) || velk_function == VOP_NOFUNCTION)
        return;
    const int status = velk_exit_code.load();
    const bool forced = velk_shutdown_signalled.load() != 0;
    std::string action = velk_FunctionToString(velk_function);
    for (char &c : action)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    std::string rec;
    velk_JsonBegin(&rec);
    velk_JsonAddCStr(&rec, "action", action.c_str());
    velk_JsonAddCStr(&rec, "result",
                     status == 0 ? "VELK SUCCESSFUL" : (forced ? "VELK FAILED DUE TO FORCED SHUTDOWN" : "VELK FAILED"));
    velk_JsonAddInt(&rec, "status", status);
    velk_JsonAddInt(&rec, "failures", velk_FailureMark(nullptr));
    velk_JsonEnd(&rec);
    fflush(stdout);
    (void)velk_JsonEmit(stderr, rec);
}

bool isStorageArchive()
{
    return !(velk_archive != nullptr && strcmp(velk_archive, "-") == 0) && !velk_Opt(VELK_OPT_LOCAL_ARCHIVE);
}

// Refuses runs the site has switched off for storage-system archives.
void checkSiteRefusal(const velk_rc_t &config)
{
    if (!isStorageArchive())
        return;
    if (config.DisableGets) {
        fprintf(stderr, "%s (%s) %s\n", "ERROR", "main", config.DisableGetsMsg);
        failRun(VELK_EXIT_IOERR);
    }
    bool writes = velk_function == VOP_APPEND || velk_function == VOP_BUILD_INDEX || velk_function == VOP_CREATE ||
                  velk_function == VOP_DELETE;
    if (config.DisablePuts && writes) {
        fprintf(stderr, "%s (%s) %s", "ERROR", "main", config.DisablePutsMsg);
        failRun(VELK_EXIT_IOERR);
    }
}

// Opens a configured list file for appending into *stream.
void openListFile(const char *path, FILE **stream, const char *what)
{
    if (path == nullptr)
        return;
    *stream = fopen(path, "a");
    if (*stream == nullptr) {
        int err = errno;
        fprintf(stderr, "%s (%s) error %d opening %s file <%s>\n", "ERROR", "main", err, what, path);
        failRun(VELK_EXIT_IOERR);
    }
}

void startStatusFifo(const velk_run_t *run)
{
    if (!velk_Opt(VELK_OPT_STATUS_FIFO))
        return;
    if (velk_InitStatusFifo() != 0) {
        fprintf(stderr, "%s (%s) Error(s) initialize status FIFO\n", "ERROR", "main");
        failRun(VELK_EXIT_OSERR);
    }
    velk_SetProgramPhase(VTP_OPEN_CONNECTION);
    velk_StatusMsg(1, "Open logging");
    if (velk_StartStatusThread(run->statusInterval) != 0) {
        fprintf(stderr, "%s (%s) unable to start status thread\n", "ERROR", "main");
        failRun(VELK_EXIT_OSERR);
    }
}

// Member selection expands wildcards and excludes through these hooks, with
// the run's exclusion rules.
const velk_FileListHooks_t selectionHooks = {velk_GlobExpand,          velk_GlobRelease, velk_ExcludeCheckName,
                                             velk_ExcludeNewDirectory, velk_ExcludeMark, velk_ExcludeUnlinkSince,
                                             velk_ExcludeCheckPath};

// Reads the site information and settles the archive kind by run mode.
void readSiteInfo(velk_run_t *run)
{
    if (velk_filetype != VELK_QUOR_FILE)
        return;
    console_message("Getting remote gateway site info", "");
    quor_site_info_t site = {};
    int rc = quorex_GetSiteInfo(&site);
    console_message("", "");
    if (rc < 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error %d getting QUOR system info. Exiting...\n", rc);
        velk_Explain(VELK_MSG_ERROR, rc, "the gateway's site information");
        failRun(VELK_EXIT_OSERR);
    }
    if (site.server_runmode == 2) {
        velk_filetype = VELK_REMOTE_FILE;
        run->serverRunMode = 2;
        if (velk_debug_level >= 2)
            velk_ErrPrintf("/debug/connected to FS-FS (non-QUOR) Gateway\n");
    } else if (site.server_runmode != 1) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Unsupported server runmode: %d Exiting...\n",
                    static_cast<int>(site.server_runmode));
        failRun(VELK_EXIT_OSERR);
    }
}

void selectAccount(const velk_run_t *run)
{
    if (run->acctName != nullptr) {
        int rc = quor_SetAcctByName(run->acctName);
        if (rc < 0) {
            velk_LogFmt(VELK_MSG_WARNING, MSG,
                        "%s: Unable to set account name to '%s' (error=%d). Using default account\n", "main",
                        run->acctName, rc);
            velk_SetExitCode(VELK_EXIT_USAGE);
        }
    } else if (run->acctIdGiven) {
        int rc = quor_SetAcct(run->acctId);
        if (rc < 0) {
            velk_LogFmt(VELK_MSG_WARNING, MSG,
                        "%s: Unable to set account ID to '%d' (error=%d). Using default account\n", "main",
                        static_cast<int>(run->acctId), rc);
            velk_SetExitCode(VELK_EXIT_USAGE);
        }
    }
}

// The user's IDs and current account as the gateway knows them, into the
// run's transfer settings.
void readUserIds(velk_run_t *run)
{
    quor_passwd_t pw = {};
    if (quor_GetPwent("", &pw) < 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "(%s) fatal error getting password entry info.\n", "main");
        failRun(VELK_EXIT_OSERR);
    }
    run->xfer.uid = static_cast<int>(pw.pw_uid);
    run->xfer.gid = static_cast<int>(pw.pw_gid);
    uint32_t defaultAcct = 0;
    if (quor_GetAcct(&defaultAcct, &run->xfer.acctId) < 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "(%s) fatal error getting account info for uid %d\n", "main", run->xfer.uid);
        failRun(VELK_EXIT_OSERR);
    }
}

void applyUmask(const velk_run_t *run)
{
    if (run->umask < 0)
        return;
    int old = 0;
    if (velk_CurrentArchiveKind()->has_layout)
        old = quor_Umask(run->umask);
    else
        old = static_cast<int>(umask(static_cast<mode_t>(run->umask)));
    if (velk_debug_level >= 1)
        velk_ErrPrintf("umask: %.3o -> %.3o\n", static_cast<unsigned>(old), static_cast<unsigned>(run->umask));
}

// Resolves the archive's absolute path on the archive's side into run.
void resolveArchivePath(velk_run_t *run)
{
    char buf[PATHBUF];
    std::string abs;
    if (velk_archive[0] == '~') {
        int rc = velk_CurrentArchiveKind()->has_layout
                     ? velk_ExpandQUORPath(velk_archive, buf, sizeof buf)
                     : velk_ExpandLocalPath(run->homes, velk_archive, buf, sizeof buf);
        if (rc != 0)
            failRun(VELK_EXIT_USAGE);
        char *expanded = VELK_STRDUP(buf);
        if (expanded == nullptr)
            failRun(VELK_EXIT_NOMEM);
        VELK_FREE(velk_archive);
        velk_archive = expanded;
        abs = buf;
    } else if (velk_archive[0] == '/') {
        abs = velk_archive;
    } else if (velk_CurrentArchiveKind()->is_pipe) {
        // A pipe has no directory; its name stands for itself in log records.
        abs = velk_archive;
    } else {
        if (velk_Getcwd(velk_filetype, buf, sizeof buf) != 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: unable to obtain current working directory\n", "main");
            failRun(VELK_EXIT_OSERR);
        }
        abs = std::string(buf) + "/" + velk_archive;
    }
    if (abs.size() > static_cast<size_t>(VELK_MAX_ARCHIVE_PATH)) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "archive path is longer than %d characters: %s\n", VELK_MAX_ARCHIVE_PATH,
                    abs.c_str());
        failRun(VELK_EXIT_USAGE);
    }
    run->archive.absPath = VELK_STRDUP(abs.c_str());
    if (run->archive.absPath == nullptr)
        failRun(VELK_EXIT_NOMEM);
    if (velk_debug_level >= 1)
        velk_ErrPrintf("Archive File absolute path is [%s]\n", run->archive.absPath);
}

void nameIndexFile()
{
    char buf[PATHBUF];
    int rc = velk_NameIndexFile(velk_archive, velk_index_filename, velk_filetype, buf, sizeof buf);
    if (rc == -1) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "[Fatal]%s\n", "Index file pathname must be specified for piped Archive file");
        failRun(VELK_EXIT_USAGE);
    }
    if (rc == -2) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "index file path is longer than %d characters\n", VELK_MAX_ARCHIVE_PATH);
        failRun(VELK_EXIT_USAGE);
    }
    char *name = VELK_STRDUP(buf);
    if (name == nullptr)
        failRun(VELK_EXIT_NOMEM);
    VELK_FREE(velk_index_filename);
    velk_index_filename = name;
}

// Opens the gateway session and its log, and takes the site's settings and
// the user's IDs and account from it.
void openGatewaySession(velk_run_t *run, int argc, char **argv)
{
    console_message("Opening QUOR server connection", "");
    if (quor_Openlog(static_cast<uint32_t>(VELK_OPENLOG_FLAGS), "velk") < 0) {
        console_message("", "");
        fprintf(stderr, "%s (%s) unable to open remote gateway server connection\n", "ERROR", "main");
        if (velk_Opt(VELK_OPT_LOCAL_ARCHIVE))
            velk_NoGatewayHint();
        failRun(VELK_EXIT_OSERR);
    }
    console_message("", "");
    readSiteInfo(run);

    velk_SetGatewayLogSend(quor_Logmsg);
    velk_logging_enabled.store(1);
    velk_LogCommandLine(argc, argv);
    velk_LogVersion();
    velk_LogCwd();

    quor_site_info_t site = {};
    if (int rc = quorex_GetSiteInfo(&site); rc < 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error %d getting QUOR system info. Exiting...\n", -2);
        velk_Explain(VELK_MSG_ERROR, rc, "the gateway's site information");
        failRun(VELK_EXIT_OSERR);
    }
    run->xfer.maxMbytesPerIod = site.max_mbytes_per_iod != 0 ? site.max_mbytes_per_iod : 2048;

    selectAccount(run);
    readUserIds(run);
    if (!velk_Opt(VELK_OPT_COPIES) && site.app_copies != 0)
        copyCount = static_cast<int>(site.app_copies);
}

int dispatch(velk_run_t *run)
{
    switch (velk_function) {
    case VOP_ANNOTATE: return velk_Annotate(run);
    case VOP_APPEND: return velk_Append(run);
    case VOP_BUILD_INDEX: return velk_BuildIndex(run);
    case VOP_COMPARE: return velk_Compare(run);
    case VOP_COMPARE_CKSUMS: return velk_CompareCksums(run);
    case VOP_CREATE: return velk_Create(run);
    case VOP_COPY: return velk_Copy(run);
    case VOP_DELETE: return velk_Delete(run);
    case VOP_EXTRACT: return velk_Extract(run);
    case VOP_LIST: return velk_List(run);
    case VOP_REPACK: return velk_Repack(run);
    case VOP_UNDELETE: return velk_Undelete(run);
    case VOP_UPDATE: return velk_Update(run);
    case VOP_VERIFY: return velk_Verify(run);
    case VOP_MOUNT: return velk_Mount(run);
    default: return 0;
    }
}

// The client library's waits for gateway replies end once a shutdown is
// signalled.
int shutdownSignalled(void * /*arg*/)
{
    return velk_shutdown_signalled.load() != 0 ? 1 : 0;
}

} // namespace

int velk_NameIndexFile(const char *archive, const char *indexOpt, int filetype, char *out, size_t size)
{
    std::string name;
    if (indexOpt == nullptr) {
        if (velk_ArchiveKindOps(filetype)->is_pipe)
            return -1;
        name = std::string(archive) + ".idx";
    } else if (strchr(indexOpt, '/') != nullptr) {
        // A value with a directory in it is a path as it stands
        // ("./a.idx", "../a.idx", "/x/a.idx"), never a suffix.
        name = indexOpt;
    } else if (indexOpt[0] == '.') {
        name = std::string(archive) + indexOpt;
    } else {
        const char *slash = strrchr(archive, '/');
        name = slash ? std::string(archive, static_cast<size_t>(slash - archive + 1)) + indexOpt : indexOpt;
    }
    if (name.size() >= size)
        return -2;
    memcpy(out, name.c_str(), name.size() + 1);
    return 0;
}

int velk_Getcwd(int kind, char *buf, int size)
{
    return velk_ArchiveKindOps(kind)->getcwd(buf, size);
}

void velk_ExitCleanFiles()
{
    VELK_TRACE_ENTRY();
    if (clean_files_done.exchange(1) != 0)
        return;
    if (exit_run != nullptr && exit_run->archive.cfName != nullptr)
        unlink(exit_run->archive.cfName);
    velk_index_t *index = exit_run != nullptr ? &exit_run->index : nullptr;
    if (index != nullptr && index->tmpName != nullptr && index->unlinkTmp && velk_debug_level < 2) {
        if (index->tmpFd >= 0) {
            close(index->tmpFd);
            index->tmpFd = -1;
        }
        unlink(index->tmpName);
    }
}

void velk_EndRun(bool failed)
{
    VELK_TRACE_ENTRY();
    if (velk_status_pipefd >= 0) {
        velk_SetProgramPhase(VTP_SHUTDOWN);
        velk_StatusMsg(1, "SHUTTING DOWN");
        velk_CloseStatusFifo();
    }
    velk_ExitCleanFiles();
    if (velk_logging_enabled.load()) {
        (void)quor_Closelog(static_cast<uint32_t>(VELK_OPENLOG_FLAGS));
        velk_logging_enabled.store(0);
    }
    if (failed) {
        velk_FinalLine(false, velk_shutdown_signalled.load() != 0);
        velk_SetExitCode(VELK_EXIT_OSERR);
    }
    writeJsonSummary();
    fflush(stdout);
    fflush(stderr);
    exit(velk_exit_code.load());
}

// A piped archive has no place for its index, and one being read cannot
// share standard input with a piped input list: refuse them now, as the
// command-line errors they are, before a gateway session is set up.
static void refusePipeMisuse(const velk_run_t *run)
{
    if (strcmp(velk_archive, "-") != 0)
        return;
    if (velk_index_filename == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "[Fatal]%s\n", "Index file pathname must be specified for piped Archive file");
        failRun(VELK_EXIT_USAGE);
    }
    if (velk_function != VOP_CREATE && run->inputListName != nullptr && strcmp(run->inputListName, "-") == 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "[Fatal]%s\n",
                    "Input list and piped Archive file cannot both be standard input");
        failRun(VELK_EXIT_USAGE);
    }
}

bool velk_DebugPauseWanted(const char *path, uid_t uid)
{
    // The marker sits in a directory every user can write to: only a file
    // of the user's own, that nobody else can change, may pause the run.
    // lstat, so that a link another user planted is never followed.
    struct stat sb;
    if (lstat(path, &sb) != 0 || !S_ISREG(sb.st_mode))
        return false;
    return sb.st_uid == uid && (sb.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void velk_Run(int argc, char **argv)
{
    VELK_TRACE_ENTRY();
    if (velk_DebugPauseWanted("/tmp/_VELK_SLEEP_", getuid()))
        sleep(60); // time to attach a debugger

    // The run's context lives until exit(): velk_EndRun never returns.  So
    // do the configuration, the exclusion rules the command line gives and
    // the home directories "~" names are looked up in.
    velk_run_t run;
    velk_RunInit(&run);
    exit_run = &run;
    velk_exclude_rules_t rules{};
    velk_home_cache_t homes{};
    velk_rc_t config{};
    run.config = &config;
    run.selectHooks = &selectionHooks;
    run.exclude = &rules;
    run.homes = &homes;
    run.startTime = time(nullptr);
    run.argc = argc;
    run.argv = argv;
    isatty2 = isatty(STDERR_FILENO);

    // A peer that goes away (gateway socket, status FIFO, a closed output
    // pipe) must surface as EPIPE on that write, never end the run without
    // its final line.  Set before any thread exists so that all inherit it.
    signal(SIGPIPE, SIG_IGN);

    velk_GetEnvSettings(&run);
    velk_ReadConfig(&config);
    rules.showExcluded = config.DisplayExcludedObjects;
    // Gateway-host transfers of at most this many bytes travel inline.
    run.xfer.maxSmallFileSize = config.MaxSmallFileSize;

    velk_function = VOP_NOFUNCTION;
    const int parsed = velk_ParseCmdLine(&run, argc, argv);
    takeStdoutForScripts(&run);
    if (parsed < 0)
        failRun(VELK_EXIT_USAGE);
    if (velk_function == VOP_NOFUNCTION)
        velk_EndRun(false);

    refusePipeMisuse(&run);
    if (velk_NoGatewayRefused(&run) != 0)
        failRun(VELK_EXIT_USAGE);
    checkSiteRefusal(config);
    if (velk_SigInit(config.Statefile) != 0)
        failRun(VELK_EXIT_OSERR);
    quor_SetStopHook(shutdownSignalled, nullptr);
    if (atexit(velk_AtExit) != 0)
        failRun(VELK_EXIT_OSERR);
    if (config.EnableFileExpiration) {
        // A run that was told to set expiration times and cannot must not
        // create files that would never expire.
        if (quorex_ExpireInitTable(config.ExpireCfgFile) != 0)
            failRun(VELK_EXIT_SOFTWARE);
        run.archive.setExpiration = 1;
        run.index.setExpiration = 1;
    }
    openListFile(config.Exfile, &run.exfile, "exceptions");
    openListFile(config.Okfile, &run.okfile, "<success>");
    startStatusFifo(&run);

    if (velk_Opt(VELK_OPT_TO_STDOUT))
        velk_stdout_is_data = true; // extracted member data
    if (strcmp(velk_archive, "-") == 0) {
        velk_filetype = VELK_PIPE;
        // A create writes the archive itself to standard output.
        if (velk_function == VOP_CREATE)
            velk_stdout_is_data = true;
    } else if (velk_Opt(VELK_OPT_LOCAL_ARCHIVE)) {
        velk_filetype = VELK_LOCAL_FILE;
    } else {
        console_message("Opening server connection", "");
        velk_filetype = VELK_QUOR_FILE;
    }
    if (run.noGateway != 0)
        velk_NoGatewayIdentity(&run); // no session, no gateway log
    else
        openGatewaySession(&run, argc, argv);
    applyUmask(&run);

    resolveArchivePath(&run);
    if (!isatty2)
        velk_option_flags &= ~VELK_OPT_CONFIRM; // confirmation needs a terminal
    if (velk_InitGlobalLocks() != 0)
        failRun(VELK_EXIT_OSERR);
    nameIndexFile();
    if (velk_OperandsChangeDirectory(&run) && velk_AnchorLocalPaths(&run) != 0)
        failRun(VELK_EXIT_OSERR);

    if (dispatch(&run) < 0)
        velk_SetExitCode(VELK_EXIT_OSERR);
    velk_EndRun(false);
}
