#ifndef QUOREX_MSG_H
#define QUOREX_MSG_H

// The message sink of the site helpers: every text they have for a person
// (configuration warnings, netrc errors, socket option failures, OpenSSL
// start-up failures) goes through quorex_Print to one sink, one text at a
// time.  By default each text is written to standard error as it is.  Any
// thread may call these; msgsink_lock guards the sink and is held only
// while it is read or set.
//
// Results: none (the sink has nothing to fail that its caller could act on).

#include <cstddef>

// Receives one text: len bytes followed by a NUL.  May be called from
// several threads at once and must not call back into these helpers.
typedef void (*quorex_msgsink_t)(const char *text, size_t len, void *arg);

// Sends the helpers' messages to sink with arg (null: back to standard
// error).
void quorex_SetMessageSink(quorex_msgsink_t sink, void *arg);

// Formats a text as printf does and hands it to the sink whole, however
// long it is (without memory for a long one, the first 1023 bytes go out).
void quorex_Print(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// "what: <description of errnum>\n" to the sink, as perror writes it.
void quorex_PrintErrno(const char *what, int errnum);

#endif
