#ifndef VELK_LOGMSG_H
#define VELK_LOGMSG_H

// The program's voices: console messages with their level prefixes, the
// gateway log (every message, plus one transfer record per archive
// transfer), the in-place progress line on a terminal, and debug traces.
// Any thread may call these; each console write is one formatted write
// followed by a flush.

#include <cstddef>
#include <cstdint>
#include <ctime>

// Message levels: the index into velk_msg_prefix.  Levels 0 and 1 print to
// standard error, 2 and 3 to standard output; level 4 reaches only the
// gateway log.
constexpr int VELK_MSG_ERROR = 0;
constexpr int VELK_MSG_WARNING = 1;
constexpr int VELK_MSG_INFO = 2;
constexpr int VELK_MSG_VELK = 3;
constexpr int VELK_MSG_LOGONLY = 4;

// Gateway log classes.
constexpr uint32_t VELK_LOGCLASS_MSG = 0x2000000;  // ordinary messages
constexpr uint32_t VELK_LOGCLASS_XFER = 0x6000000; // transfer records
constexpr uint32_t VELK_LOG_FLAGS = 0x6000;        // flags of every log send
constexpr int VELK_OPENLOG_FLAGS = 0x60000;

// Console messages are cut to this many characters, newline included.
constexpr int VELK_MSG_MAX = 2046;
constexpr int VELK_MSG_BUFSIZE = 2048;

extern const char *const velk_msg_prefix[4];
// Set when standard output carries data (an archive written to a pipe, or
// member data extracted with -O): console messages of every level then go to
// standard error so that none lands in the data.  Set by the initial thread
// during start-up, before any other thread prints.
extern bool velk_stdout_is_data;
// Formatting buffer of the initial thread's routines; other threads use a
// local buffer of VELK_MSG_BUFSIZE bytes.
extern char velk_msg_buf[VELK_MSG_BUFSIZE];

// Prints "<prefix>: <text>" (a newline added when text has none) on the
// level's stream unless level is 4, and, once logging is enabled, sends
// "(<pid>) <text>" to the gateway log.  text is never used as a format.
// Returns the gateway log result, 0 when logging is not enabled.
int velk_LogMsg(int level, uint32_t msgclass, const char *text);
// Formats with printf rules, then velk_LogMsg.  fmt must be a literal.
int velk_LogFmt(int level, uint32_t msgclass, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Follows an error line that shows only a result code with one line a
// person can act on, at the same level: "<object>: <meaning>; <advice>".
// code is an errno value, a negated one or a gateway code (kylgw_ErrorText
// gives the meaning); object names the file or thing concerned and is left
// out when null or empty; advice, when not null, says what to do instead of
// the code's own advice (the gateway code's, or a general one for the
// commonest errno values); a code without any gets none.
void velk_Explain(int level, int code, const char *object, const char *advice = nullptr);
// Advice for velk_Explain that several units give.
constexpr const char *VELK_ADVICE_INDEX_MISSING =
    "check the archive name given with -f; an archive whose index is lost gets a new one with -X";
constexpr const char *VELK_ADVICE_INDEX_DIR =
    "the index is first written in the archive's directory (or TMPDIR): it must exist and be writable";
constexpr const char *VELK_ADVICE_ARCHIVE_MISSING = "check the archive name given with -f";
constexpr const char *VELK_ADVICE_ARCHIVE_DIR =
    "the directory named with -f must exist and be writable (-P creates missing directories)";

// Counts one failure of the run under reason, a short static text such as
// "not found in archive"; the final line's summary names every reason with
// its count.  Safe from any thread.
void velk_NoteFailure(const char *reason);

// The number of failures counted so far and, in *lastReason when not null,
// the reason of the last one (null before the first).  An action compares
// the marks taken before and after one member to learn whether, and why, it
// failed.  Safe from any thread.
long velk_FailureMark(const char **lastReason);

// Prints the action's final line on standard output (standard error with -O).
// "VELK SUCCESSFUL" only when success is true and the exit status is 0;
// otherwise the status is set to 72 if none is set, one summary line gives
// the counted failures and the exit status, and the line is "VELK FAILED"
// ("VELK FAILED DUE TO FORCED SHUTDOWN" when forcedShutdown).
void velk_FinalLine(bool success, bool forcedShutdown = false);

// Writes fmt to standard error after clearing the console line, and flushes.
// For "/debug/" and "[debug]" lines and direct start-up messages.
void velk_ErrPrintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The call that sends one line to the gateway log.  This layer does not
// reach the gateway itself: the run installs the client library's log call
// once it has opened the gateway log, before logging is enabled.  Until one
// is installed a gateway send does nothing and returns 0.  Safe from any
// thread.
using velk_gwlog_send_t = int (*)(uint32_t flags, uint32_t msgclass, const char *line);
void velk_SetGatewayLogSend(velk_gwlog_send_t send);

// The three records written when logging is enabled (level 4 only).
void velk_LogCommandLine(int argc, char **argv);
void velk_LogVersion();
void velk_LogCwd();

// One transfer record in the gateway log; 0 when logging is not enabled,
// else the log result.  action is a VELK_OP; kinds are VELK_FILETYPE and
// VELK_MEMBER_FILETYPE values; acctId is the user's current account.
int velk_LogFileTransfer(const char *path, int action, int result, int archive_kind, int member_kind, uint64_t bytes,
                         double seconds, uint32_t acctId);

// Formats a transfer record into buf (the text velk_LogFileTransfer sends).
int velk_FormatTransferRecord(char *buf, size_t size, int pid, const char *path, int action, int result,
                              int archive_kind, int member_kind, uint64_t bytes, double seconds, uint32_t acctId);

// Writes "[unit,line %d] prefix routine" (and " name=value" when name is
// given) and a newline to standard error.
void velk_FuncTraceMessage(const char *prefix, const char *routine, const char *name, long value, const char *unit,
                           int line);
#define VELK_TRACE_ENTRY()                                                                                             \
    do {                                                                                                               \
        if (velk_debug_level >= 4)                                                                                     \
            velk_FuncTraceMessage("Entering ", __func__, nullptr, 0, __FILE__, __LINE__);                              \
    } while (0)

// Shows "a b" in place on the console line when standard error is a terminal
// and -q is not given; two empty strings clear the line.
void console_message(const char *a, const char *b);
// Shows the progress of an archive transfer on the console line (-V only,
// on a terminal): velk_FormatXferProgress's text, the rate taken from the
// first call of the transfer (a count below the previous one starts a new
// transfer), the member the last velk_ProgressMember named.
void velk_DisplayXferProgress(uint64_t done, uint64_t total);
// True when the progress line is shown at all (-V, standard error a
// terminal): a caller forms a member name for velk_ProgressMember only then.
bool velk_ProgressShown();
// Names the member being moved, for the progress line: name as the
// terminal may show it (velk_ShownName).  Any thread.
void velk_ProgressMember(const char *name);
// The progress text: "<done> MiB transferred (<share>%)", then, once
// seconds is at least half a second, ", <rate> MiB/s" and (before the end)
// ", <m>:<ss> left", then two blanks and member when not empty.  MiB are
// 1024 * 1024 bytes, as -S counts.  Returns the length snprintf gives.
constexpr size_t VELK_PROGRESS_TEXT_MAX = 192;
size_t velk_FormatXferProgress(char *text, size_t size, uint64_t done, uint64_t total, double seconds,
                               const char *member);
// velk_DisplayXferProgress at most every 250 ms (a terminal that gets a
// line per small member slows the copy down), and always when forced or
// when done has reached total.  *shownAt (CLOCK_MONOTONIC) holds the time
// of the last line drawn; the caller's thread owns it.
void velk_DisplayXferProgressEvery(uint64_t done, uint64_t total, struct timespec *shownAt, bool force);

#endif
