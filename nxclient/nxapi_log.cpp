// The client library's messages and diagnostic log: the message sink every
// text for a person goes through (stderr by default), settings from
// QUOR_API_DEBUG, QUOR_API_DEBUG_FLAGS and QUOR_API_DEBUG_PATH, prefixed
// two-line records to the message sink, syslog and a debug file, and
// message-header traces.  Called from any thread; logfile_lock guards the
// settings and serialises the log output (it is taken before msgsink_lock).
// Secrets are never passed in.

#include "nxapi_private.h"
#include "quor_api.h"

#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kyl_msgsink.h"
#include "quor_net.h"

namespace {

kyl_msgsink_t msg_sink; // the library's message sink; its lock is msgsink_lock in the lock notes

kyl_mutex_t logfile_lock; // every setting below and all output

// Until nxapi_logging_init runs, as without a debug file: level 3 to stderr.
int log_levels KYL_GUARDED_BY(logfile_lock) = 8;
int log_dest KYL_GUARDED_BY(logfile_lock) = NXAPI_LOG_STDERR;
int log_flags KYL_GUARDED_BY(logfile_lock) = 0;
int log_options KYL_GUARDED_BY(logfile_lock) = NXAPI_LOGOPT_TIME;
FILE *log_file KYL_GUARDED_BY(logfile_lock) = nullptr;
bool log_file_owned KYL_GUARDED_BY(logfile_lock) = false; // opened here (not stdout/stderr)
bool syslog_open KYL_GUARDED_BY(logfile_lock) = false;
char syslog_ident[16] KYL_GUARDED_BY(logfile_lock);
struct timespec log_start KYL_GUARDED_BY(logfile_lock);
std::atomic<bool> trace_on{false};

// "dir/nxapi_msg.cpp" -> "nxapi_msg" into out.
void unitBase(const char *unit, char *out, size_t size)
{
    if (unit == nullptr) {
        out[0] = '\0';
        return;
    }
    const char *slash = strrchr(unit, '/');
    const char *base = slash ? slash + 1 : unit;
    const char *dot = strrchr(base, '.');
    size_t n = dot ? static_cast<size_t>(dot - base) : strlen(base);
    snprintf(out, size, "%.*s", static_cast<int>(n), base);
}

// Month, day and clock of t ("Jan  2 15:04:05"), 15 characters.
void clockText(time_t t, char *out, size_t size)
{
    struct tm tmv;
    char text[32];
    if (localtime_r(&t, &tmv) == nullptr || asctime_r(&tmv, text) == nullptr) {
        snprintf(out, size, "%15s", "");
        return;
    }
    snprintf(out, size, "%.15s", text + 4);
}

} // namespace

void quor_SetMessageSink(quor_msgsink_t sink, void *arg)
{
    kyl_MsgSinkSet(&msg_sink, sink, arg);
}

void nxapi_Print(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    kyl_MsgSinkPrintV(&msg_sink, fmt, ap);
    va_end(ap);
}

void nxapi_logging_init()
{
    kyl_lock_guard g(logfile_lock);
    if (log_file_owned && log_file != nullptr)
        fclose(log_file);
    log_file = nullptr;
    log_file_owned = false;
    log_levels = 255;
    log_dest = NXAPI_LOG_STDERR;
    log_flags = 0;
    log_options = NXAPI_LOGOPT_TIME;

    if (const char *v = getenv("QUOR_API_DEBUG"))
        log_levels = atoi(v);

    const char *mode = "a";
    if (const char *f = getenv("QUOR_API_DEBUG_FLAGS")) {
        for (; *f; f++) {
            switch (*f) {
            case 'R': log_options &= ~NXAPI_LOGOPT_RELTIME; break;
            case 'T': log_options &= ~NXAPI_LOGOPT_TIME; break;
            case 'a': mode = "a"; break;
            case 'w': mode = "w"; break;
            case 'f': log_flags |= NXAPI_LOG_FLUSH; break;
            case 'm': log_flags |= NXAPI_LOG_TRACE_MSGS; break;
            case 'p': log_options |= NXAPI_LOGOPT_PID; break;
            case 'r': log_options |= NXAPI_LOGOPT_RELTIME; break;
            case 't': log_options |= NXAPI_LOGOPT_TIME; break;
            default: break;
            }
        }
    }

    const char *path = getenv("QUOR_API_DEBUG_PATH");
    if (path != nullptr) {
        log_dest |= NXAPI_LOG_FILE;
        if (strcasecmp(path, "stdout") == 0) {
            log_file = stdout;
        } else if (strcasecmp(path, "stderr") == 0) {
            log_file = stderr;
        } else {
            log_file = fopen(path, mode);
            log_file_owned = log_file != nullptr;
        }
        if (log_file == nullptr) {
            nxapi_Print("%s: unable to open debug logfile %s - logging disabled\n", "nxapi_logging_init", path);
            log_levels = 0;
            log_dest = 0;
        }
    } else {
        // Without a debug file only level-3 messages reach stderr.
        log_levels = 8;
    }
    clock_gettime(CLOCK_MONOTONIC, &log_start);
    trace_on.store((log_flags & NXAPI_LOG_TRACE_MSGS) != 0 && log_file != nullptr);
}

bool nxapi_tracing()
{
    return trace_on.load();
}

void nxapi_logmsg(int level, const char *functionName, const char *message, int destinations, const char *unitName,
                  int line)
{
    if (level < 0 || level > 31)
        return;
    kyl_lock_guard g(logfile_lock);
    if ((log_levels & (1 << level)) == 0)
        return;
    int dest = destinations & log_dest;
    if (dest == 0)
        return;

    char prefix[NXAPI_LOG_PREFIX_MAX + 1];
    size_t used = 0;
    auto add = [&](int n) {
        if (n > 0)
            used += static_cast<size_t>(n);
        if (used > NXAPI_LOG_PREFIX_MAX)
            used = NXAPI_LOG_PREFIX_MAX;
    };
    prefix[0] = '\0';
    if (log_options & NXAPI_LOGOPT_PID)
        add(snprintf(prefix + used, sizeof prefix - used, "[%d] ", static_cast<int>(getpid())));
    if (log_options & NXAPI_LOGOPT_TIME) {
        char clock[24];
        clockText(time(nullptr), clock, sizeof clock);
        add(snprintf(prefix + used, sizeof prefix - used, " %s ", clock));
    }
    if (log_options & NXAPI_LOGOPT_RELTIME) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        double secs = static_cast<double>(now.tv_sec - log_start.tv_sec) +
                      static_cast<double>(now.tv_nsec - log_start.tv_nsec) / 1e9;
        add(snprintf(prefix + used, sizeof prefix - used, "%9.4e ", secs));
    }
    char unit[64];
    unitBase(unitName, unit, sizeof unit);
    add(snprintf(prefix + used, sizeof prefix - used, "Function: %s  File: %s  Line: %d ",
                 functionName ? functionName : "", unit, line));

    char msg[NXAPI_LOG_MSG_MAX + 8];
    snprintf(msg, sizeof msg, "msg: %.*s", static_cast<int>(NXAPI_LOG_MSG_MAX), message ? message : "");

    bool flush = (log_flags & NXAPI_LOG_FLUSH) != 0;
    if (dest & NXAPI_LOG_STDERR)
        nxapi_Print("%s%s", prefix, msg);
    if (dest & NXAPI_LOG_SYSLOG) {
        if (!syslog_open) {
            snprintf(syslog_ident, sizeof syslog_ident, "%d", static_cast<int>(getpid()));
            openlog(syslog_ident, LOG_NOWAIT, LOG_LOCAL0);
            syslog_open = true;
        }
        syslog(level & 7, "%s", prefix);
        syslog(level & 7, "%s", msg);
    }
    if ((dest & NXAPI_LOG_FILE) && log_file != nullptr) {
        fprintf(log_file, "%s\n", prefix);
        if (flush)
            fflush(log_file);
        fprintf(log_file, "%s\n", msg);
        if (flush)
            fflush(log_file);
    }
}

void nxapi_logf(int level, const char *functionName, int destinations, const char *unitName, int line, const char *fmt,
                ...)
{
    char text[NXAPI_LOG_MSG_MAX + 1];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    nxapi_logmsg(level, functionName, text, destinations, unitName, line);
}

void nxapi_tracemsg_hdr(int outbound, const quor_connection_t *conn, const api_msghdr_t *header)
{
    char where[NXAPI_SERVER_HOST_MAX];
    where[0] = '\0';
    if (conn != nullptr && conn->server_host[0] != '\0') {
        snprintf(where, sizeof where, "%s", conn->server_host);
    } else if (conn != nullptr) {
        if (quor_net_getuniversaladdress(&conn->server_addr, where, sizeof where, nullptr, 0) < 0)
            snprintf(where, sizeof where, "%s", "???");
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char clock[24];
    clockText(now.tv_sec, clock, sizeof clock);

    kyl_lock_guard g(logfile_lock);
    if ((log_dest & NXAPI_LOG_FILE) == 0 || log_file == nullptr)
        return;
    fprintf(log_file, "%15.15s.%3.3ld %s message Request ID: %d [0x%8.8x] Connection: %s Sanity: %8.8s\n", clock,
            now.tv_nsec / 1000000, outbound ? "Outbound" : "Inbound", static_cast<int>(header->msgRequestID),
            header->msgRequestID, where, header->sanity);
    fprintf(log_file, "Flags:  0x%8.8x  Category: %d [0x%4.4x]  Function: %d [0x%4.4x] Errorcode: %d\n",
            header->msgFlags, header->category, header->category, header->function, header->function,
            header->errorcode);
    if (log_flags & NXAPI_LOG_FLUSH)
        fflush(log_file);
}
