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

// Reads one line without its newline into buf (QUOR_CFG_LINE_MAX + 1
// bytes).  Returns 1 for a line, 0 at end of input, or QUOR_CFG_E_LINELEN
// for a line that is too long or holds a NUL byte.
int readLine(LineSource *src, char *buf, size_t *len)
{
    size_t n = 0;
    int c = src->next();
    if (c == EOF)
        return 0;
    while (c != EOF && c != '\n') {
        if (c == '\0' || n >= QUOR_CFG_LINE_MAX)
            return QUOR_CFG_E_LINELEN;
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

int parse(LineSource *src, quor_cfg_stanza_t **list, int *error, unsigned *lineOut)
{
    Builder b;
    char buf[QUOR_CFG_LINE_MAX + 1];
    unsigned lineNo = 0;
    int state = TOK_INIT;
    quor_cfg_stanza_t *pending = nullptr; // the stanza whose "=" or value is awaited
    int err = 0;

    for (;;) {
        size_t len = 0;
        int got = readLine(src, buf, &len);
        if (got == 0)
            break;
        lineNo++;
        if (got < 0) {
            err = got;
            goto fail;
        }
        const char *p = buf;
        const char *end = buf + len;
        while (p < end) {
            while (p < end && isBlank(*p))
                p++;
            if (p >= end)
                break;
            if (state == TOK_KEYFOUND) {
                if (*p == '=') {
                    state = TOK_PARSEVAL;
                    p++;
                    continue;
                }
                if (*p == '{') {
                    err = QUOR_CFG_E_BRACE;
                    goto fail;
                }
                // Anything else leaves the pending key a flag; "}" and new
                // keys are read as in the initial state.
                state = TOK_INIT;
                pending = nullptr;
            }
            if (state == TOK_PARSEVAL) {
                if (*p == '{') {
                    if (b.depth >= QUOR_CFG_MAX_OPEN) {
                        err = QUOR_CFG_E_DEPTH;
                        goto fail;
                    }
                    pending->type = CFG_COMPOUND_TYPE;
                    b.open[b.depth++] = pending;
                    b.lastAt[b.depth] = nullptr;
                    pending = nullptr;
                    state = TOK_INIT;
                    p++;
                    continue;
                }
                if (*p == ';' || *p == '#')
                    break; // a comment where the value was expected
                pending->KeyValue = dupTrimmed(p, end);
                if (pending->KeyValue == nullptr) {
                    err = QUOR_CFG_E_NOMEM;
                    goto fail;
                }
                pending->type = CFG_SIMPLE_TYPE;
                pending = nullptr;
                state = TOK_INIT;
                break;
            }
            // TOK_INIT
            if (*p == ';' || *p == '#')
                break;
            if (*p == '}') {
                if (b.depth == 0) {
                    err = QUOR_CFG_E_CLOSE;
                    goto fail;
                }
                b.depth--;
                p++;
                continue;
            }
            {
                // On a key line a ";" and the blanks before it end the line.
                const char *semi = static_cast<const char *>(memchr(p, ';', static_cast<size_t>(end - p)));
                if (semi != nullptr) {
                    end = semi;
                    while (end > p && isBlank(end[-1]))
                        end--;
                }
                const char *eq = static_cast<const char *>(memchr(p, '=', static_cast<size_t>(end - p)));
                const char *keyEnd = eq != nullptr ? eq : end;
                if (eq == nullptr && memchr(p, '{', static_cast<size_t>(end - p)) != nullptr) {
                    err = QUOR_CFG_E_BRACE;
                    goto fail;
                }
                if (eq == p) {
                    err = QUOR_CFG_E_NOKEY;
                    goto fail;
                }
                quor_cfg_stanza_t *s = appendStanza(&b, &err);
                if (s == nullptr)
                    goto fail;
                s->LineNum = lineNo;
                s->type = CFG_FLAG_TYPE;
                s->KeyString = dupTrimmed(p, keyEnd);
                if (s->KeyString == nullptr) {
                    err = QUOR_CFG_E_NOMEM;
                    goto fail;
                }
                pending = s;
                if (eq == nullptr) {
                    state = TOK_KEYFOUND;
                    break;
                }
                state = TOK_PARSEVAL;
                p = eq + 1;
            }
        }
    }
    if (state == TOK_PARSEVAL) {
        // "Key =" with neither a value nor "{" before the end of the file.
        err = QUOR_CFG_E_BRACE;
        lineNo = pending->LineNum;
        goto fail;
    }
    if (b.depth > 0) {
        err = QUOR_CFG_E_BRACE;
        lineNo = b.open[b.depth - 1]->LineNum;
        goto fail;
    }
    *list = b.head;
    return 0;

fail:
    quor_CfgFree(b.head);
    *list = nullptr;
    *error = err;
    *lineOut = lineNo;
    return -1;
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

int quor_CfgParse(const char *path, quor_cfg_stanza_t **list, int *error, unsigned *line)
{
    FILE *f = path != nullptr ? fopen(path, "re") : nullptr;
    if (f == nullptr) {
        *list = nullptr;
        *error = QUOR_CFG_E_OPEN;
        *line = 0;
        return -1;
    }
    LineSource src;
    src.file = f;
    int rc = parse(&src, list, error, line);
    fclose(f);
    return rc;
}

int quor_CfgParseText(const char *text, size_t len, quor_cfg_stanza_t **list, int *error, unsigned *line)
{
    LineSource src;
    src.text = text;
    src.left = text != nullptr ? len : 0;
    return parse(&src, list, error, line);
}

const char *quor_CfgErrorText(int error)
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

quor_cfg_stanza_t *quor_CfgFindKey(const char *key, quor_cfg_stanza_t *list, int ignore_case)
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

quor_cfg_stanza_t *quor_CfgFindToken(const char *token, quor_cfg_stanza_t *list, int in_values, int recurse)
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
            quor_cfg_stanza_t *found = quor_CfgFindToken(token, s->substanzaList, in_values, recurse);
            if (found != nullptr)
                return found;
        }
    }
    return nullptr;
}

void quor_CfgFree(quor_cfg_stanza_t *list)
{
    while (list != nullptr) {
        quor_cfg_stanza_t *next = list->next;
        // Depth is capped by the parser, so recursion is bounded.
        quor_CfgFree(list->substanzaList);
        free(list->FileName);
        free(list->KeyString);
        free(list->KeyValue);
        free(list);
        list = next;
    }
}
