// Success and exceptions list records.  A record is formatted whole in a
// local buffer and written with one call, then flushed, so lines from a
// stopped run are never cut.  No state of its own; no locks beyond stdio's.

#include "velk_Outcome.h"

#include <cctype>
#include <string>

#include "velk_Globals.h"
#include "velk_Json.h"
#include "velk_LogMsg.h"

namespace {

// The characters an input list would trim from either end of a line.
bool trimmable(unsigned char c)
{
    return isspace(c) || !isprint(c);
}

int writeLine(FILE *fp, const std::string &line)
{
    if (fp == nullptr)
        return 1;
    if (fwrite(line.data(), 1, line.size(), fp) != line.size())
        return -1;
    return fflush(fp) == 0 ? 0 : -1;
}

std::string escaped(const char *name)
{
    std::string s(name);
    std::string out;
    out.reserve(s.size() + 8);
    for (size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        bool atEnd = i == 0 || i + 1 == s.size();
        if (c == '\\' || c == '\t' || c == '\n' || (atEnd && trimmable(c)))
            out += '\\';
        out += static_cast<char>(c);
    }
    return out;
}

} // namespace

int velk_OutcomeRecord(const velk_outcome_t *o, const char *name, const char *outcome, const char *reason)
{
    if (o == nullptr || o->records == nullptr)
        return 1;
    std::string rec;
    velk_JsonBegin(&rec);
    velk_JsonAddCStr(&rec, "name", name);
    velk_JsonAddCStr(&rec, "action", o->action != nullptr ? o->action : "");
    velk_JsonAddCStr(&rec, "outcome", outcome);
    if (reason != nullptr)
        velk_JsonAddCStr(&rec, "reason", reason);
    velk_JsonEnd(&rec);
    if (velk_JsonEmit(o->records, rec) == 0)
        return 0;
    // A script reading the records would miss this member: the run fails.
    velk_NoteFailure("record not written");
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

int velk_OutcomeOk(const velk_outcome_t *o, const char *name)
{
    if (o == nullptr)
        return 1;
    (void)velk_OutcomeRecord(o, name, "ok", nullptr);
    return writeLine(o->ok, escaped(name) + "\n");
}

int velk_OutcomeFailed(const velk_outcome_t *o, const char *name, const char *reason)
{
    if (o == nullptr)
        return 1;
    (void)velk_OutcomeRecord(o, name, "failed", reason);
    return writeLine(o->ex, escaped(name) + "\t" + reason + "\n");
}
