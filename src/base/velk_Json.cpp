// JSON string escaping of byte names and JSON Lines records.

#include "velk_Json.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Length of the valid UTF-8 sequence starting at s[0] (at most len bytes
// available), or 0 when it is not one: a bad lead byte, a missing or wrong
// continuation byte, an overlong form, a UTF-16 surrogate or a code point
// above U+10FFFF.
size_t utf8SequenceLength(const unsigned char *s, size_t len)
{
    unsigned char c = s[0];
    size_t n = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0)
            lo = 0xA0; // overlong below U+0800
        else if (c == 0xED)
            hi = 0x9F; // surrogates U+D800..U+DFFF
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0)
            lo = 0x90; // overlong below U+10000
        else if (c == 0xF4)
            hi = 0x8F; // above U+10FFFF
    } else {
        return 0;
    }
    if (len < n || s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < n; ++i)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return n;
}

void appendEscape(std::string *out, unsigned int high, unsigned char byte)
{
    static const char hex[] = "0123456789abcdef";
    char esc[6] = {'\\', 'u', hex[(high >> 4) & 0xF], hex[high & 0xF], hex[byte >> 4], hex[byte & 0xF]};
    out->append(esc, sizeof esc);
}

void appendKey(std::string *out, const char *key)
{
    if (!out->empty() && out->back() != '{')
        out->push_back(',');
    out->push_back('"');
    out->append(key);
    out->append("\":", 2);
}

} // namespace

void velk_JsonString(std::string *out, const char *s, size_t len)
{
    const auto *b = reinterpret_cast<const unsigned char *>(s);
    out->push_back('"');
    size_t i = 0;
    while (i < len) {
        unsigned char c = b[i];
        if (c >= 0x80) {
            size_t n = utf8SequenceLength(b + i, len - i);
            if (n == 0) {
                appendEscape(out, 0xDC, c);
                ++i;
            } else {
                out->append(s + i, n);
                i += n;
            }
            continue;
        }
        ++i;
        switch (c) {
        case '"': out->append("\\\"", 2); break;
        case '\\': out->append("\\\\", 2); break;
        case '\b': out->append("\\b", 2); break;
        case '\f': out->append("\\f", 2); break;
        case '\n': out->append("\\n", 2); break;
        case '\r': out->append("\\r", 2); break;
        case '\t': out->append("\\t", 2); break;
        default:
            if (c < 0x20 || c == 0x7F)
                appendEscape(out, 0x00, c);
            else
                out->push_back(static_cast<char>(c));
        }
    }
    out->push_back('"');
}

void velk_JsonBegin(std::string *out)
{
    out->clear();
    out->push_back('{');
}

void velk_JsonAddStr(std::string *out, const char *key, const char *s, size_t len)
{
    appendKey(out, key);
    velk_JsonString(out, s, len);
}

void velk_JsonAddCStr(std::string *out, const char *key, const char *s)
{
    velk_JsonAddStr(out, key, s, s != nullptr ? strlen(s) : 0);
}

void velk_JsonAddInt(std::string *out, const char *key, int64_t value)
{
    appendKey(out, key);
    out->append(std::to_string(value));
}

void velk_JsonAddBool(std::string *out, const char *key, bool value)
{
    appendKey(out, key);
    out->append(value ? "true" : "false");
}

void velk_JsonEnd(std::string *out)
{
    out->append("}\n", 2);
}

int velk_JsonEmit(FILE *out, const std::string &record)
{
    if (fwrite(record.data(), 1, record.size(), out) != record.size())
        return -1;
    return fflush(out) == 0 ? 0 : -1;
}

FILE *velk_JsonTakeStdout()
{
    fflush(stdout);
    int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0)
        return nullptr;
    FILE *out = fdopen(fd, "w");
    if (out == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        if (out != nullptr)
            fclose(out);
        else
            close(fd);
        return nullptr;
    }
    return out;
}
