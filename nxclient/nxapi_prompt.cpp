// Terminal prompts of the login methods.  Called by the thread that opens a
// gateway connection; prompt_lock serialises prompts and guards the
// terminal path.  While echo is off the terminal's saved settings are kept
// where the signal handlers can reach them: a SIGHUP, SIGQUIT or SIGINT
// then restores the terminal, puts the previous disposition back and raises
// the signal again, so an interrupted run still ends (or goes on) as it
// would have without the prompt, but never with echo left off.  A run that
// takes its signals on a thread of its own learns of them through the stop
// hook: every read of the terminal waits in slices and gives up once the
// hook says stop, so a signal at a prompt ends the prompt and the run.

#include "nxapi_prompt.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kyl_fd.h"
#include "kyl_mutex.h"
#include "nxapi_private.h"
#include "quorex_crypto.h"

namespace {

kyl_mutex_t prompt_lock; // one prompt at a time; the terminal path
char tty_path[NXAPI_TTY_PATH_MAX] KYL_GUARDED_BY(prompt_lock) = "/dev/tty";

// Read by the signal handlers: the descriptor whose settings are to be
// restored (-1 while echo is on) and those settings.  Written only while
// the handlers are not installed.
volatile sig_atomic_t echo_fd = -1;
struct termios echo_saved;
constexpr int kSignals[] = {SIGHUP, SIGQUIT, SIGINT};
constexpr int kSignalCount = 3;
struct sigaction prev_actions[kSignalCount];

int signalIndex(int sig)
{
    for (int i = 0; i < kSignalCount; i++)
        if (kSignals[i] == sig)
            return i;
    return -1;
}

// Restores the terminal, then lets the signal take its previous course.
void restoreOnSignal(int sig)
{
    int saved = errno;
    int fd = echo_fd;
    if (fd >= 0) {
        tcsetattr(fd, TCSANOW, &echo_saved);
        echo_fd = -1;
    }
    int i = signalIndex(sig);
    if (i >= 0) {
        sigaction(sig, &prev_actions[i], nullptr);
        raise(sig); // delivered with the previous disposition once this handler returns
    }
    errno = saved;
}

// readLine's result when the run was told to stop.
constexpr int kStopped = -2;

// Owns the terminal descriptor of one prompt.
class Terminal {
public:
    explicit Terminal(const char *path) : fd_(open(path, O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~Terminal() { echoOn(); }
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    int fd() const { return fd_.get(); }
    bool isTty() const { return fd_.valid() && isatty(fd_.get()) == 1; }

    void write(const char *text) const
    {
        size_t n = strlen(text);
        while (n > 0) {
            ssize_t w = ::write(fd_.get(), text, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return;
            text += w;
            n -= static_cast<size_t>(w);
        }
    }

    void clearLine() const
    {
        char line[NXAPI_PROMPT_CLEAR_WIDTH + 2];
        line[0] = '\r';
        memset(line + 1, ' ', NXAPI_PROMPT_CLEAR_WIDTH);
        line[NXAPI_PROMPT_CLEAR_WIDTH + 1] = '\0';
        write(line);
    }

    // Switches echo off and installs the restoring handlers.
    bool echoOff()
    {
        struct termios t;
        if (tcgetattr(fd_.get(), &t) != 0)
            return false;
        echo_saved = t;
        struct sigaction sa = {};
        sa.sa_handler = restoreOnSignal;
        sigemptyset(&sa.sa_mask);
        for (int i = 0; i < kSignalCount; i++)
            sigaction(kSignals[i], &sa, &prev_actions[i]);
        echo_fd = fd_.get();
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
        if (tcsetattr(fd_.get(), TCSAFLUSH, &t) != 0) {
            echoOn();
            return false;
        }
        handlers_ = true;
        return true;
    }

    // Restores the settings and the previous handlers (if echo is off).
    void echoOn()
    {
        if (!handlers_)
            return;
        if (echo_fd == fd_.get())
            tcsetattr(fd_.get(), TCSANOW, &echo_saved);
        echo_fd = -1;
        for (int i = 0; i < kSignalCount; i++)
            sigaction(kSignals[i], &prev_actions[i], nullptr);
        handlers_ = false;
    }

    // Reads bytes up to a newline, end of input or size-1 bytes; the
    // newline is not stored.  Returns the length, -1 on a read error, or
    // kStopped when the stop hook said stop first.
    int readLine(char *buf, size_t size) const
    {
        size_t n = 0;
        while (n + 1 < size) {
            if (nxapi_StopRequested()) {
                buf[n] = '\0';
                return kStopped;
            }
            struct pollfd pfd = {fd_.get(), POLLIN, 0};
            int ready = poll(&pfd, 1, NXAPI_REPLY_SLICE_MS);
            if (ready < 0 && errno != EINTR)
                return -1;
            if (ready <= 0)
                continue;
            char c;
            ssize_t r = read(fd_.get(), &c, 1);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return -1;
            if (r == 0 || c == '\n')
                break;
            buf[n++] = c;
        }
        buf[n] = '\0';
        return static_cast<int>(n);
    }

private:
    kyl_fd fd_;
    bool handlers_ = false;
};

} // namespace

int nxapi_SetTerminalPath(const char *path)
{
    const char *p = path != nullptr ? path : NXAPI_TTY_PATH;
    if (strlen(p) >= NXAPI_TTY_PATH_MAX)
        return -ENAMETOOLONG;
    kyl_lock_guard g(prompt_lock);
    snprintf(tty_path, sizeof tty_path, "%s", p);
    return 0;
}

bool nxapi_TerminalIsInteractive()
{
    kyl_lock_guard g(prompt_lock);
    Terminal t(tty_path);
    return t.isTty();
}

int nxapi_GetPassword(const char *prompt, const char *label, char *buf, size_t size)
{
    if (buf == nullptr || size < 2 || prompt == nullptr)
        return -1;
    buf[0] = '\0';
    kyl_lock_guard g(prompt_lock);
    Terminal t(tty_path);
    if (t.fd() < 0) {
        nxapi_Print("getsEchoOff:  error opening control terminal\n");
        errno = ENXIO;
        return -1;
    }
    if (!t.isTty()) {
        nxapi_Print("getsEchoOff - can't use control terminal interactively\n");
        return -1;
    }
    if (!t.echoOff())
        return -1;
    int n = 0;
    for (int tries = 0; tries < 2 && n == 0; tries++) {
        t.clearLine();
        char line[NXAPI_TTY_PATH_MAX + 600];
        if (label != nullptr && *label != '\0')
            snprintf(line, sizeof line, "\r[%s]%s: ", label, prompt);
        else
            snprintf(line, sizeof line, "\r%s: ", prompt);
        t.write(line);
        n = t.readLine(buf, size);
        if (n < 0) {
            quorex_Wipe(buf, size);
            buf[0] = '\0';
            break;
        }
    }
    t.write("\n");
    t.echoOn();
    if (n == kStopped)
        return -ECANCELED;
    return n < 0 ? -1 : n;
}

int nxapi_PromptLine(const char *prompt, char *buf, size_t size)
{
    if (buf == nullptr || size < 2 || prompt == nullptr)
        return -1;
    buf[0] = '\0';
    kyl_lock_guard g(prompt_lock);
    Terminal t(tty_path);
    if (!t.isTty())
        return -1;
    t.clearLine();
    t.write(prompt);
    int n = t.readLine(buf, size);
    if (n == kStopped)
        return -ECANCELED;
    if (n < 0)
        return -1;
    while (n > 0 && (buf[n - 1] == ' ' || buf[n - 1] == '\t' || buf[n - 1] == '\r' || buf[n - 1] == '\n'))
        buf[--n] = '\0';
    return n;
}

int nxapi_PamGetResponse(int echoOff, const char *prompt, char **response)
{
    if (response == nullptr || prompt == nullptr)
        return -ENXIO;
    *response = nullptr;
    char *buf = static_cast<char *>(calloc(1, NXAPI_PAM_RESPONSE_MAX));
    if (buf == nullptr)
        return -ENOMEM;
    kyl_lock_guard g(prompt_lock);
    Terminal t(tty_path);
    if (t.fd() < 0) {
        nxapi_Print("*** %s:  error %d opening control terminal\n", "pamGetResponse", errno);
        free(buf);
        return -ENXIO;
    }
    if (!t.isTty()) {
        nxapi_Print("*** %s - can't use control terminal interactively\n", "pamGetResponse");
        free(buf);
        return -ENXIO;
    }
    if (echoOff && !t.echoOff()) {
        free(buf);
        return -ENXIO;
    }
    t.write("\r");
    t.write(prompt);
    int n = t.readLine(buf, NXAPI_PAM_RESPONSE_MAX);
    if (echoOff) {
        t.write("\n");
        t.echoOn();
    }
    if (n < 0) {
        nxapi_Print("*** %s: error %d reading control terminal\n", "pamGetResponse", errno);
        quorex_Wipe(buf, NXAPI_PAM_RESPONSE_MAX);
        free(buf);
        return -ENXIO;
    }
    *response = buf;
    return 0;
}

int nxapi_TerminalWrite(const char *text)
{
    if (text == nullptr)
        return -1;
    kyl_lock_guard g(prompt_lock);
    Terminal t(tty_path);
    if (t.fd() < 0)
        return -1;
    t.write(text);
    return 0;
}
