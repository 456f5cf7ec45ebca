#ifndef VELK_LISTFILE_H
#define VELK_LISTFILE_H

// Reader of -L input lists: one name per line.  Each line loses its newline,
// its trailing blanks and unprintable characters and its leading ones;
// empty lines are skipped; a line longer than VELK_LISTFILE_MAX_LINE
// characters is refused.  A backslash makes the next character literal, as
// in an operand: an escaped newline continues the name on the next line,
// an escaped blank at the end is kept.  An unescaped tab ends the name; the
// rest of the line is a remark (the exceptions list puts the reason of a
// failure there).  Initial thread only (member selection).

#include <cstddef>
#include <cstdio>

// Longest line of an input list, newline not counted.
constexpr size_t VELK_LISTFILE_MAX_LINE = 4096;

// Called once per line that names something (velk_ListLineName) with the line number (from 1);
// returns 0 to go on, or a negative result that stops the reading and is
// returned by velk_ReadListStream.
typedef int (*velk_listline_fn)(const char *name, long lineno, void *arg);

// Trims line in place (leading and trailing blanks and unprintable
// characters, newline included, but not an escaped one at the end) and
// returns the remaining length.
size_t velk_TrimListLine(char *line);

// The name of one list line, in place: trimmed, cut at the first unescaped
// tab and trimmed again.  Returns its length (0: the line names nothing).
size_t velk_ListLineName(char *line);

// Reads fp to its end, handing each trimmed non-empty line to fn.  listName
// names the list in messages.  Returns the number of lines handed on, -1
// when a line is too long (message at level ERROR naming the list and the
// line, status 64), when reading fails (status 72) or when a shutdown was
// signalled, or the negative result with which fn stopped the reading.  An
// embedded NUL byte ends the name of its line.
int velk_ReadListStream(FILE *fp, const char *listName, velk_listline_fn fn, void *arg);

#endif
