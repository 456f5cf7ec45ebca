#ifndef QUOREX_NETRC_H
#define QUOREX_NETRC_H

// The label under which the user's netrc file is searched for the gateway
// login: by default the gateway's host, or a name the program sets.

constexpr int QUOREX_NETRC_LABEL_HOST = 1;   // the label is a host name
constexpr int QUOREX_NETRC_LABEL_PLAIN = 2;  // the label is a plain label
constexpr int QUOREX_NETRC_LABEL_MAX = 1024;

// Sets the netrc label.  Returns 0, -14 for a null name, -22 for an unknown
// type, -36 for a name longer than QUOREX_NETRC_LABEL_MAX.  Thread-safe.
int quorex_SetNetrcLabel(const char *name, int type);
// Copies the label into buf (size bytes) and returns its type, or 0 when no
// label was set (buf is then empty).  Thread-safe.
int quorex_GetNetrcLabel(char *buf, int size);

#endif
