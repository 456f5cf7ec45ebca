// The status FIFO (-N), the program phase, and the two global locks.
// Any thread may set the phase or post a status line; the detached status
// thread writes the pending line, or a heartbeat when none is pending, once
// every interval seconds.  statusFifoLock guards the pending line,
// the FIFO descriptor once the status thread runs, and every write to the
// FIFO; it is held for one replacement and at most one write.  The
// listing-file lock serialises multi-line output of several threads.

#include "velk_StatusFifo.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "kyl_mutex.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"

// Opened (write-only, non-blocking) by the command-line parser before any
// thread exists; afterwards read and closed only under statusFifoLock.
int velk_status_pipefd = -1;

namespace {

struct phase_row {
    int phase;
    const char *name;
};

// Number and name of every program phase.
constexpr phase_row phaseTable[] = {
    {VTP_OPEN_CONNECTION, "OPEN_CONNECTION"},
    {VTP_SHUTDOWN, "SHUTDOWN"},
    {VTP_FORCED_SHUTDOWN, "FORCED_SHUTDOWN"},
    {VTP_GEN_FILELIST, "GEN_FILELIST"},
    {VTP_CREATE_WRITEARCHIVE, "CREATE-WRITE_ARCHIVE"},
    {VTP_CREATE_VERIFYARCHIVE, "CREATE-VERIFY_ARCHIVE"},
    {VTP_CREATE_COPYINDEX, "CREATE-COPY_INDEX"},
    {VTP_CREATE_RMLOCAL, "CREATE-RM_LOCALFILES"},
    {VTP_EXTRACT_OPEN_FILES, "EXTRACT-OPEN_FILES"},
    {VTP_EXTRACT_PASS1, "EXTRACT-PASS1"},
    {VTP_EXTRACT_READARCHIVE, "EXTRACT-READ_ARCHIVE"},
    {VTP_LIST_OPENINDEX, "LIST-OPEN_INDEX"},
    {VTP_LIST_READINDEX, "LIST-READ_INDEX"},
    {VTP_BLDIDX_OPENFILES, "BUILD_INDEX-OPEN_FILES"},
    {VTP_BLDIDX_READARCHIVE, "BUILD_INDEX-READ_ARCHIVE"},
    {VTP_VERIFY_PASS1, "VERIFY-PASS1"},
    {VTP_VERIFY_PASS2, "VERIFY-PASS2"},
};
static_assert(sizeof phaseTable / sizeof phaseTable[0] == 17, "one row per program phase");

// Shown in status lines while the phase has no name (before the first phase
// is set, or a value outside the table).
constexpr const char *kUnnamedPhase = "UNKNOWN";

// Blank, blank, newline and NUL around the process ID and the phase name in
// "<pid> <phase> <text>\n", plus one byte of slack.
constexpr int kStatusLineOverhead = 5;

std::atomic<int> velk_prog_phase{0};

kyl_mutex_t listingFileLock;
kyl_mutex_t statusFifoLock;

// The line the status thread writes at its next turn instead of a
// heartbeat; empty when nothing is pending.
char status_line[VELK_STATUS_LINE_MAX + 1] KYL_GUARDED_BY(statusFifoLock);

// Set once velk_InitStatusFifo has run; status lines are dropped before.
std::atomic<bool> status_ready{false};

// The process ID as decimal text in buf; returns its length.
size_t pid_text(char (&buf)[20])
{
    int n = snprintf(buf, sizeof buf, "%u", static_cast<unsigned>(getpid()));
    return n > 0 ? static_cast<size_t>(n) : 0;
}

const char *phase_name_or_unnamed(int phase)
{
    const char *name = velk_LookupProgPhase(phase);
    return name != nullptr ? name : kUnnamedPhase;
}

// SIGPIPE must be ignored before anything is written to the FIFO: a reader
// that goes away would otherwise end the process on the next write.  The run
// sequence ignores it process-wide before any thread starts; this makes sure
// of it for every other way into this unit.
void ensure_sigpipe_ignored()
{
    struct sigaction current;
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
        return;
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

// Writes the pending line with its NUL byte and empties it.  Errors (no
// reader, a full FIFO, a closed descriptor) are ignored: status reporting
// never disturbs the run.
void write_status_line_locked() KYL_REQUIRES(statusFifoLock)
{
    size_t len = strlen(status_line);
    if (velk_status_pipefd >= 0) {
        ssize_t rc;
        do {
            rc = write(velk_status_pipefd, status_line, len + 1);
        } while (rc < 0 && errno == EINTR);
    }
    status_line[0] = '\0';
}

void status_thread(int interval)
{
    for (;;) {
        {
            kyl_lock_guard g(statusFifoLock);
            if (status_line[0] == '\0')
                snprintf(status_line, sizeof status_line, "%u %s HEARTBEAT\n", static_cast<unsigned>(getpid()),
                         phase_name_or_unnamed(velk_prog_phase.load()));
            write_status_line_locked();
        }
        std::this_thread::sleep_for(std::chrono::seconds(interval > 0 ? interval : 1));
    }
}

} // namespace

int velk_InitStatusFifo()
{
    ensure_sigpipe_ignored();
    {
        kyl_lock_guard g(statusFifoLock);
        status_line[0] = '\0';
    }
    status_ready.store(true);
    return 0;
}

int velk_StartStatusThread(int interval)
{
    try {
        // Detached: the thread ends with the process.
        std::thread(status_thread, interval).detach();
    } catch (const std::system_error &e) {
        velk_ErrPrintf("%s (%s) *** Error %d creating thread at line %d\n", velk_msg_prefix[VELK_MSG_ERROR],
                       "velk_StartStatusThread", e.code().value(), __LINE__);
        velk_SetExitCode(VELK_EXIT_OSERR);
        return -1;
    }
    std::this_thread::yield();
    return 0;
}

void velk_StatusMsg(int immediate, const char *fmt, ...)
{
    if (!status_ready.load() || !velk_Opt(VELK_OPT_STATUS_FIFO))
        return;

    // One phase for both the length limit and the line, so that the line
    // always fits with its newline even if the phase changes meanwhile.  The
    // line is built before the lock is taken.
    const char *phase = phase_name_or_unnamed(velk_prog_phase.load());
    char pid[20];
    size_t pidLen = pid_text(pid);
    long limit = static_cast<long>(VELK_STATUS_LINE_MAX) - static_cast<long>(pidLen) -
                 static_cast<long>(strlen(phase)) - kStatusLineOverhead;
    if (limit < 0)
        limit = 0;
    char line[VELK_STATUS_LINE_MAX + 1];
    int head = snprintf(line, sizeof line, "%s %s ", pid, phase);
    size_t pos = head > 0 ? static_cast<size_t>(head) : 0;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line + pos, static_cast<size_t>(limit) + 1, fmt, ap);
    va_end(ap);
    pos += strlen(line + pos);
    line[pos++] = '\n';
    line[pos] = '\0';

    kyl_lock_guard g(statusFifoLock);
    memcpy(status_line, line, pos + 1);
    if (immediate == 1)
        write_status_line_locked();
}

void velk_CloseStatusFifo()
{
    kyl_lock_guard g(statusFifoLock);
    if (velk_status_pipefd >= 0) {
        close(velk_status_pipefd);
        velk_status_pipefd = -1;
    }
}

void velk_SetProgramPhase(int phase)
{
    velk_prog_phase.store(phase);
}

int velk_GetProgramPhase()
{
    return velk_prog_phase.load();
}

const char *velk_LookupProgPhase(int phase)
{
    for (const phase_row &row : phaseTable)
        if (row.phase == phase)
            return row.name;
    return nullptr;
}

const char *velk_StatusPhaseString()
{
    return velk_LookupProgPhase(velk_prog_phase.load());
}

namespace {

// The locks are statically initialised, so they already work when the
// status thread starts, well before the run sequence gets here.  What
// remains to check is that each one can be taken; EBUSY only means another
// thread holds it right now.
int check_lock(kyl_mutex_t &mu, const char *name)
{
    int rc = pthread_mutex_trylock(mu.native());
    if (rc == 0)
        pthread_mutex_unlock(mu.native());
    else if (rc != EBUSY) {
        char msg[80];
        snprintf(msg, sizeof msg, "Error initializing mutex: %s", name);
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, msg);
        return -1;
    }
    return 0;
}

} // namespace

int velk_InitGlobalLocks()
{
    int rc = check_lock(listingFileLock, "listingFileLock");
    if (check_lock(statusFifoLock, "statusFifoLock") != 0)
        rc = -1;
    return rc;
}

// The lock/unlock pairs span calls, which the lock analysis cannot follow.
void velk_LockListingFile() KYL_NO_THREAD_SAFETY_ANALYSIS
{
    listingFileLock.lock();
}

void velk_UnlockListingFile() KYL_NO_THREAD_SAFETY_ANALYSIS
{
    listingFileLock.unlock();
}

void velk_LockStatusFifo() KYL_NO_THREAD_SAFETY_ANALYSIS
{
    statusFifoLock.lock();
}

void velk_UnlockStatusFifo() KYL_NO_THREAD_SAFETY_ANALYSIS
{
    statusFifoLock.unlock();
}
