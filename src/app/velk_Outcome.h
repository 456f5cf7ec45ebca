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
// With --json each outcome is also a JSON Lines record on the run's record
// stream: {"name":..., "action":..., "outcome":..., "reason":...} (reason
// only for a member not done).

#include <cstdio>

struct velk_outcome_t {
    FILE *ok = nullptr;           // success list, or null
    FILE *ex = nullptr;           // exceptions list, or null
    FILE *records = nullptr;      // --json record stream, or null
    const char *action = nullptr; // the action's word in the records
};

// Appends "<name>\n" to the success list and a record with the outcome
// "ok".  Returns 0, 1 when there is no list, or -1 when the list's write
// failed (the run goes on).  A record that cannot be written fails the run
// (velk_OutcomeRecord).
int velk_OutcomeOk(const velk_outcome_t *o, const char *name);

// Appends "<name>\t<reason>\n" to the exceptions list and a record with
// the outcome "failed" and the reason.  Returns as velk_OutcomeOk.
int velk_OutcomeFailed(const velk_outcome_t *o, const char *name, const char *reason);

// Only the record, with an outcome of the action's own ("deleted",
// "skipped", ...) and a reason when not null.  0, 1 without a record
// stream, or -1 when the write failed: then the failure is counted and the
// exit status set to 72, for a reader of the records misses a member.
int velk_OutcomeRecord(const velk_outcome_t *o, const char *name, const char *outcome, const char *reason);

#endif
