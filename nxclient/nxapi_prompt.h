#ifndef NXAPI_PROMPT_H
#define NXAPI_PROMPT_H

// Prompts of the login methods on the controlling terminal: passwords and
// PAM answers read with echo off, user names read with echo on, texts shown
// to the user.  While echo is off, SIGHUP, SIGQUIT and SIGINT restore the
// terminal before the signal takes its previous course.  One prompt runs at
// a time (prompt_lock, held across the terminal I/O; only msgsink_lock is
// taken under it).
//
// Results: as the client library's (0, a length, or a negative gateway
// code named in each contract).

#include <cstddef>

// The terminal every prompt uses unless a test names another.
constexpr const char *NXAPI_TTY_PATH = "/dev/tty";
constexpr size_t NXAPI_TTY_PATH_MAX = 256;
// A PAM answer: at most this many bytes including the NUL.
constexpr size_t NXAPI_PAM_RESPONSE_MAX = 512;
// Blanks written after a carriage return to clear the prompt line.
constexpr int NXAPI_PROMPT_CLEAR_WIDTH = 50;

// Names the terminal the prompts open (null: "/dev/tty" again).  Tests
// point it at a pseudo-terminal.  Returns 0 or -ENAMETOOLONG for a path too
// long.
int nxapi_SetTerminalPath(const char *path);
// True when the terminal opens for reading and writing and is a terminal.
bool nxapi_TerminalIsInteractive();
// Reads a password with echo off: clears the line, writes "\r[label]prompt: "
// (or "\rprompt: " without a label), reads one line of at most size-1
// characters, asking once more when the answer is empty; then writes a
// newline and restores the terminal and the signal handlers.  Returns the
// length read, NXAPI_E_FAILED (terminal missing or not a terminal, with
// errno ENXIO for a missing one, and its message through nxapi_Print), or
// -ECANCELED when the stop hook said stop while it waited (nothing kept).
// buf is the caller's to wipe.
[[nodiscard]] int nxapi_GetPassword(const char *prompt, const char *label, char *buf, size_t size);
// Reads one line with echo on after clearing the line and writing prompt;
// the trailing newline and blanks are removed.  Returns the length,
// NXAPI_E_FAILED when the terminal cannot be used, or -ECANCELED when the
// stop hook said stop while it waited.
[[nodiscard]] int nxapi_PromptLine(const char *prompt, char *buf, size_t size);
// A PAM conversation answer: writes "\r" and prompt, reads one line (echo
// off when echoOff) into a malloc'd zeroed NXAPI_PAM_RESPONSE_MAX-byte
// buffer, *response (the caller wipes and frees it).  Returns 0, -ENXIO
// when the terminal cannot be used or read, or -ENOMEM.
[[nodiscard]] int nxapi_PamGetResponse(int echoOff, const char *prompt, char **response);
// Writes text on the terminal.  0, or NXAPI_E_FAILED when it cannot be
// opened.
int nxapi_TerminalWrite(const char *text);

#endif
