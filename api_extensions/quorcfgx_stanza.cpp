// The stanza parser (see quorcfgx_stanza.h).  Reads one line at a time into
// a fixed buffer of QUOR_CFG_LINE_MAX characters, so a hostile file can make
// it allocate no more than QUOR_CFG_MAX_ENTRIES nodes of bounded size.  The
// tree is built with malloc'd C strings so that it stays a plain structure
// any unit can walk and free.  No globals, no locks.

#include "quorcfgx_stanza.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

// Where lines come from: a stdio stream or bytes in memory.
struct LineSource {
    FILE *file = nullptr;
    const char *text = nullptr;
    size_t left = 0;

    // The next byte, or EOF.
    int next()
    {
        if (file != nullptr)
            return getc(file);
        if (left == 0)
            return EOF;
        left--;
        return static_cast<unsigned char>(*text++);
    }
};

// How overlong lines are treated: an error (onLong null), or skipped
// whole and reported through onLong.
struct LongLines {
    size_t maxLen = QUOR_CFG_LINE_MAX;
    quor_cfg_longline_t onLong = nullptr;
    void *ctx = nullptr;
};

constexpr int kSkippedLine = 2;

// Reads one line without its newline into buf (at least lim.maxLen + 1
// bytes).  Returns 1 for a line, 0 at end of input, kSkippedLine for an
// overlong line read to its end when lim allows skipping, or
// QUOR_CFG_E_LINELEN for a line that is too long or holds a NUL byte.
int readLine(LineSource *src, char *buf, size_t *len, const LongLines &lim)
{
    size_t n = 0;
    int c = src->next();
    if (c == EOF)
        return 0;
    while (c != EOF && c != '\n') {
        if (c == '\0')
            return QUOR_CFG_E_LINELEN;
        if (n >= lim.maxLen) {
            if (lim.onLong == nullptr)
                return QUOR_CFG_E_LINELEN;
            // The rest of the line is dropped with it: never read as a line
            // of its own.
            while (c != EOF && c != '\n') {
                if (c == '\0')
                    return QUOR_CFG_E_LINELEN;
                c = src->next();
            }
            return kSkippedLine;
        }
        buf[n++] = static_cast<char>(c);
        c = src->next();
    }
    // A CR before the newline belongs to the line ending, not the text.
    if (n > 0 && buf[n - 1] == '\r')
        n--;
    buf[n] = '\0';
    *len = n;
    return 1;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Copies [begin, end) without trailing blanks into a new string.
char *dupTrimmed(const char *begin, const char *end)
{
    while (end > begin && isBlank(end[-1]))
        end--;
    size_t n = static_cast<size_t>(end - begin);
    auto *s = static_cast<char *>(malloc(n + 1));
    if (s == nullptr)
        return nullptr;
    memcpy(s, begin, n);
    s[n] = '\0';
    return s;
}

// Building state: the chain being appended to at each open level.
struct Builder {
    quor_cfg_stanza_t *head = nullptr;               // top-level list
    quor_cfg_stanza_t *open[QUOR_CFG_MAX_OPEN] = {}; // open compound stanzas, innermost last
    int depth = 0;
    quor_cfg_stanza_t *lastAt[QUOR_CFG_MAX_OPEN + 1] = {}; // last stanza of each level
    size_t entries = 0;
};

// Appends a new stanza to the current level.  Returns it, or null with
// *error set.
quor_cfg_stanza_t *appendStanza(Builder *b, int *error)
{
    if (b->entries >= QUOR_CFG_MAX_ENTRIES) {
        *error = QUOR_CFG_E_ENTRIES;
        return nullptr;
    }
    auto *s = static_cast<quor_cfg_stanza_t *>(calloc(1, sizeof(quor_cfg_stanza_t)));
    if (s == nullptr) {
        *error = QUOR_CFG_E_NOMEM;
        return nullptr;
    }
    b->entries++;
    quor_cfg_stanza_t *&last = b->lastAt[b->depth];
    if (last != nullptr)
        last->next = s;
    else if (b->depth == 0)
        b->head = s;
    else
        b->open[b->depth - 1]->substanzaList = s;
    if (b->depth > 0)
        b->open[b->depth - 1]->substanzaCount++;
    last = s;
    return s;
}

// Parsing state carried from line to line.
struct Parser {
    Builder b;
    unsigned lineNo = 0;
    int state = TOK_INIT;
    quor_cfg_stanza_t *pending = nullptr; // the stanza whose "=" or value is awaited
};

// The token after "Key =" at *p: "{" opens a compound stanza (*p moves past
// it), ";" or "#" starts a comment, anything else is the value up to end.
// Sets *lineDone when the rest of the line is used up.  0 or a
// QUOR_CFG_E_* code.
int takeValue(Parser *ps, const char **p, const char *end, bool *lineDone)
{
    Builder &b = ps->b;
    if (**p == '{') {
        if (b.depth >= QUOR_CFG_MAX_OPEN)
            return QUOR_CFG_E_DEPTH;
        ps->pending->type = CFG_COMPOUND_TYPE;
        b.open[b.depth++] = ps->pending;
        b.lastAt[b.depth] = nullptr;
        ps->pending = nullptr;
        ps->state = TOK_INIT;
        (*p)++;
        return 0;
    }
    *lineDone = true;
    if (**p == ';' || **p == '#')
        return 0; // a comment where the value was expected
    ps->pending->KeyValue = dupTrimmed(*p, end);
    if (ps->pending->KeyValue == nullptr)
        return QUOR_CFG_E_NOMEM;
    ps->pending->type = CFG_SIMPLE_TYPE;
    ps->pending = nullptr;
    ps->state = TOK_INIT;
    return 0;
}

// A key at *p in the initial state: appends its stanza as a flag and waits
// for "=" (on this line after it, *p moving past the "="; or as the next
// token, *lineDone set).  A ";" and the blanks before it end a key line, so
// *end may move back.  0 or a QUOR_CFG_E_* code.
int takeKey(Parser *ps, const char **p, const char **end, bool *lineDone)
{
    const char *semi = static_cast<const char *>(memchr(*p, ';', static_cast<size_t>(*end - *p)));
    if (semi != nullptr) {
        *end = semi;
        while (*end > *p && isBlank((*end)[-1]))
            (*end)--;
    }
    const char *eq = static_cast<const char *>(memchr(*p, '=', static_cast<size_t>(*end - *p)));
    const char *keyEnd = eq != nullptr ? eq : *end;
    if (eq == nullptr && memchr(*p, '{', static_cast<size_t>(*end - *p)) != nullptr)
        return QUOR_CFG_E_BRACE;
    if (eq == *p)
        return QUOR_CFG_E_NOKEY;
    int err = 0;
    quor_cfg_stanza_t *s = appendStanza(&ps->b, &err);
    if (s == nullptr)
        return err;
    s->LineNum = ps->lineNo;
    s->type = CFG_FLAG_TYPE;
    s->KeyString = dupTrimmed(*p, keyEnd);
    if (s->KeyString == nullptr)
        return QUOR_CFG_E_NOMEM;
    ps->pending = s;
    if (eq == nullptr) {
        ps->state = TOK_KEYFOUND;
        *lineDone = true;
        return 0;
    }
    ps->state = TOK_PARSEVAL;
    *p = eq + 1;
    return 0;
}

// Reads the tokens of one line (len bytes at buf) into the tree.  0 or a
// QUOR_CFG_E_* code.
int scanLine(Parser *ps, const char *buf, size_t len)
{
    const char *p = buf;
    const char *end = buf + len;
    while (p < end) {
        while (p < end && isBlank(*p))
            p++;
        if (p >= end)
            break;
        if (ps->state == TOK_KEYFOUND) {
            if (*p == '=') {
                ps->state = TOK_PARSEVAL;
                p++;
                continue;
            }
            if (*p == '{')
                return QUOR_CFG_E_BRACE;
            // Anything else leaves the pending key a flag; "}" and new
            // keys are read as in the initial state.
            ps->state = TOK_INIT;
            ps->pending = nullptr;
        }
        bool lineDone = false;
        int err = 0;
        if (ps->state == TOK_PARSEVAL) {
            err = takeValue(ps, &p, end, &lineDone);
        } else if (*p == ';' || *p == '#') {
            break;
        } else if (*p == '}') {
            if (ps->b.depth == 0)
                return QUOR_CFG_E_CLOSE;
            ps->b.depth--;
            p++;
        } else {
            err = takeKey(ps, &p, &end, &lineDone);
        }
        if (err != 0)
            return err;
        if (lineDone)
            break;
    }
    return 0;
}

// At end of input: a "Key =" still waiting for its value or "{", or an
// unclosed compound stanza, is QUOR_CFG_E_BRACE at the line of that key.
// 0 or QUOR_CFG_E_BRACE with ps->lineNo set.
int checkClosed(Parser *ps)
{
    if (ps->state == TOK_PARSEVAL) {
        ps->lineNo = ps->pending->LineNum;
        return QUOR_CFG_E_BRACE;
    }
    if (ps->b.depth > 0) {
        ps->lineNo = ps->b.open[ps->b.depth - 1]->LineNum;
        return QUOR_CFG_E_BRACE;
    }
    return 0;
}

int parse(LineSource *src, quor_cfg_stanza_t **list, int *error, unsigned *lineOut, const LongLines &lim = {})
{
    Parser ps;
    char buf[QUOR_CFG_LINE_MAX + 1];
    int err = 0;
    for (;;) {
        size_t len = 0;
        int got = readLine(src, buf, &len, lim);
        if (got == 0)
            break;
        ps.lineNo++;
        if (got == kSkippedLine) {
            lim.onLong(lim.ctx, ps.lineNo);
            continue;
        }
        err = got < 0 ? got : scanLine(&ps, buf, len);
        if (err != 0)
            break;
    }
    if (err == 0)
        err = checkClosed(&ps);
    if (err == 0) {
        *list = ps.b.head;
        return 0;
    }
    quorcfgx_CfgFree(ps.b.head);
    *list = nullptr;
    *error = err;
    *lineOut = ps.lineNo;
    return err;
}

// True when text holds token as a whole blank-separated word.
bool hasWord(const char *text, const char *token)
{
    size_t tlen = strlen(token);
    if (text == nullptr || tlen == 0)
        return false;
    const char *p = text;
    while (*p != '\0') {
        while (isBlank(*p))
            p++;
        const char *w = p;
        while (*p != '\0' && !isBlank(*p))
            p++;
        if (static_cast<size_t>(p - w) == tlen && memcmp(w, token, tlen) == 0)
            return true;
    }
    return false;
}

} // namespace

int quorcfgx_CfgParse(const char *path, quor_cfg_stanza_t **list, int *error, unsigned *line)
{
    FILE *f = path != nullptr ? fopen(path, "re") : nullptr;
    if (f == nullptr) {
        *list = nullptr;
        *error = QUOR_CFG_E_OPEN;
        *line = 0;
        return QUOR_CFG_E_OPEN;
    }
    LineSource src;
    src.file = f;
    int rc = parse(&src, list, error, line);
    fclose(f);
    return rc;
}

int quorcfgx_CfgParseSkipLong(const char *path, size_t maxLen, quor_cfg_longline_t onLong, void *ctx,
                              quor_cfg_stanza_t **list, int *error, unsigned *line)
{
    FILE *f = path != nullptr ? fopen(path, "re") : nullptr;
    if (f == nullptr) {
        *list = nullptr;
        *error = QUOR_CFG_E_OPEN;
        *line = 0;
        return QUOR_CFG_E_OPEN;
    }
    LineSource src;
    src.file = f;
    LongLines lim;
    lim.maxLen = maxLen < QUOR_CFG_LINE_MAX ? maxLen : QUOR_CFG_LINE_MAX;
    lim.onLong = onLong;
    lim.ctx = ctx;
    int rc = parse(&src, list, error, line, lim);
    fclose(f);
    return rc;
}

int quorcfgx_CfgParseText(const char *text, size_t len, quor_cfg_stanza_t **list, int *error, unsigned *line)
{
    LineSource src;
    src.text = text;
    src.left = text != nullptr ? len : 0;
    return parse(&src, list, error, line);
}

const char *quorcfgx_CfgErrorText(int error)
{
    switch (error) {
    case QUOR_CFG_E_OPEN: return "cannot open the file";
    case QUOR_CFG_E_LINELEN: return "line too long or holding a NUL byte";
    case QUOR_CFG_E_NOMEM: return "out of memory";
    case QUOR_CFG_E_DEPTH: return "compound stanzas nested too deep";
    case QUOR_CFG_E_BRACE: return "'{' where none may stand, or a stanza left open at the end of the file";
    case QUOR_CFG_E_CLOSE: return "'}' without an open compound stanza";
    case QUOR_CFG_E_ENTRIES: return "too many entries";
    case QUOR_CFG_E_NOKEY: return "'=' without a key";
    default: return "unknown error";
    }
}

quor_cfg_stanza_t *quorcfgx_CfgFindKey(const char *key, quor_cfg_stanza_t *list, int ignore_case)
{
    if (key == nullptr)
        return nullptr;
    for (quor_cfg_stanza_t *s = list; s != nullptr; s = s->next) {
        if (s->KeyString == nullptr)
            continue;
        if (ignore_case ? strcasecmp(s->KeyString, key) == 0 : strcmp(s->KeyString, key) == 0)
            return s;
    }
    return nullptr;
}

quor_cfg_stanza_t *quorcfgx_CfgFindToken(const char *token, quor_cfg_stanza_t *list, int in_values, int recurse)
{
    if (token == nullptr)
        return nullptr;
    for (quor_cfg_stanza_t *s = list; s != nullptr; s = s->next) {
        if (in_values) {
            if (s->type != CFG_FLAG_TYPE && hasWord(s->KeyValue, token))
                return s;
        } else if (hasWord(s->KeyString, token)) {
            return s;
        }
        if (recurse && s->type == CFG_COMPOUND_TYPE) {
            quor_cfg_stanza_t *found = quorcfgx_CfgFindToken(token, s->substanzaList, in_values, recurse);
            if (found != nullptr)
                return found;
        }
    }
    return nullptr;
}

void quorcfgx_CfgFree(quor_cfg_stanza_t *list)
{
    while (list != nullptr) {
        quor_cfg_stanza_t *next = list->next;
        // Depth is capped by the parser, so recursion is bounded.
        quorcfgx_CfgFree(list->substanzaList);
        free(list->FileName);
        free(list->KeyString);
        free(list->KeyValue);
        free(list);
        list = next;
    }
}
