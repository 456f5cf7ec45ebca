#ifndef VELK_UTILS_H
#define VELK_UTILS_H

// Small routines shared by many units: path templates, the yes/no prompt on
// the controlling terminal, time differences, the names of actions and
// checksum types, the wait of a local read or write loop whose descriptor
// said EAGAIN, and names made safe to show on a terminal.

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/time.h>
#include <sys/types.h>

constexpr int VELK_TEMPLATE_MAX = 4096;

// How long one poll of velk_WaitReady lasts before it looks at the shutdown
// flag again, in milliseconds.
constexpr int VELK_EAGAIN_POLL_MS = 1000;

// Waits until the local descriptor fd is ready for events (POLLIN or
// POLLOUT) or the shutdown flag is raised, so that a read or write loop
// never spins on EAGAIN.  Returns 0 to try the I/O again (the caller's loop
// looks at the shutdown flag itself), or -errno when poll failed.  Any
// thread.
[[nodiscard]] int velk_WaitReady(int fd, short events);

// Expands "%H" (home, or the effective user's home when null), "%U" (user,
// or the effective user's login name when null), "%N" (short host name, or
// "unknown_host") and "%P" (process ID) in tmpl; any other "%x" is copied.
// The result is cut at VELK_TEMPLATE_MAX characters.  Returns a new buffer
// (caller frees with velk_Free), or null when tmpl is null, the password
// entry can't be read, or memory runs out (with a message).
char *velk_ExpandTemplatePath(const char *tmpl, const char *home, const char *user);

// Results of velk_GetYesNo.
constexpr int VELK_ANSWER_YES = 1;
constexpr int VELK_ANSWER_NO = 2;
constexpr int VELK_ANSWER_ALL = 3;
constexpr int VELK_ANSWER_QUIT = 4;

// Asks on /dev/tty: with a question "%s %s '%s'? [Y/N] ", without one
// "%s '%s'? ([Y]es,[N]o,[A]ll,[Q]uit) ", the name escaped
// (velk_EscapeName).  Returns one of VELK_ANSWER_*; yes when there is no
// usable terminal; no when input ends (Ctrl-D): an answer nobody typed never
// agrees to anything.
int velk_GetYesNo(const char *action, const char *question, const char *name);

// a - b in seconds.
double velk_DiffTimeval(const struct timeval *a, const struct timeval *b);

// Upper-case word of an action (VELK_OP), "????????" for unknown values.
const char *velk_FunctionToString(int function);
// Name of a checksum type 0..9, null for other values.
const char *velk_CksumTypeToString(int type);

// Bytes of output velk_EscapeName may make of one byte of a name.
constexpr size_t VELK_ESCAPE_GROWTH = 4;

// Writes the len bytes of name as a terminal may safely show them, the way
// GNU tar lists names: \a \b \f \n \r \t \v by their letters, a backslash
// doubled, other control bytes and DEL as a backslash and three octal
// digits, every other byte (UTF-8 included) as it is.  Writes at most room
// bytes to out (an escape that does not fit is cut) and no NUL.  Returns the
// bytes written.  Any thread.
size_t velk_EscapeName(const char *name, size_t len, char *out, size_t room);

// The NUL-terminated name escaped as velk_EscapeName does, whole.  Any
// thread.
std::string velk_ShownName(const char *name);

#endif
