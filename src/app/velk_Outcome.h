#ifndef VELK_OUTCOME_H
#define VELK_OUTCOME_H

// The per-member records of a run: the success list (-H okfile) gets one
// line per member the action completed, the exceptions list (-H exfile) one
// line per member it did not, with the reason.  Each line is written in one
// piece and flushed at once, so a run that is stopped leaves whole lines
// behind.  A line is one an input list (-L) reads back as the same name: the
// name is written with backslash escapes for a backslash, a tab, a newline
// and a blank or unprintable character at either end, and the reason
// follows a tab, which ends the name for -L.  The action owns the record;
// the streams are the run's and stay open.  Whichever thread handles a
// member writes its line; an action never writes from two threads at once.

#include <cstdio>

struct velk_outcome_t {
    FILE *ok = nullptr; // success list, or null
    FILE *ex = nullptr; // exceptions list, or null
};

// Appends "<name>\n" to the success list.  Returns 0, 1 when there is no
// list, or -1 when the write failed (the run goes on).
int velk_OutcomeOk(const velk_outcome_t *o, const char *name);

// Appends "<name>\t<reason>\n" to the exceptions list.  Returns as
// velk_OutcomeOk.
int velk_OutcomeFailed(const velk_outcome_t *o, const char *name, const char *reason);

#endif
