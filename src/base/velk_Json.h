#ifndef VELK_JSON_H
#define VELK_JSON_H

// JSON Lines records for scripts (--json): one object per line, built as a
// string and written whole.  Member names are bytes, not text, so a string
// value is made from bytes: valid UTF-8 is kept as it is; a quote, a
// backslash, control characters and DEL are escaped (\" \\ \b \f \n \r \t,
// else \u00XX); and every byte that is not part of valid UTF-8 becomes
// \udcXX, XX being the byte (the "surrogateescape" scheme: a reader that
// decodes the value and encodes it again with that scheme gets the original
// bytes back, and no valid name can produce these escapes).  No state; any
// thread.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Appends len bytes of s as a quoted JSON string to *out.
void velk_JsonString(std::string *out, const char *s, size_t len);

// An object being built: velk_JsonBegin starts it, each velk_JsonAdd* adds
// "key":value (key is a plain literal, never escaped), velk_JsonEnd closes
// it with "}\n".
void velk_JsonBegin(std::string *out);
void velk_JsonAddStr(std::string *out, const char *key, const char *s, size_t len);
void velk_JsonAddCStr(std::string *out, const char *key, const char *s);
void velk_JsonAddInt(std::string *out, const char *key, int64_t value);
void velk_JsonAddBool(std::string *out, const char *key, bool value);
void velk_JsonEnd(std::string *out);

// Writes one finished record (or any whole line) to out with one call and
// flushes, so that records from several threads never mix.  0, or -1 when
// the write failed.
int velk_JsonEmit(FILE *out, const std::string &record);

// Gives the records standard output to themselves: returns a stream on a
// copy of descriptor 1 and points descriptor 1 at standard error, so that
// every other line the run prints, whatever prints it, goes there.  Null
// when a descriptor could not be had (nothing changed then).  Initial
// thread, before any other thread prints.
FILE *velk_JsonTakeStdout();

#endif
