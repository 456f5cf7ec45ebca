// kylgwd's process model: checks the command line, opens the logs, detaches
// unless --foreground (the parent waits on a pipe until the daemon listens),
// routes SIGTERM and SIGINT to a signalfd, listens, writes the port and pid
// files (and tells systemd it is ready when NOTIFY_SOCKET names a socket)
// and runs the accept loop until a stop signal.  SIGHUP goes to a
// thread of its own that reopens the log files (after logrotate).  Runs on
// the main thread; the signal mask is set before the first other thread
// starts, so every thread inherits it and no work happens in a signal
// handler.

#include "gw_daemon.h"

#include "gw_config.h"
#include "gw_events.h"
#include "gw_fileops.h"
#include "gw_listener.h"
#include "gw_log.h"
#include "gw_mvdaemon.h"
#include "gw_mvremote.h"
#include "gw_options.h"
#include "gw_proto.h"
#include "gw_session.h"
#include "gw_users.h"
#include "gw_version.h"
#include "gw_workers.h"

#include <quorex_crypto.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <vector>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

// Most bytes of the start-up failure message passed from the detached
// daemon to the waiting parent.
constexpr size_t GW_STARTUP_MSG_MAX = 1024;

// The configuration the sessions serve.  Written by the main thread during
// start-up, before any other thread exists; read-only afterwards.
static gw_config_t gw_config;

// Write end of the start-up pipe in a detaching daemon, -1 in the
// foreground.  Written by the main thread before other threads exist.
static int gw_readyFd = -1;

// Reports a start-up failure: on standard error in the foreground, through
// the start-up pipe to the waiting parent when detaching, and in the log
// when it is a file.  Returns status.
static int gw_StartupFailed(int status, const std::string &msg)
{
    if (!gw_LogUsesStderr())
        gw_Log("cannot start: %s", msg.c_str());
    if (gw_readyFd >= 0) {
        std::string out(1, static_cast<char>(status));
        out += msg.substr(0, GW_STARTUP_MSG_MAX);
        ssize_t w = write(gw_readyFd, out.data(), out.size());
        (void)w;
        close(gw_readyFd);
        gw_readyFd = -1;
    } else {
        fprintf(stderr, "kylgwd: %s\n", msg.c_str());
    }
    return status;
}

// Forks.  In the parent, waits until the child reports that it listens or
// failed, and returns the parent's exit status.  In the child, starts a new
// session, sets gw_readyFd and returns -1.
static int gw_Detach()
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        fprintf(stderr, "kylgwd: cannot detach: pipe: %s\n", strerror(errno));
        return GW_EXIT_OSERR;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "kylgwd: cannot detach: fork: %s\n", strerror(errno));
        close(p[0]);
        close(p[1]);
        return GW_EXIT_OSERR;
    }
    if (pid == 0) {
        close(p[0]);
        setsid();
        gw_readyFd = p[1];
        return -1;
    }

    close(p[1]);
    std::string msg;
    char buf[256];
    for (;;) {
        ssize_t got = read(p[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        msg.append(buf, static_cast<size_t>(got));
        if (msg.size() > GW_STARTUP_MSG_MAX + 1)
            break;
    }
    close(p[0]);
    if (msg.empty()) {
        // The child closed the pipe without a word: it died.
        int st = 0;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        if (WIFSIGNALED(st))
            fprintf(stderr, "kylgwd: the daemon was killed by signal %d during start-up\n", WTERMSIG(st));
        else
            fprintf(stderr, "kylgwd: the daemon ended during start-up with status %d\n", WEXITSTATUS(st));
        return GW_EXIT_OSERR;
    }
    int status = static_cast<unsigned char>(msg[0]);
    if (status != GW_EXIT_OK)
        fprintf(stderr, "kylgwd: %s\n", msg.substr(1).c_str());
    return status;
}

// Writes text to path through a temporary file and a rename, so a reader
// never sees a partly written file.  Returns 0 or -errno.
static int gw_WriteFileAtomic(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".tmp." + std::to_string(static_cast<long>(getpid()));
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return -errno;
    size_t off = 0;
    while (off < text.size()) {
        ssize_t w = write(fd, text.data() + off, text.size() - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            int e = w < 0 ? errno : EIO;
            close(fd);
            unlink(tmp.c_str());
            return -e;
        }
        off += static_cast<size_t>(w);
    }
    if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        return -e;
    }
    return 0;
}

// Blocks the stop signals and SIGHUP in this (still the only) thread and
// returns a signalfd that reports the stop signals, or -errno.  SIGPIPE is
// ignored so a vanished client shows up as EPIPE on its own session
// instead of ending the daemon.
static int gw_SetupSignals()
{
    signal(SIGPIPE, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGHUP);
    int rc = pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    if (rc != 0)
        return -rc;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    rc = pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    if (rc != 0)
        return -rc;
    int fd = signalfd(-1, &mask, SFD_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

// The thread that takes SIGHUP (blocked everywhere, so it waits in
// sigwait) and reopens the daemon log and the event log at their paths.
// Started after gw_SetupSignals, stopped and joined before the logs close.
class gw_HupThread {
public:
    gw_HupThread() = default;
    ~gw_HupThread() { stop(); }
    gw_HupThread(const gw_HupThread &) = delete;
    gw_HupThread &operator=(const gw_HupThread &) = delete;

    // Returns 0 or the pthread error number.
    int start()
    {
        int rc = pthread_create(&thread_, nullptr, run, this);
        started_ = rc == 0;
        return rc;
    }
    // Wakes the thread with a SIGHUP of its own and joins it.
    void stop()
    {
        if (!started_)
            return;
        started_ = false;
        stopping_.store(true);
        pthread_kill(thread_, SIGHUP);
        pthread_join(thread_, nullptr);
    }

private:
    static void *run(void *arg)
    {
        auto *self = static_cast<gw_HupThread *>(arg);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGHUP);
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0)
                continue;
            if (self->stopping_.load())
                return nullptr;
            // Both files are reopened before the line that says so: whoever
            // waits for it finds every later line and event at the new paths.
            int rc = gw_LogReopen();
            int erc = gw_EventsReopen();
            if (rc != 0)
                gw_Log("received SIGHUP: cannot reopen the log: %s; still writing to the old file", strerror(-rc));
            else
                gw_Log("received SIGHUP: reopened the log files");
            if (erc != 0)
                gw_Log("received SIGHUP: cannot reopen the event log: %s", strerror(-erc));
        }
    }

    pthread_t thread_{};
    bool started_ = false;
    std::atomic<bool> stopping_{false};
};

// Detaching: standard input and output go to /dev/null at once; standard
// error too once the daemon runs, unless the log is written there.
static void gw_RedirectStdio(bool includeStderr)
{
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        return;
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    if (includeStderr)
        dup2(null, STDERR_FILENO);
    close(null);
}

// Sends a state line ("READY=1", "STOPPING=1") to the service manager's
// notification socket when NOTIFY_SOCKET names one (a path, or "@name" in
// the abstract namespace); does nothing otherwise.  The datagram is the
// whole protocol, so no library is needed.  Returns 0 or -errno.
static int gw_NotifyServiceManager(const std::string &state)
{
    const char *path = getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@'))
        return 0;
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    const size_t n = strlen(path);
    if (n < 2 || n >= sizeof sa.sun_path)
        return -ENAMETOOLONG;
    memcpy(sa.sun_path, path, n);
    if (sa.sun_path[0] == '@')
        sa.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    const socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + n);
    ssize_t sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<struct sockaddr *>(&sa), len);
    int rc = sent < 0 ? -errno : 0;
    close(fd);
    return rc;
}

// True when the listening socket is bound to a loopback address.
static bool gw_ListensOnLoopback(int listenFd)
{
    struct sockaddr_storage ss {};
    socklen_t len = sizeof ss;
    if (getsockname(listenFd, reinterpret_cast<struct sockaddr *>(&ss), &len) != 0)
        return false;
    if (ss.ss_family == AF_INET) {
        const auto *a = reinterpret_cast<const struct sockaddr_in *>(&ss);
        return (ntohl(a->sin_addr.s_addr) >> 24) == 127;
    }
    if (ss.ss_family == AF_INET6) {
        const auto *a = reinterpret_cast<const struct sockaddr_in6 *>(&ss);
        if (IN6_IS_ADDR_LOOPBACK(&a->sin6_addr))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&a->sin6_addr) && a->sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

// Warns about set-ups that work but are probably not what the
// administrator meant: a daemon reachable from other hosts that nobody
// can log in to, and keytabs that other local users can read (a keytab
// is a password).
static void gw_StartupWarnings(const std::string &bound, int listenFd)
{
    const size_t users = gw_config.users != nullptr ? gw_config.users->users.size() : 0;
    if (users == 0 && !gw_ListensOnLoopback(listenFd))
        gw_LogWarning("listening on %s, which is not a loopback address, with no users configured: every login "
                      "will be refused",
                      bound.c_str());
    if (gw_config.users == nullptr)
        return;
    for (const gw_user_t &u : gw_config.users->users) {
        struct stat st;
        if (u.keytabPath.empty() || stat(u.keytabPath.c_str(), &st) != 0)
            continue;
        if ((st.st_mode & (S_IROTH | S_IWOTH)) != 0)
            gw_LogWarning("keytab %s of user %s is accessible to others (mode %04o): make it 0600",
                          u.keytabPath.c_str(), u.name.c_str(), static_cast<unsigned>(st.st_mode & 07777));
    }
}

static void gw_LogStart(const gw_options_t &o, const std::string &bound)
{
    gw_Log("kylgwd %s (built %s)", GW_VERSION_NUMBER, GW_BUILD_DATE);
    if (o.mover)
        gw_Log("starting: mover daemon listening on %s, root %s", bound.c_str(), o.root.c_str());
    else
        gw_Log("starting: listening on %s, run mode %d (%s), root %s, meta %s", bound.c_str(), o.runMode,
               o.runMode == GW_RUNMODE_STORAGE ? "storage system" : "file-system gateway", o.root.c_str(),
               o.meta.empty() ? "(none)" : o.meta.c_str());
    for (const gw_moverdef_t &m : gw_config.movers)
        gw_Log("mover daemon %s at %s:%d, weight %u", m.name.c_str(), m.host.c_str(), m.port, m.weight);
    if (geteuid() == 0)
        gw_Log("running as root: each request runs with the authenticated user's uid and gid");
    else
        gw_Log("running unprivileged: every user acts as uid %ld (gid %ld)", static_cast<long>(geteuid()),
               static_cast<long>(getegid()));
    if (!o.configFile.empty())
        gw_Log("configuration file %s", o.configFile.c_str());
    if (!o.faultsFile.empty())
        gw_Log("fault script %s", o.faultsFile.c_str());
    if (!o.eventsFile.empty())
        gw_Log("event log %s", o.eventsFile.c_str());
}

// Runs the daemon after the command line was checked and the logs opened.
// Raises the soft limit on open descriptors to the hard limit: every
// session holds a connection (and a gateway-host session its kept data
// connections), and the usual soft limit of 1024 is below what the session
// table admits.  A failure only keeps the lower limit.
static void gw_RaiseDescriptorLimit()
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
            gw_Log("cannot raise the open-file limit: %s", strerror(errno));
    }
}

static int gw_Run(const gw_options_t &o)
{
    gw_RaiseDescriptorLimit();
    int sigFd = gw_SetupSignals();
    if (sigFd < 0)
        return gw_StartupFailed(GW_EXIT_OSERR, std::string("cannot set up signal handling: ") + strerror(-sigFd));
    // Declared after the signal set-up and before everything that may
    // return, so it is joined on every way out of this function.
    gw_HupThread hup;
    if (int hrc = hup.start(); hrc != 0) {
        close(sigFd);
        return gw_StartupFailed(GW_EXIT_OSERR, std::string("cannot start the signal thread: ") + strerror(hrc));
    }

    std::string bound, err;
    int port = 0;
    int listenFd = gw_ListenOpen(o.listenHost, o.listenPort, &bound, &port, &err);
    if (listenFd < 0) {
        close(sigFd);
        return gw_StartupFailed(GW_EXIT_UNAVAILABLE, err);
    }

    // Logged before the port file appears, so whoever waits for that file
    // finds the start-up lines complete.
    gw_LogStart(o, bound);
    if (!o.mover)
        gw_StartupWarnings(bound, listenFd); // a mover daemon has no users
    if (struct stat st; !gw_config.moverKey.empty() && stat(gw_config.moverKey.c_str(), &st) == 0 &&
                        (st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        gw_LogWarning("mover key %s is accessible to others (mode %04o): make it 0600", gw_config.moverKey.c_str(),
                      static_cast<unsigned>(st.st_mode & 07777));
    gw_event("start").str("listen", bound).num("port", port).num("runmode", o.runMode).emit();

    if (quorex_OpenSSLInit() != 0) {
        close(listenFd);
        close(sigFd);
        return gw_StartupFailed(GW_EXIT_OSERR, "cannot initialise OpenSSL");
    }
    int rc0 = 0;
    gw_ProtoSetup(&gw_config);
    rc0 = gw_FsSetup(o.root.c_str(), o.meta.c_str(), o.runMode);
    if (rc0 != 0) {
        close(listenFd);
        close(sigFd);
        return gw_StartupFailed(GW_EXIT_OSERR, std::string("cannot open the served tree: ") + strerror(-rc0));
    }
    gw_SessionSetup(o.faultsFile.c_str());
    rc0 = gw_WorkersStart();
    int rc = rc0;
    if (rc != 0) {
        close(listenFd);
        close(sigFd);
        return gw_StartupFailed(GW_EXIT_OSERR, std::string("cannot start the worker threads: ") + strerror(-rc));
    }
    if (!o.pidFile.empty() &&
        (rc = gw_WriteFileAtomic(o.pidFile, std::to_string(static_cast<long>(getpid())) + "\n")) != 0) {
        gw_WorkersStop();
        close(listenFd);
        close(sigFd);
        return gw_StartupFailed(GW_EXIT_CANTCREAT, "--pidfile " + o.pidFile + ": " + strerror(-rc));
    }
    // The port file last: its appearance tells a waiting test that the
    // daemon accepts connections.
    if (!o.portFile.empty() && (rc = gw_WriteFileAtomic(o.portFile, std::to_string(port) + "\n")) != 0) {
        gw_WorkersStop();
        close(listenFd);
        close(sigFd);
        if (!o.pidFile.empty())
            unlink(o.pidFile.c_str());
        return gw_StartupFailed(GW_EXIT_CANTCREAT, "--portfile " + o.portFile + ": " + strerror(-rc));
    }

    if (gw_readyFd >= 0) {
        // Release the caller's standard error before telling it that we
        // listen, so a caller reading it to the end is not held up.
        gw_RedirectStdio(!gw_LogUsesStderr());
        char ok = GW_EXIT_OK;
        ssize_t w = write(gw_readyFd, &ok, 1);
        (void)w;
        close(gw_readyFd);
        gw_readyFd = -1;
    }

    if (int nrc = gw_NotifyServiceManager("READY=1\nMAINPID=" + std::to_string(static_cast<long>(getpid()))); nrc != 0)
        gw_LogWarning("cannot report readiness to the service manager: %s", strerror(-nrc));

    int how = o.mover ? gw_MvDaemonServe(listenFd, sigFd, o.faultsFile) : gw_ServeUntilSignal(listenFd, sigFd);
    (void)gw_NotifyServiceManager("STOPPING=1");
    close(sigFd);
    // Every session was joined, and each waited for its own jobs.
    gw_WorkersStop();

    if (!o.portFile.empty())
        unlink(o.portFile.c_str());
    if (!o.pidFile.empty())
        unlink(o.pidFile.c_str());
    gw_event("stop").num("signal", how > 0 ? how : 0).emit();
    if (how < 0) {
        gw_Log("stopped after an error in the accept loop: %s", strerror(-how));
        return GW_EXIT_OSERR;
    }
    gw_Log("stopped");
    return GW_EXIT_OK;
}

// kylgwd --check-config FILE: every problem of FILE on standard error, one
// a line with its file and line, and a status an install script can test.
static int gw_CheckConfigCommand(const gw_options_t &opts)
{
    std::vector<std::string> problems;
    const int n = gw_ConfigCheck(opts.configFile.c_str(), opts.runMode, &problems);
    for (const std::string &p : problems)
        fprintf(stderr, "kylgwd: %s\n", p.c_str());
    if (n != 0) {
        fprintf(stderr, "kylgwd: %s: %d problem%s found\n", opts.configFile.c_str(), n, n == 1 ? "" : "s");
        return GW_EXIT_CONFIG;
    }
    printf("kylgwd: %s: no problems found\n", opts.configFile.c_str());
    return GW_EXIT_OK;
}

int gw_DaemonMain(int argc, char **argv)
{
    gw_options_t opts;
    std::string err;
    switch (gw_ParseOptions(argc, argv, &opts, &err)) {
    case gw_parse_t::help: fputs(gw_UsageText(), stdout); return GW_EXIT_OK;
    case gw_parse_t::version: fputs(gw_VersionText(), stdout); return GW_EXIT_OK;
    case gw_parse_t::hash_password: return gw_HashPasswordCommand(stdin, stdout);
    case gw_parse_t::check_config: return gw_CheckConfigCommand(opts);
    case gw_parse_t::usage:
        fprintf(stderr, "kylgwd: %s (kylgwd --help lists the options)\n", err.c_str());
        return GW_EXIT_USAGE;
    case gw_parse_t::run: break;
    }
    if (gw_CheckOptionPaths(&opts, &err) != 0) {
        fprintf(stderr, "kylgwd: %s\n", err.c_str());
        return GW_EXIT_USAGE;
    }

    gw_ConfigDefaults(&gw_config, opts.runMode);
    if (!opts.configFile.empty() && gw_ConfigLoad(opts.configFile.c_str(), &gw_config, &err) != 0) {
        fprintf(stderr, "kylgwd: --config %s\n", err.c_str());
        return GW_EXIT_CONFIG;
    }
    if ((opts.mover ? gw_MvDaemonSetup(&gw_config, &err) : gw_RemoteSetup(&gw_config, &err)) != 0) {
        fprintf(stderr, "kylgwd: --config %s: %s\n", opts.configFile.c_str(), err.c_str());
        return GW_EXIT_CONFIG;
    }

    if (opts.syslog)
        gw_LogUseSyslog();
    int rc = gw_LogOpen(opts.logFile.c_str());
    if (rc != 0) {
        fprintf(stderr, "kylgwd: --log %s: %s\n", opts.logFile.c_str(), strerror(-rc));
        return GW_EXIT_CANTCREAT;
    }
    if (!opts.eventsFile.empty() && (rc = gw_EventsOpen(opts.eventsFile.c_str())) != 0) {
        fprintf(stderr, "kylgwd: --events %s: %s\n", opts.eventsFile.c_str(), strerror(-rc));
        gw_LogClose();
        return GW_EXIT_CANTCREAT;
    }

    if (!opts.foreground) {
        int parentStatus = gw_Detach();
        if (parentStatus >= 0) {
            gw_EventsClose();
            gw_LogClose();
            return parentStatus;
        }
        // Every path is absolute by now; do not pin the caller's directory.
        if (chdir("/") != 0) {
            int st = gw_StartupFailed(GW_EXIT_OSERR, std::string("chdir /: ") + strerror(errno));
            gw_EventsClose();
            gw_LogClose();
            return st;
        }
        gw_RedirectStdio(false);
    }

    int status = gw_Run(opts);
    gw_RemoteShutdown();
    gw_EventsClose();
    gw_LogClose();
    return status;
}
