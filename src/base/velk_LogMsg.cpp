// Console messages, gateway log records, the progress line and debug traces.
// Called from any thread.  console_lock guards the console line's state and
// keeps a cleared line and the message after it together; gateway sends
// happen outside it.

#include "velk_LogMsg.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>
#include <unistd.h>

#include "kyl_mutex.h"
#include "kylgw_errors.h"
#include "velk_Globals.h"
#include "velk_version.h"

const char *const velk_msg_prefix[4] = {"ERROR", "WARNING", "INFO", "VELK"};
char velk_msg_buf[VELK_MSG_BUFSIZE];

namespace {

kyl_mutex_t console_lock;
// The installed gateway log call (velk_SetGatewayLogSend), or null.
std::atomic<velk_gwlog_send_t> gwlog_send{nullptr};

int gwlog(uint32_t msgclass, const char *line)
{
    velk_gwlog_send_t send = gwlog_send.load();
    return send != nullptr ? send(VELK_LOG_FLAGS, msgclass, line) : 0;
}
size_t console_last_len KYL_GUARDED_BY(console_lock) = 0;
// The progress line's transfer: when it began, the last count shown, and
// the member being moved (escaped, cut to its last characters).
constexpr size_t kProgressNameMax = 40;
bool progress_started KYL_GUARDED_BY(console_lock) = false;
struct timespec progress_start KYL_GUARDED_BY(console_lock) = {};
uint64_t progress_last KYL_GUARDED_BY(console_lock) = 0;
char progress_member[kProgressNameMax + 1] KYL_GUARDED_BY(console_lock) = "";

bool console_active()
{
    return isatty2 && !velk_Opt(VELK_OPT_QUIET);
}

// Blanks out the progress line if one is shown.
void console_clear_locked() KYL_REQUIRES(console_lock)
{
    if (console_last_len == 0 || !console_active())
        return;
    std::string blank(console_last_len, ' ');
    fprintf(stderr, "\r%s\r", blank.c_str());
    fflush(stderr);
    console_last_len = 0;
}

} // namespace

bool velk_stdout_is_data = false;

void console_message(const char *a, const char *b)
{
    if (!console_active())
        return;
    kyl_lock_guard g(console_lock);
    size_t len = strlen(a) + strlen(b) + 1;
    if (len >= console_last_len) {
        fprintf(stderr, "\r%s %s\r", a, b);
    } else {
        std::string pad(console_last_len - len, ' ');
        fprintf(stderr, "\r%s %s%s\r", a, b, pad.c_str());
    }
    fflush(stderr);
    // Two empty strings clear the line: nothing is left to blank out later.
    console_last_len = (*a == '\0' && *b == '\0') ? 0 : len;
}

bool velk_ProgressShown()
{
    return isatty2 && velk_Opt(VELK_OPT_STATS);
}

void velk_ProgressMember(const char *name)
{
    if (!velk_ProgressShown())
        return;
    // The end of a long name tells most: keep its last characters.
    std::string shown = name;
    if (shown.size() > kProgressNameMax)
        shown = "..." + shown.substr(shown.size() - (kProgressNameMax - 3));
    kyl_lock_guard g(console_lock);
    snprintf(progress_member, sizeof progress_member, "%s", shown.c_str());
}

void velk_DisplayXferProgress(uint64_t done, uint64_t total)
{
    if (!velk_ProgressShown())
        return;
    if (done > total)
        done = total;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char member[sizeof progress_member];
    double seconds = 0.0;
    {
        kyl_lock_guard g(console_lock);
        // A count below the last one is a new transfer: its rate starts anew.
        if (!progress_started || done < progress_last) {
            progress_start = now;
            progress_started = true;
        }
        progress_last = done;
        seconds = static_cast<double>(now.tv_sec - progress_start.tv_sec) +
                  static_cast<double>(now.tv_nsec - progress_start.tv_nsec) / 1e9;
        memcpy(member, progress_member, sizeof member);
    }
    char text[VELK_PROGRESS_TEXT_MAX];
    velk_FormatXferProgress(text, sizeof text, done, total, seconds, member);
    console_message(text, "");
}

size_t velk_FormatXferProgress(char *text, size_t size, uint64_t done, uint64_t total, double seconds,
                               const char *member)
{
    constexpr double kMiB = 1024.0 * 1024.0;
    const double mib = static_cast<double>(done) / kMiB;
    std::string line;
    char part[96];
    if (total >= 1)
        snprintf(part, sizeof part, "%.1f MiB transferred (%.1f%%)", mib,
                 100.0 * static_cast<double>(done) / static_cast<double>(total));
    else
        snprintf(part, sizeof part, "%.1f MiB transferred", mib);
    line = part;
    // A rate needs some time behind it; before that it would only mislead.
    if (seconds >= 0.5 && done > 0) {
        const double rate = mib / seconds;
        snprintf(part, sizeof part, ", %.1f MiB/s", rate);
        line += part;
        if (total > done) {
            const auto left = static_cast<long>(static_cast<double>(total - done) / kMiB / rate + 0.5);
            snprintf(part, sizeof part, ", %ld:%02ld left", left / 60, left % 60);
            line += part;
        }
    }
    if (member != nullptr && *member != '\0') {
        line += "  ";
        line += member;
    }
    return static_cast<size_t>(snprintf(text, size, "%s", line.c_str()));
}

void velk_DisplayXferProgressEvery(uint64_t done, uint64_t total, struct timespec *shownAt, bool force)
{
    if (!isatty2 || !velk_Opt(VELK_OPT_STATS))
        return;
    constexpr long kIntervalNs = 250L * 1000 * 1000;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long elapsedNs = (now.tv_sec - shownAt->tv_sec) * 1000000000L + (now.tv_nsec - shownAt->tv_nsec);
    if (!force && done < total && elapsedNs < kIntervalNs)
        return;
    *shownAt = now;
    velk_DisplayXferProgress(done, total);
}

void velk_ErrPrintf(const char *fmt, ...)
{
    kyl_lock_guard g(console_lock);
    console_clear_locked();
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fflush(stderr);
}

int velk_LogMsg(int level, uint32_t msgclass, const char *text)
{
    if (text == nullptr)
        text = "";
    if (level >= VELK_MSG_ERROR && level <= VELK_MSG_VELK) {
        char line[VELK_MSG_MAX + 1];
        int n = snprintf(line, sizeof line, "%s: %s", velk_msg_prefix[level], text);
        size_t len = n < 0 ? 0 : (static_cast<size_t>(n) > VELK_MSG_MAX ? VELK_MSG_MAX : static_cast<size_t>(n));
        if (len == 0 || line[len - 1] != '\n') {
            if (len == VELK_MSG_MAX)
                line[len - 1] = '\n';
            else {
                line[len++] = '\n';
                line[len] = '\0';
            }
        }
        FILE *stream = level <= VELK_MSG_WARNING || velk_stdout_is_data ? stderr : stdout;
        kyl_lock_guard g(console_lock);
        console_clear_locked();
        fwrite(line, 1, len, stream);
        fflush(stream);
    }
    if (!velk_logging_enabled.load())
        return 0;

    char logline[VELK_MSG_MAX + 1];
    int plen = snprintf(logline, sizeof logline, "(%d) ", static_cast<int>(getpid()));
    size_t tlen = strlen(text);
    if (static_cast<size_t>(plen) + tlen >= VELK_MSG_MAX + 1) {
        // Cut the text so that "...\n" still fits within the limit.
        size_t keep = VELK_MSG_MAX - 4 - static_cast<size_t>(plen);
        memcpy(logline + plen, text, keep);
        memcpy(logline + plen + keep, "...\n", 5);
    } else {
        memcpy(logline + plen, text, tlen + 1);
    }
    return gwlog(msgclass, logline);
}

int velk_LogFmt(int level, uint32_t msgclass, const char *fmt, ...)
{
    char buf[VELK_MSG_BUFSIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return velk_LogMsg(level, msgclass, buf);
}

namespace {

// What to do about the commonest system errors on a file, when the caller
// knows nothing better; null when nothing general helps.
const char *errnoAdvice(int code)
{
    switch (code < 0 ? -code : code) {
    case ENOENT: return "check the name and the directory it is in";
    case EACCES:
    case EPERM: return "check the permissions of the file and of its directories";
    case ENOTDIR: return "a part of the path is not a directory";
    case EISDIR: return "the name is a directory";
    case EROFS: return "the file system is read-only: choose another place";
    case ENOSPC:
    case EDQUOT: return "free some space or choose another place";
    case ENAMETOOLONG: return "use a shorter name";
    default: return nullptr;
    }
}

} // namespace

void velk_Explain(int level, int code, const char *object, const char *advice)
{
    char sys[128];
    const kylgw_error_text_t text = kylgw_ErrorText(code, sys, sizeof sys);
    if (advice == nullptr)
        advice = text.advice != nullptr ? text.advice : errnoAdvice(code);
    const bool named = object != nullptr && *object != '\0';
    velk_LogFmt(level, VELK_LOGCLASS_MSG, "%s%s%s%s%s\n", named ? object : "", named ? ": " : "", text.meaning,
                advice != nullptr ? "; " : "", advice != nullptr ? advice : "");
}

void velk_SetGatewayLogSend(velk_gwlog_send_t send)
{
    gwlog_send.store(send);
}

void velk_LogCommandLine(int argc, char **argv)
{
    std::string line;
    for (int i = 0; i < argc; i++) {
        size_t add = strlen(argv[i]) + 1;
        if (line.size() + add > 2045)
            break;
        line += argv[i];
        line += ' ';
    }
    velk_LogMsg(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, line.c_str());
}

void velk_LogVersion()
{
    char buf[256];
    snprintf(buf, sizeof buf, "VERSION: %s", VELK_VERSION_STRING);
    if (velk_LogMsg(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, buf) < 0)
        velk_ErrPrintf("*** Warning: error sending [version %s] message to server\n", VELK_VERSION_STRING);
}

void velk_LogCwd()
{
    char cwd[4097];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        velk_ErrPrintf("*** Warning: unable to determine current working directory. Error=%d\n", errno);
        return;
    }
    std::string buf = std::string("CWD: ") + cwd;
    if (velk_LogMsg(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, buf.c_str()) < 0)
        velk_ErrPrintf("*** Warning: error sending [cwd %s] message to server\n", cwd);
}

namespace {

char archive_kind_letter(int kind)
{
    switch (kind) {
    case VELK_QUOR_FILE: return 'Q';
    case VELK_REMOTE_FILE: return 'R';
    case VELK_LOCAL_FILE: return 'L';
    default: return '?';
    }
}

char member_kind_letter(int kind)
{
    switch (kind) {
    case VELK_QUOR_MEMBER_FILE: return 'Q';
    case VELK_REMOTE_MEMBER_FILE: return 'R';
    case VELK_LOCAL_MEMBER_FILE: return 'L';
    default: return '?';
    }
}

} // namespace

int velk_FormatTransferRecord(char *buf, size_t size, int pid, const char *path, int action, int result,
                              int archive_kind, int member_kind, uint64_t bytes, double seconds, uint32_t acctId)
{
    const char *word = action == VOP_EXTRACT  ? "extract"
                       : action == VOP_CREATE ? "create"
                       : action == VOP_COPY   ? "copy"
                                              : "unknown";
    char src[2] = {archive_kind_letter(archive_kind), '\0'};
    char dst[2] = {archive_kind_letter(archive_kind), '\0'};
    if (action == VOP_EXTRACT) {
        dst[0] = member_kind_letter(member_kind);
    } else if (action == VOP_CREATE) {
        src[0] = member_kind_letter(member_kind);
    }
    double rate = seconds > 0.0001 ? static_cast<double>(bytes) / seconds * 0.001 : 0.0;
    return snprintf(buf, size, "%d\t%s\t%s%s\t%d\t%lu\t%.2f\t%.1f\t%s\t%s\t%d\t%u", pid, word, src, dst, result,
                    static_cast<unsigned long>(bytes), seconds, rate, path ? path : "", "", velk_archive_cosID, acctId);
}

int velk_LogFileTransfer(const char *path, int action, int result, int archive_kind, int member_kind, uint64_t bytes,
                         double seconds, uint32_t acctId)
{
    if (!velk_logging_enabled.load())
        return 0;
    char record[VELK_MSG_BUFSIZE + 1100];
    velk_FormatTransferRecord(record, sizeof record, static_cast<int>(getpid()), path, action, result, archive_kind,
                              member_kind, bytes, seconds, acctId);
    return gwlog(VELK_LOGCLASS_XFER, record);
}

void velk_FuncTraceMessage(const char *prefix, const char *routine, const char *name, long value, const char *unit,
                           int line)
{
    const char *base = strrchr(unit, '/');
    base = base ? base + 1 : unit;
    if (name != nullptr)
        velk_ErrPrintf("[%s,line %d] %s %s %s=%ld\n", base, line, prefix, routine, name, value);
    else
        velk_ErrPrintf("[%s,line %d] %s %s\n", base, line, prefix, routine);
}

namespace {

// Failure reasons in the order first seen, with their counts.
kyl_mutex_t velk_failure_mutex;
std::vector<std::pair<const char *, long>> velk_failures KYL_GUARDED_BY(velk_failure_mutex);
long velk_failure_total KYL_GUARDED_BY(velk_failure_mutex) = 0;
const char *velk_failure_last KYL_GUARDED_BY(velk_failure_mutex) = nullptr;

// One line of the final report, on standard output unless it carries data.
void finalReportLine(const char *text)
{
    if (velk_stdout_is_data) {
        velk_ErrPrintf("%s: %s", velk_msg_prefix[VELK_MSG_VELK], text);
        velk_LogMsg(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, text);
    } else {
        velk_LogMsg(VELK_MSG_VELK, VELK_LOGCLASS_MSG, text);
    }
}

} // namespace

void velk_NoteFailure(const char *reason)
{
    kyl_lock_guard lock(velk_failure_mutex);
    ++velk_failure_total;
    velk_failure_last = reason;
    for (auto &entry : velk_failures) {
        if (strcmp(entry.first, reason) == 0) {
            ++entry.second;
            return;
        }
    }
    velk_failures.emplace_back(reason, 1);
}

long velk_FailureMark(const char **lastReason)
{
    kyl_lock_guard lock(velk_failure_mutex);
    if (lastReason != nullptr)
        *lastReason = velk_failure_last;
    return velk_failure_total;
}

void velk_FinalLine(bool success, bool forcedShutdown)
{
    if (success && !forcedShutdown && velk_exit_code.load() == 0) {
        finalReportLine("VELK SUCCESSFUL\n");
        return;
    }
    velk_SetExitCode(VELK_EXIT_IOERR);
    std::string summary;
    {
        kyl_lock_guard lock(velk_failure_mutex);
        for (const auto &[reason, count] : velk_failures) {
            summary += summary.empty() ? "failures: " : ", ";
            summary += std::to_string(count) + " " + reason;
        }
    }
    if (summary.empty())
        summary = "run failed";
    summary += "; exit status " + std::to_string(velk_exit_code.load()) + "\n";
    finalReportLine(summary.c_str());
    finalReportLine(forcedShutdown ? "VELK FAILED DUE TO FORCED SHUTDOWN\n" : "VELK FAILED\n");
}
