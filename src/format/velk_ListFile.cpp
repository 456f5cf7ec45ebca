// Reader of -L input lists.  Reads a stream one character at a time into a
// fixed line buffer, so a line never grows past the limit in memory, and
// hands each trimmed line to the caller.  Initial thread only; no locks.

#include "velk_ListFile.h"

#include <cctype>
#include <cerrno>
#include <cstring>

#include "velk_Globals.h"
#include "velk_LogMsg.h"

namespace {

// Blanks and unprintable characters are trimmed from both ends; bytes
// outside the C locale's printable range count as unprintable.
bool trimmable(unsigned char c)
{
    return isspace(c) || !isprint(c);
}

// True when the character at pos is escaped: an odd number of backslashes
// stands right before it.
bool escapedAt(const char *line, size_t pos)
{
    size_t n = 0;
    while (n < pos && line[pos - 1 - n] == '\\')
        n++;
    return (n & 1) != 0;
}

} // namespace

size_t velk_TrimListLine(char *line)
{
    size_t len = strlen(line);
    // An escaped blank or unprintable character at the end belongs to the
    // name: a backslash makes the next character literal.
    while (len > 0 && trimmable(static_cast<unsigned char>(line[len - 1])) && !escapedAt(line, len - 1))
        len--;
    line[len] = '\0';
    size_t start = 0;
    while (start < len && trimmable(static_cast<unsigned char>(line[start])))
        start++;
    if (start > 0)
        memmove(line, line + start, len - start + 1);
    return len - start;
}

size_t velk_ListLineName(char *line)
{
    size_t len = velk_TrimListLine(line);
    for (size_t i = 0; i < len; i++) {
        if (line[i] == '\t' && !escapedAt(line, i)) {
            line[i] = '\0';
            return velk_TrimListLine(line);
        }
    }
    return len;
}

int velk_ReadListStream(FILE *fp, const char *listName, velk_listline_fn fn, void *arg)
{
    // One byte more for the terminating NUL.
    static char line[VELK_LISTFILE_MAX_LINE + 1];
    size_t len = 0;
    long lineno = 0;
    int handed = 0;
    bool eof = false;
    while (!eof) {
        int c = getc(fp);
        if (c == EOF) {
            if (ferror(fp)) {
                // A signal may interrupt a read from a terminal or pipe;
                // retry unless the run is being shut down.
                if (errno == EINTR && !velk_shutdown_signalled.load()) {
                    clearerr(fp);
                    continue;
                }
                if (velk_shutdown_signalled.load())
                    return -1;
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d reading input list %s\n", errno, listName);
                velk_SetExitCode(VELK_EXIT_IOERR);
                return -1;
            }
            eof = true;
            if (len == 0)
                break; // no unterminated last line
        } else if (c != '\n' || (len > 0 && escapedAt(line, len))) {
            // An escaped newline belongs to the name; the line goes on.
            if (c == '\n')
                lineno++;
            if (len >= VELK_LISTFILE_MAX_LINE) {
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                            "Line %ld of input list %s is longer than %zu characters\n", lineno + 1, listName,
                            VELK_LISTFILE_MAX_LINE);
                velk_SetExitCode(VELK_EXIT_USAGE);
                return -1;
            }
            line[len++] = static_cast<char>(c);
            continue;
        }
        lineno++;
        line[len] = '\0';
        len = 0;
        if (velk_ListLineName(line) == 0)
            continue;
        int r = fn(line, lineno, arg);
        if (r < 0)
            return r;
        handed++;
    }
    return handed;
}
