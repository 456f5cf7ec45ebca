// Small shared routines: path templates for the exceptions, success, state
// and expiration file names; the yes/no prompt on the controlling terminal;
// time differences; the names of actions and checksum types; names escaped
// for the terminal.  Any thread may call them; none takes a lock
// of its own (the console lock is taken inside the logging calls).

#include "velk_Utils.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"

namespace {

// Size of the getpwuid_r scratch buffer; entries longer than this are
// treated like a missing entry.
constexpr size_t PWENT_BUFSIZE = 16384;

// Appends text to out (holding *len characters) without passing
// VELK_TEMPLATE_MAX; whatever does not fit is dropped.
void append_cut(char *out, size_t *len, const char *text, size_t textLen)
{
    size_t room = static_cast<size_t>(VELK_TEMPLATE_MAX) - *len;
    if (textLen > room)
        textLen = room;
    memcpy(out + *len, text, textLen);
    *len += textLen;
    out[*len] = '\0';
}

} // namespace

char *velk_ExpandTemplatePath(const char *tmpl, const char *home, const char *user)
{
    static const char *const routine = "velk_ExpandTemplatePath";
    if (tmpl == nullptr)
        return nullptr;

    char *out = static_cast<char *>(VELK_MALLOC(static_cast<size_t>(VELK_TEMPLATE_MAX) + 1));
    if (out == nullptr) {
        velk_ErrPrintf("%s %s: - malloc failure\n", "ERROR", routine);
        return nullptr;
    }
    out[0] = '\0';
    size_t len = 0;

    // The password entry is read only when a template asks for a home
    // directory or user name that the caller did not supply.
    struct passwd pwent;
    struct passwd *pw = nullptr;
    char *pwbuf = nullptr;
    auto need_pw = [&]() -> bool {
        if (pw != nullptr)
            return true;
        if (pwbuf == nullptr) {
            pwbuf = static_cast<char *>(VELK_MALLOC(PWENT_BUFSIZE));
            if (pwbuf == nullptr) {
                velk_ErrPrintf("%s %s: - malloc failure\n", "ERROR", routine);
                return false;
            }
        }
        if (getpwuid_r(geteuid(), &pwent, pwbuf, PWENT_BUFSIZE, &pw) != 0 || pw == nullptr) {
            pw = nullptr;
            velk_ErrPrintf("%s %s: - getpwuid failed\n", "ERROR", routine);
            return false;
        }
        return true;
    };

    bool failed = false;
    for (const char *p = tmpl; *p != '\0' && len < static_cast<size_t>(VELK_TEMPLATE_MAX) && !failed; p++) {
        if (*p != '%' || p[1] == '\0') {
            append_cut(out, &len, p, 1);
            continue;
        }
        char numbuf[32];
        char host[256];
        const char *sub = nullptr;
        size_t subLen = 0;
        switch (p[1]) {
        case 'H':
            if (home == nullptr && !need_pw()) {
                failed = true;
                continue;
            }
            sub = home != nullptr ? home : pw->pw_dir;
            subLen = strlen(sub);
            break;
        case 'U':
            if (user == nullptr && !need_pw()) {
                failed = true;
                continue;
            }
            sub = user != nullptr ? user : pw->pw_name;
            subLen = strlen(sub);
            break;
        case 'N':
            // The short host name: everything before the first ".".
            if (gethostname(host, sizeof host) != 0) {
                sub = "unknown_host";
                subLen = strlen(sub);
            } else {
                host[sizeof host - 1] = '\0';
                sub = host;
                subLen = strcspn(host, ".");
            }
            break;
        case 'P':
            snprintf(numbuf, sizeof numbuf, "%ld", static_cast<long>(getpid()));
            sub = numbuf;
            subLen = strlen(numbuf);
            break;
        default:
            // Not a template letter: the "%" and the character stay as they are.
            append_cut(out, &len, p, 2);
            p++;
            continue;
        }
        append_cut(out, &len, sub, subLen);
        p++;
    }
    VELK_FREE(pwbuf);
    if (failed) {
        VELK_FREE(out);
        return nullptr;
    }
    if (velk_debug_level >= 1)
        velk_ErrPrintf("%s: returning keytab filename `%s'\n", routine, out);
    return out;
}

int velk_GetYesNo(const char *action, const char *question, const char *name)
{
    static const char *const routine = "velk_GetYesNo";
    FILE *tty = fopen("/dev/tty", "r");
    if (tty == nullptr) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                    "%s:  error opening control terminal - assuming YES response\n", routine);
        return VELK_ANSWER_YES;
    }
    if (!isatty(fileno(tty))) {
        fclose(tty);
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s - can't use control terminal interactively\n", routine);
        return VELK_ANSWER_YES;
    }

    const char *act = action != nullptr ? action : "";
    // The name is shown escaped: the terminal must not take its bytes as
    // commands.
    const std::string shown = velk_ShownName(name != nullptr ? name : "");
    const char *nm = shown.c_str();
    int answer = 0;
    while (answer == 0) {
        // The prompt goes to standard error so that it never mixes with
        // archive data or listings on standard output.
        if (question != nullptr)
            velk_ErrPrintf("%s %s '%s'? [Y/N] ", act, question, nm);
        else
            velk_ErrPrintf("%s '%s'? ([Y]es,[N]o,[A]ll,[Q]uit) ", act, nm);

        int first = getc(tty);
        if (first == EOF) {
            // End of input (Ctrl-D) declines, as in GNU tar.
            velk_ErrPrintf("\n");
            answer = VELK_ANSWER_NO;
            break;
        }
        // Only the first character counts; drop the rest of the line.
        int c = first;
        while (c != '\n' && c != EOF)
            c = getc(tty);
        clearerr(tty);

        switch (tolower(first)) {
        case 'y': answer = VELK_ANSWER_YES; break;
        case 'n': answer = VELK_ANSWER_NO; break;
        case 'a':
            if (question == nullptr)
                answer = VELK_ANSWER_ALL;
            break;
        case 'q':
            if (question == nullptr)
                answer = VELK_ANSWER_QUIT;
            break;
        default: break;
        }
    }
    fclose(tty);
    return answer;
}

double velk_DiffTimeval(const struct timeval *a, const struct timeval *b)
{
    long sec = static_cast<long>(a->tv_sec) - static_cast<long>(b->tv_sec);
    long usec = static_cast<long>(a->tv_usec) - static_cast<long>(b->tv_usec);
    while (usec < 0) {
        usec += 1000000;
        sec--;
    }
    return static_cast<double>(sec) + static_cast<double>(usec) / 1e6;
}

const char *velk_FunctionToString(int function)
{
    // Indexed by VELK_OP.
    static const char *const names[] = {
        "NOFUNCTION", "ANNOTATE", "APPEND", "BUILDINDEX", "COMPARE",  "CMPCKSUMS", "CREATE", "COPY",
        "DELETE",     "EXTRACT",  "LIST",   "REPACK",     "UNDELETE", "UPDATE",    "VERIFY", "MOUNT",
    };
    static_assert(sizeof names / sizeof names[0] == VOP_MOUNT + 1, "one word per action");
    if (function < 0 || function > VOP_MOUNT)
        return "????????";
    return names[function];
}

const char *velk_CksumTypeToString(int type)
{
    static const char *const names[] = {
        "none", "sha1", "sha224", "sha256", "sha384", "sha512", "md5", "crc32", "adler32", "ecma319",
    };
    if (type < 0 || type >= static_cast<int>(sizeof names / sizeof names[0]))
        return nullptr;
    return names[type];
}

int velk_WaitReady(int fd, short events)
{
    struct pollfd p = {fd, events, 0};
    while (!velk_shutdown_signalled.load()) {
        int r = poll(&p, 1, VELK_EAGAIN_POLL_MS);
        if (r > 0)
            return 0;
        if (r < 0 && errno != EINTR)
            return -errno;
    }
    return 0;
}

size_t velk_EscapeName(const char *name, size_t len, char *out, size_t room)
{
    static const char letters[] = "abtnvfr"; // for the bytes 7 to 13
    size_t n = 0;
    auto put = [&](const char *text, size_t k) {
        if (k > room - n)
            k = room - n;
        memcpy(out + n, text, k);
        n += k;
    };
    size_t plain = 0;
    for (size_t i = 0; i < len && n < room; ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (c >= 0x20 && c != '\\' && c != 0x7f)
            continue;
        put(name + plain, i - plain);
        plain = i + 1;
        char esc[4] = {'\\', '\\'};
        if (c == '\\') {
            put(esc, 2);
        } else if (c >= 7 && c <= 13) {
            esc[1] = letters[c - 7];
            put(esc, 2);
        } else {
            esc[1] = static_cast<char>('0' + (c >> 6));
            esc[2] = static_cast<char>('0' + ((c >> 3) & 7));
            esc[3] = static_cast<char>('0' + (c & 7));
            put(esc, 4);
        }
    }
    if (plain < len)
        put(name + plain, len - plain);
    return n;
}

std::string velk_ShownName(const char *name)
{
    const size_t len = strlen(name);
    std::string shown(len * VELK_ESCAPE_GROWTH, '\0');
    shown.resize(velk_EscapeName(name, len, shown.data(), shown.size()));
    return shown;
}
