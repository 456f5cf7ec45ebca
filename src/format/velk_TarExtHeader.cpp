// Extension records before a member's header: long names and link targets
// of GNU archives and pax extended headers.  The records are gathered block
// by block, parsed with every length checked against the bytes present, and
// their values laid into a copy of the member's header the way an index
// entry holds them.  Pure apart from the reader's buffer; no messages, no
// locks.

#include "velk_TarExtHeader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velk_IndexFormat.h"

namespace {

constexpr uint32_t kTextBits = VELK_TAREXT_PATH | VELK_TAREXT_LINK | VELK_TAREXT_UNAME | VELK_TAREXT_GNAME;
// Owner ids an 8-byte octal field holds without its NUL: 8 digits.
constexpr uint64_t kIdLimit = uint64_t{1} << 24;
// Ids below this fit 7 digits and the NUL, as ustar writes them.
constexpr uint64_t kIdTerminated = uint64_t{1} << 21;
// The GNU tar magic: "ustar" and a blank, then the version " " and a NUL.
constexpr char kGnuMagic[8] = {'u', 's', 't', 'a', 'r', ' ', ' ', '\0'};

bool keyIs(const unsigned char *key, size_t len, const char *name)
{
    return strlen(name) == len && memcmp(key, name, len) == 0;
}

// A decimal number of len bytes.  0, or -1 when it is not one; *tooBig when
// it passes 64 bits.
int parseDecimal(const unsigned char *v, size_t len, uint64_t *out, bool *tooBig)
{
    if (len == 0)
        return -1;
    uint64_t value = 0;
    for (size_t i = 0; i < len; i++) {
        if (v[i] < '0' || v[i] > '9')
            return -1;
        unsigned d = v[i] - '0';
        if (value > (UINT64_MAX - d) / 10)
            *tooBig = true;
        else
            value = value * 10 + d;
    }
    *out = value;
    return 0;
}

// A pax time: an optional '-', seconds, an optional '.' and fraction.  Only
// whole seconds from 1970 on are kept; a time before is too big to hold.
int parseTime(const unsigned char *v, size_t len, uint64_t *out, bool *tooBig)
{
    bool negative = len > 0 && v[0] == '-';
    size_t start = negative ? 1 : 0;
    const void *dot = memchr(v + start, '.', len - start);
    size_t intLen =
        dot != nullptr ? static_cast<size_t>(static_cast<const unsigned char *>(dot) - v) - start : len - start;
    uint64_t frac = 0;
    bool fracBig = false;
    if (dot != nullptr && start + intLen + 1 < len &&
        parseDecimal(v + start + intLen + 1, len - start - intLen - 1, &frac, &fracBig) != 0)
        return -1;
    if (parseDecimal(v + start, intLen, out, tooBig) != 0)
        return -1;
    if (negative && *out != 0)
        *tooBig = true;
    return 0;
}

void setText(char *field, size_t *lenOut, const unsigned char *v, size_t len)
{
    size_t keep = len > VELK_TAREXT_TEXT_MAX ? 0 : len;
    memcpy(field, v, keep);
    field[keep] = '\0';
    *lenOut = len;
}

// Stores one record's value.  0 or VELK_TAREXT_MALFORMED.
int applyKey(velk_tar_ext_t *ext, const unsigned char *key, size_t keyLen, const unsigned char *v, size_t len,
             const char **why)
{
    static const struct {
        const char *name;
        uint32_t bit;
    } keys[] = {{"path", VELK_TAREXT_PATH},   {"linkpath", VELK_TAREXT_LINK}, {"size", VELK_TAREXT_SIZE},
                {"mtime", VELK_TAREXT_MTIME}, {"uid", VELK_TAREXT_UID},       {"gid", VELK_TAREXT_GID},
                {"uname", VELK_TAREXT_UNAME}, {"gname", VELK_TAREXT_GNAME}};
    if (keyLen > 11 && memcmp(key, "GNU.sparse.", 11) == 0) {
        ext->have |= VELK_TAREXT_SPARSE;
        return 0;
    }
    uint32_t bit = 0;
    for (const auto &k : keys)
        if (keyIs(key, keyLen, k.name))
            bit = k.bit;
    if (bit == 0)
        return 0; // times of access and change, comments, attributes: not kept
    ext->have &= ~bit;
    ext->tooBig &= ~bit;
    ext->cleared &= ~bit;
    if (len == 0) {
        ext->cleared |= bit;
        return 0;
    }
    if ((bit & kTextBits) != 0 && memchr(v, '\0', len) != nullptr) {
        *why = "a name in an extended header holds a NUL byte";
        return VELK_TAREXT_MALFORMED;
    }
    bool tooBig = false;
    int rc = 0;
    switch (bit) {
    case VELK_TAREXT_PATH: setText(ext->path, &ext->pathLen, v, len); break;
    case VELK_TAREXT_LINK: setText(ext->link, &ext->linkLen, v, len); break;
    case VELK_TAREXT_SIZE: rc = parseDecimal(v, len, &ext->size, &tooBig); break;
    case VELK_TAREXT_MTIME: rc = parseTime(v, len, &ext->mtime, &tooBig); break;
    case VELK_TAREXT_UID: rc = parseDecimal(v, len, &ext->uid, &tooBig); break;
    case VELK_TAREXT_GID: rc = parseDecimal(v, len, &ext->gid, &tooBig); break;
    default: {
        char *field = bit == VELK_TAREXT_UNAME ? ext->uname : ext->gname;
        tooBig = len > VELK_TAREXT_OWNER_MAX;
        size_t keep = tooBig ? 0 : len;
        memcpy(field, v, keep);
        field[keep] = '\0';
        break;
    }
    }
    if (rc != 0) {
        *why = "a number in an extended header is not a number";
        return VELK_TAREXT_MALFORMED;
    }
    ext->have |= bit;
    if (tooBig)
        ext->tooBig |= bit;
    return 0;
}

// The extension values that apply to a field: the member's own, else the
// global ones unless the member cleared them.  nullptr for none.
const velk_tar_ext_t *source(const velk_tar_ext_t *g, const velk_tar_ext_t *m, uint32_t bit)
{
    if (m != nullptr && (m->have & bit) != 0)
        return m;
    if (g != nullptr && (g->have & bit) != 0 && (m == nullptr || (m->cleared & bit) == 0))
        return g;
    return nullptr;
}

// A binary number field (GNU base-256: the top bit of the first byte set).
// Returns 1 with *value for one, 0 for an octal field; a negative number or
// one past 64 bits sets *tooBig.
int base256(const unsigned char *field, size_t width, uint64_t *value, bool *tooBig)
{
    if ((field[0] & 0x80) == 0)
        return 0;
    if ((field[0] & 0x40) != 0) {
        *tooBig = true; // negative
        return 1;
    }
    uint64_t v = field[0] & 0x3f;
    for (size_t i = 1; i < width; i++) {
        if ((v >> 56) != 0)
            *tooBig = true;
        v = (v << 8) | field[i];
    }
    *value = v;
    return 1;
}

// Splits path into the directory part and the name an index entry holds:
// the name at most 100 bytes, the part before the '/' 1 to 155 bytes.
// Writes both fields of out.  0, or -1 when no '/' splits it so.
int splitPath(const char *path, size_t len, unsigned char *out)
{
    size_t cut = 0;
    if (len > VELK_TAREXT_NAME_MAX) {
        size_t lowest = len - VELK_TAREXT_NAME_MAX - 1;
        for (size_t p = lowest; p + 1 < len && p <= VELK_TAREXT_PREFIX_MAX; p++)
            if (path[p] == '/' && p >= 1)
                cut = p; // the rightmost, which keeps the name shortest
        if (cut == 0)
            return -1;
    }
    memset(out + USTAR_name_offset, 0, USTAR_name_size);
    memset(out + USTAR_prefix_offset, 0, USTAR_prefix_size);
    if (cut == 0) {
        memcpy(out + USTAR_name_offset, path, len);
    } else {
        memcpy(out + USTAR_prefix_offset, path, cut);
        memcpy(out + USTAR_name_offset, path + cut + 1, len - cut - 1);
    }
    return 0;
}

int applyPath(const velk_tar_ext_t *s, unsigned char *out, const char **why)
{
    size_t len = s->pathLen;
    if (len <= VELK_TAREXT_TEXT_MAX) {
        if (splitPath(s->path, len, out) == 0)
            return 0;
        // A directory's trailing '/' may be what keeps its name too long.
        if (out[USTAR_typeflag_offset] == USTAR_TYPE_DIRECTORY && len > 1 && s->path[len - 1] == '/' &&
            splitPath(s->path, len - 1, out) == 0)
            return 0;
    }
    *why = "its name does not fit an index entry (at most 100 bytes after the last '/' that leaves at most 155 "
           "before it)";
    return VELK_TAREXT_UNREPRESENTABLE;
}

// The numeric fields: an extension value, else a binary field of the header
// made octal.  0 or VELK_TAREXT_UNREPRESENTABLE.
int applyNumbers(const unsigned char *raw, const velk_tar_ext_t *g, const velk_tar_ext_t *m, unsigned char *out,
                 bool *changed, const char **why)
{
    static const struct {
        uint32_t bit;
        size_t offset, width;
        uint64_t limit; // first value not held
        const char *why;
    } fields[] = {
        {VELK_TAREXT_SIZE, USTAR_size_offset, USTAR_size_size, VELK_MAX_MEMBER_SIZE + 1, "its size is 64 GiB or more"},
        {VELK_TAREXT_MTIME, USTAR_mtime_offset, USTAR_mtime_size, uint64_t{1} << 32,
         "its modification time is before 1970 or past 32 bits"},
        {VELK_TAREXT_UID, USTAR_uid_offset, USTAR_uid_size, kIdLimit, "its owner id is 2^24 or more"},
        {VELK_TAREXT_GID, USTAR_gid_offset, USTAR_gid_size, kIdLimit, "its group id is 2^24 or more"},
    };
    for (const auto &f : fields) {
        const velk_tar_ext_t *s = source(g, m, f.bit);
        uint64_t value = 0;
        bool tooBig = false;
        if (s != nullptr) {
            tooBig = (s->tooBig & f.bit) != 0;
            value = f.bit == VELK_TAREXT_SIZE    ? s->size
                    : f.bit == VELK_TAREXT_MTIME ? s->mtime
                    : f.bit == VELK_TAREXT_UID   ? s->uid
                                                 : s->gid;
        } else if (base256(raw + f.offset, f.width, &value, &tooBig) == 0) {
            continue;
        }
        if (tooBig || value >= f.limit) {
            *why = f.why;
            return VELK_TAREXT_UNREPRESENTABLE;
        }
        char *field = reinterpret_cast<char *>(out + f.offset);
        // The size takes all 12 digits; the others keep their NUL when the
        // value leaves room for it.
        int terminate = f.bit != VELK_TAREXT_SIZE && (f.bit == VELK_TAREXT_MTIME || value < kIdTerminated);
        Uint64_tToOctal(value, field, static_cast<int>(f.width), terminate, "");
        *changed = true;
    }
    return 0;
}

int applyText(const velk_tar_ext_t *g, const velk_tar_ext_t *m, unsigned char *out, bool *changed, const char **why)
{
    if (const velk_tar_ext_t *s = source(g, m, VELK_TAREXT_LINK)) {
        if (s->linkLen > USTAR_linkname_size) {
            *why = "its link target is longer than 100 bytes";
            return VELK_TAREXT_UNREPRESENTABLE;
        }
        memset(out + USTAR_linkname_offset, 0, USTAR_linkname_size);
        memcpy(out + USTAR_linkname_offset, s->link, s->linkLen);
        *changed = true;
    }
    static const struct {
        uint32_t bit;
        size_t offset;
    } owners[] = {{VELK_TAREXT_UNAME, USTAR_uname_offset}, {VELK_TAREXT_GNAME, USTAR_gname_offset}};
    for (const auto &o : owners) {
        const velk_tar_ext_t *s = source(g, m, o.bit);
        if (s == nullptr)
            continue;
        if ((s->tooBig & o.bit) != 0) {
            *why = "its owner or group name is longer than 32 bytes";
            return VELK_TAREXT_UNREPRESENTABLE;
        }
        const char *name = o.bit == VELK_TAREXT_UNAME ? s->uname : s->gname;
        memset(out + o.offset, 0, VELK_TAREXT_OWNER_MAX);
        memcpy(out + o.offset, name, strlen(name));
        *changed = true;
    }
    if (const velk_tar_ext_t *s = source(g, m, VELK_TAREXT_PATH)) {
        if (applyPath(s, out, why) != 0)
            return VELK_TAREXT_UNREPRESENTABLE;
        *changed = true;
    }
    return 0;
}

bool allZero(const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i] != 0)
            return false;
    return true;
}

// Takes the gathered data of the record just completed.  0 or a negative
// VELK_TAREXT_* code.
int takeRecord(velk_tar_ext_reader_t *r)
{
    size_t len = static_cast<size_t>(r->recordSize);
    switch (r->recordType) {
    case USTAR_TYPE_LONGNAME:
    case USTAR_TYPE_LONGLINK: return velk_TarExtLongText(r->buf, len, r->recordType, &r->member);
    case USTAR_TYPE_PAX_MEMBER: return velk_TarExtParsePax(r->buf, len, &r->member, &r->why);
    default: {
        int rc = velk_TarExtParsePax(r->buf, len, &r->global, &r->why);
        // One name or size for every later member describes none of them.
        if (rc == 0 && (r->global.have & (VELK_TAREXT_PATH | VELK_TAREXT_LINK | VELK_TAREXT_SIZE)) != 0) {
            r->why = "a global extended header gives every member the same name, link target or size";
            return VELK_TAREXT_UNREPRESENTABLE;
        }
        return rc;
    }
    }
}

// Starts gathering the data of the extension record whose header is
// block.  VELK_TAREXT_MORE or VELK_TAREXT_MALFORMED.
int startRecord(velk_tar_ext_reader_t *r, const unsigned char *block)
{
    uint64_t size = 0;
    if (OctalToUint64_t(&size, USTAR_size_size, reinterpret_cast<const char *>(block + USTAR_size_offset), "") != 0 ||
        size > VELK_TAREXT_MAX_RECORD) {
        r->why = "an extension record is over 1 MiB or its size is unreadable";
        return VELK_TAREXT_MALFORMED;
    }
    if (size > r->cap) {
        auto *grown = static_cast<unsigned char *>(realloc(r->buf, size));
        if (grown == nullptr) {
            r->why = "no memory for an extension record";
            return VELK_TAREXT_MALFORMED;
        }
        r->buf = grown;
        r->cap = size;
    }
    r->recordType = static_cast<char>(block[USTAR_typeflag_offset]);
    r->recordSize = size;
    r->recordHave = 0;
    if (++r->blocks > VELK_TAREXT_MAX_BLOCKS) {
        r->recordType = '\0';
        r->why = "a member has more extension records than velk reads";
        return VELK_TAREXT_MALFORMED;
    }
    if (size == 0) {
        int rc = takeRecord(r);
        r->recordType = '\0';
        if (rc < 0)
            return rc;
    }
    return VELK_TAREXT_MORE;
}

bool checksumOk(const unsigned char *block)
{
    uint32_t stored = 0;
    (void)OctalToUint32_t(&stored, USTAR_checksum_size, reinterpret_cast<const char *>(block + USTAR_checksum_offset),
                          "");
    return stored == velk_TarHeaderChecksum(block, false) || stored == velk_TarHeaderChecksum(block, true);
}

} // namespace

int velk_TarExtParsePax(const unsigned char *data, size_t len, velk_tar_ext_t *ext, const char **why)
{
    size_t pos = 0;
    while (pos < len) {
        size_t recLen = 0;
        size_t p = pos;
        while (p < len && data[p] >= '0' && data[p] <= '9' && recLen <= len)
            recLen = recLen * 10 + (data[p++] - '0');
        if (p == pos || p >= len || data[p] != ' ') {
            *why = "an extended header record does not start with its length and a blank";
            return VELK_TAREXT_MALFORMED;
        }
        // The length counts the whole record: digits, blank, key, '=', value
        // and newline.
        if (recLen > len - pos || recLen < p - pos + 3) {
            *why = "an extended header record's length runs past its header or is too short";
            return VELK_TAREXT_MALFORMED;
        }
        size_t end = pos + recLen;
        const unsigned char *key = data + p + 1;
        const auto *eq = static_cast<const unsigned char *>(memchr(key, '=', end - 1 - (p + 1)));
        if (data[end - 1] != '\n' || eq == nullptr || eq == key) {
            *why = "an extended header record lacks its key, its '=' or its newline";
            return VELK_TAREXT_MALFORMED;
        }
        size_t valueLen = static_cast<size_t>(data + end - 1 - (eq + 1));
        int rc = applyKey(ext, key, static_cast<size_t>(eq - key), eq + 1, valueLen, why);
        if (rc != 0)
            return rc;
        pos = end;
    }
    return 0;
}

int velk_TarExtLongText(const unsigned char *data, size_t len, char type, velk_tar_ext_t *ext)
{
    // An empty record may come with no buffer at all.
    const void *nul = len > 0 ? memchr(data, '\0', len) : nullptr;
    size_t n = nul != nullptr ? static_cast<size_t>(static_cast<const unsigned char *>(nul) - data) : len;
    uint32_t bit = type == USTAR_TYPE_LONGNAME ? VELK_TAREXT_PATH : VELK_TAREXT_LINK;
    ext->cleared &= ~bit;
    ext->have &= ~bit;
    if (n == 0)
        return 0;
    if (bit == VELK_TAREXT_PATH)
        setText(ext->path, &ext->pathLen, data, n);
    else
        setText(ext->link, &ext->linkLen, data, n);
    ext->have |= bit;
    return 0;
}

int velk_TarExtApply(const unsigned char *raw, const velk_tar_ext_t *global, const velk_tar_ext_t *member,
                     unsigned char *out, const char **why)
{
    memcpy(out, raw, VELK_BLOCKSIZE);
    if (source(global, member, VELK_TAREXT_SPARSE) != nullptr) {
        *why = "it is a sparse file";
        return VELK_TAREXT_UNREPRESENTABLE;
    }
    bool changed = false;
    // A GNU header keeps times of its own where ustar has the name's
    // directory part; the name is whole in its name field or a long-name
    // record.
    if (memcmp(raw + USTAR_magic_offset, kGnuMagic, sizeof kGnuMagic) == 0 &&
        !allZero(raw + USTAR_prefix_offset, USTAR_prefix_size)) {
        memset(out + USTAR_prefix_offset, 0, USTAR_prefix_size);
        changed = true;
    }
    if (applyNumbers(raw, global, member, out, &changed, why) != 0 ||
        applyText(global, member, out, &changed, why) != 0)
        return VELK_TAREXT_UNREPRESENTABLE;
    if (changed) {
        char text[8];
        snprintf(text, sizeof text, "%6o", static_cast<unsigned>(velk_TarHeaderChecksum(out, false)));
        memcpy(out + USTAR_checksum_offset, text, 7);
        out[USTAR_checksum_offset + 7] = ' ';
    }
    return 0;
}

void velk_TarExtMemberReset(velk_tar_ext_reader_t *r)
{
    r->member.have = 0;
    r->member.tooBig = 0;
    r->member.cleared = 0;
    r->recordType = '\0';
    r->recordSize = 0;
    r->recordHave = 0;
    r->blocks = 0;
    r->memberDone = false;
}

void velk_TarExtReset(velk_tar_ext_reader_t *r)
{
    velk_TarExtMemberReset(r);
    r->global.have = 0;
    r->global.tooBig = 0;
    r->global.cleared = 0;
    r->why = nullptr;
}

void velk_TarExtFree(velk_tar_ext_reader_t *r)
{
    free(r->buf);
    r->buf = nullptr;
    r->cap = 0;
}

int velk_TarExtFeed(velk_tar_ext_reader_t *r, const unsigned char *block, unsigned char *out)
{
    if (r->memberDone)
        velk_TarExtMemberReset(r);
    if (r->recordType != '\0') {
        uint64_t take = r->recordSize - r->recordHave;
        if (take > VELK_BLOCKSIZE)
            take = VELK_BLOCKSIZE;
        memcpy(r->buf + r->recordHave, block, static_cast<size_t>(take));
        r->recordHave += take;
        if (++r->blocks > VELK_TAREXT_MAX_BLOCKS) {
            r->recordType = '\0';
            r->memberDone = true;
            r->why = "a member has more extension records than velk reads";
            return VELK_TAREXT_MALFORMED;
        }
        if (r->recordHave == r->recordSize) {
            int rc = takeRecord(r);
            r->recordType = '\0';
            if (rc < 0) {
                r->memberDone = true;
                return rc;
            }
        }
        return VELK_TAREXT_MORE;
    }
    r->memberDone = true;
    if (allZero(block, VELK_BLOCKSIZE))
        return VELK_TAR_EOF;
    if (!checksumOk(block))
        return VELK_TAREXT_BADSUM;
    if (velk_TarExtIsExtension(static_cast<char>(block[USTAR_typeflag_offset]))) {
        r->memberDone = false;
        int rc = startRecord(r, block);
        if (rc < 0)
            r->memberDone = true;
        return rc;
    }
    return velk_TarExtApply(block, &r->global, &r->member, out, &r->why);
}

bool velk_TarExtIsExtension(char typeflag)
{
    return typeflag == USTAR_TYPE_LONGNAME || typeflag == USTAR_TYPE_LONGLINK || typeflag == USTAR_TYPE_PAX_MEMBER ||
           typeflag == USTAR_TYPE_PAX_GLOBAL;
}

const char *velk_TarTypeName(char typeflag)
{
    switch (typeflag) {
    case '3': return "character device";
    case '4': return "block device";
    case '6': return "FIFO";
    case '7': return "contiguous file";
    case 'D': return "dump directory";
    case 'M': return "multi-volume continuation";
    case 'N': return "old-style long name record";
    case 'S': return "sparse file";
    case 'V': return "volume label";
    default: return "member of unknown type";
    }
}
