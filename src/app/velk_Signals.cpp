// Signal handling.  velk_SigInit blocks SIGUSR1, SIGUSR2 and the stop
// signals (SIGINT, SIGTERM, SIGHUP) in the initial thread before any other
// thread exists, so every later thread inherits the block and only the
// signal thread, waiting in sigwait, receives them.  SIGUSR2 writes a state
// dump (the signal thread alone writes it); SIGUSR1 and the
// stop signals start the one-way forced shutdown.  A stop signal that was
// ignored when velk started (as under nohup) stays ignored.

#include "velk_Signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <strings.h>
#include <unistd.h>

#include "kyl_mutex.h"
#include "quor_api.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"
#include "velk_StatusFifo.h"
#include "velk_Utils.h"

namespace {

constexpr const char *kGraceEnv = "VELK_TESTONLY_SHUTDOWN_GRACE";
constexpr int kMaxGraceSeconds = 30;
constexpr int kDumpRuleLength = 37;

// What the signal thread works with, made by velk_SigInit before the
// thread starts and handed to it; only that thread uses it afterwards.  It
// lives as long as the thread, to the end of the process.
struct SignalSetup {
    // The signals the thread waits for.
    sigset_t waited;
    // Grace period of a forced shutdown, in seconds.
    int graceSeconds;
    // The configured state file (owned, null when none), and where state
    // dumps go, decided from it at the first dump.
    char *stateFile;
    bool dumpDecided;
    FILE *dumpStream;
};

// Signals that end a run as SIGUSR1 does, with their names.
struct stop_signal_t {
    int sig;
    const char *name;
};
constexpr stop_signal_t kStopSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

// SIGUSR1, SIGUSR2 and every stop signal not ignored at start.
void signal_set(sigset_t *set)
{
    sigemptyset(set);
    sigaddset(set, SIGUSR1);
    sigaddset(set, SIGUSR2);
    for (const stop_signal_t &s : kStopSignals) {
        struct sigaction old;
        if (sigaction(s.sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaddset(set, s.sig);
    }
}

const char *stop_signal_name(int sig)
{
    for (const stop_signal_t &s : kStopSignals)
        if (s.sig == sig)
            return s.name;
    return nullptr;
}

// The grace period: whole seconds 0..30 from the environment; anything
// else leaves the default of 30.
int grace_seconds()
{
    const char *text = getenv(kGraceEnv);
    if (text == nullptr || *text == '\0')
        return kMaxGraceSeconds;
    char *end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > kMaxGraceSeconds)
        return kMaxGraceSeconds;
    return static_cast<int>(value);
}

// The dump destination the configured state file name gives: none, the
// standard streams, or a file opened for appending.  A file that can't be
// opened drops the setting for the rest of the run.
FILE *dump_stream_named(const char *name)
{
    if (name == nullptr || *name == '\0' || strcasecmp(name, "NULL") == 0)
        return nullptr;
    if (strcasecmp(name, "STDOUT") == 0)
        return stdout;
    if (strcasecmp(name, "STDERR") == 0)
        return stderr;
    return fopen(name, "a");
}

// Writes the state dump to the configured state file, if any.
void dump_status(SignalSetup *setup)
{
    if (!setup->dumpDecided) {
        setup->dumpStream = dump_stream_named(setup->stateFile);
        setup->dumpDecided = true;
    }
    FILE *out = setup->dumpStream;
    if (out == nullptr)
        return;

    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char when[32];
    if (ctime_r(&now.tv_sec, when) == nullptr)
        when[0] = '\0';
    const char *phase = velk_StatusPhaseString();
    int phase_no = velk_GetProgramPhase();

    char rule[kDumpRuleLength + 1];
    for (int i = 0; i < kDumpRuleLength; i++)
        rule[i] = '+';
    rule[kDumpRuleLength] = '\0';

    fprintf(out,
            "%s\n"
            "%19.19s.%3.3ld State Dump Action=%s\n"
            "Current program phase ........... %s (%d)\n",
            rule, when, now.tv_nsec / 1000000, velk_FunctionToString(velk_function), phase ? phase : "UNKNOWN",
            phase_no);
    fflush(out);
}

void *signal_thread(void *arg)
{
    auto *setup = static_cast<SignalSetup *>(arg);
    for (;;) {
        int sig = 0;
        if (sigwait(&setup->waited, &sig) != 0)
            continue;
        if (sig == SIGUSR2) {
            if (velk_debug_level >= 1)
                velk_ErrPrintf("%s: caught signal SIGUSR2\n", "velk_SignalThread");
            dump_status(setup);
        } else if (sig == SIGUSR1 || stop_signal_name(sig) != nullptr) {
            // The action is told at once; the message follows.
            velk_shutdown_signalled.store(1);
            if (velk_debug_level >= 1)
                velk_ErrPrintf("%s: caught signal %s\n", "velk_SignalThread",
                               sig == SIGUSR1 ? "SIGUSR1" : stop_signal_name(sig));
            velk_ForcedShutdown(setup->graceSeconds);
        }
    }
    return nullptr;
}

} // namespace

int velk_SigInit(const char *stateFile)
{
    auto *setup = static_cast<SignalSetup *>(VELK_CALLOC(1, sizeof(SignalSetup)));
    if (setup == nullptr)
        return -1;
    if (stateFile != nullptr && (setup->stateFile = VELK_STRDUP(stateFile)) == nullptr) {
        VELK_FREE(setup);
        return -1;
    }
    setup->graceSeconds = grace_seconds();
    signal_set(&setup->waited);
    int rc = pthread_sigmask(SIG_BLOCK, &setup->waited, nullptr);
    if (rc != 0) {
        velk_ErrPrintf("%s (%s) error %d initializing signal mask (line %d)\n", velk_msg_prefix[VELK_MSG_ERROR],
                       "velk_SigInit", rc, __LINE__);
        velk_SetExitCode(VELK_EXIT_OSERR);
        VELK_FREE(setup->stateFile);
        VELK_FREE(setup);
        return -1;
    }

    pthread_t thread;
    pthread_attr_t attr;
    rc = kylgw_ThreadAttrInit(&attr);
    if (rc == 0) {
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (rc == 0)
            rc = kylgw_ThreadCreate(&thread, &attr, signal_thread, setup);
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        velk_ErrPrintf("%s (%s) *** Error %d creating thread at line %d\n", velk_msg_prefix[VELK_MSG_ERROR],
                       "velk_SigInit", rc, __LINE__);
        velk_SetExitCode(VELK_EXIT_OSERR);
        VELK_FREE(setup->stateFile);
        VELK_FREE(setup);
        return -1;
    }
    return 0;
}

void velk_ForcedShutdown(int graceSeconds)
{
    // The flag goes up first, so that whoever sees the phase or the status
    // line can count on the action having been told.
    velk_shutdown_signalled.store(1);
    velk_SetProgramPhase(VTP_FORCED_SHUTDOWN);
    if (velk_Opt(VELK_OPT_STATUS_FIFO))
        velk_StatusMsg(1, "SHUTDOWN initiated");

    // The running action polls the flag, stops, and removes what it was
    // writing; whatever is still running after the grace period is cut off.
    kylgw_ThreadSleep(static_cast<unsigned>(graceSeconds), 0);
    kill(getpid(), SIGKILL);
    _exit(VELK_EXIT_SOFTWARE);
}
