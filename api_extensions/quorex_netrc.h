#ifndef QUOREX_NETRC_H
#define QUOREX_NETRC_H

// The user's netrc file as a source of the gateway login: the label under
// which the file is searched (by default the gateway's host, or a name the
// program sets) and the reader that finds the user name and password of the
// matching entry.
//
// Results: 0 (or the count a contract names) or a negated errno value.

#include "quor_sockaddr.h"

constexpr int QUOREX_NETRC_LABEL_HOST = 1;  // the label is a host name
constexpr int QUOREX_NETRC_LABEL_PLAIN = 2; // the label is a plain label
constexpr int QUOREX_NETRC_LABEL_MAX = 1024;

// Limits of the file's grammar.
constexpr int QUOREX_NETRC_TOKEN_MAX = 99;         // longer tokens are cut to this many characters
constexpr int QUOREX_NETRC_MACRO_NAME_MAX = 9;     // characters of a macro name
constexpr int QUOREX_NETRC_MACROS_MAX = 16;        // macros in one file
constexpr int QUOREX_NETRC_MACRO_BYTES_MAX = 4096; // bytes of all macro bodies together

// Whether QUOR_USE_NETRC_FILE asks for the netrc login: only "1", "yes" or
// "true" (any case) turn it on; unset, empty, "0", "no" or any other word
// leave it off.  Returns 1 or 0.
int quorex_NetrcWanted();
// The same rule for one value (null: off).
int quorex_NetrcValueOn(const char *value);

// Sets the netrc label.  Returns 0, -EFAULT for a null name, -EINVAL for an
// unknown type, -ENAMETOOLONG for a name longer than QUOREX_NETRC_LABEL_MAX.
// Thread-safe.
int quorex_SetNetrcLabel(const char *name, int type);
// Copies the label into buf (size bytes) and returns its type, or 0 when no
// label was set (buf is then empty).  Thread-safe.
int quorex_GetNetrcLabel(char *buf, int size);

// Reads "$HOME/.netrc" ("./.netrc" without HOME) for the gateway at server.
// The server's address is turned into its host name; when no label was set
// the label becomes that host name (type host).  *user and *password hold
// what is already known (malloc'd text, or null) and are never replaced;
// the first matching entry fills in those that are null with malloc'd text
// (the caller frees them, wiping the password first).  An entry whose login
// differs from a known user is passed over.  Returns 0 (also when the file
// is missing or holds no matching entry), -EPERM for a file that others may
// read holding a password or account, or a macro definition error (each
// with its message to the message sink), -ENOMEM when memory runs out, -EFAULT for
// null arguments, or the negative EAI_* code of the host look-up.  Password
// text that passed through the parser's buffers is wiped.  Not thread-safe
// against itself changing the label concurrently, otherwise reentrant.
[[nodiscard]] int quorex_ReadNetrc(const quor_sockaddr_t *server, char **user, char **password);

#endif
