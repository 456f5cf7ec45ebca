// The list action: one line per selected member, read from the index file
// alone.  The archive itself is only asked for its size, which must equal
// the size the index recorded, so that a stale index is never listed.

#include "velk_List.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quor_api.h"
#include "velk_Actions.h"
#include "velk_ArchiveFile.h"
#include "velk_ArchiveKind.h"
#include "velk_FileList.h"
#include "velk_Globals.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_IndexOrder.h"
#include "velk_Json.h"
#include "velk_LogMsg.h"
#include "velk_MemberNames.h"
#include "velk_Utils.h"
#include "velk_Ordinals.h"

namespace {

// Lines are collected here and written in one piece.  On a terminal every
// line is written at once; otherwise the block is written when it fills and
// at the end, so a listing of millions of members does not cost one system
// call per line.
constexpr size_t kOutBufSize = 65536;
constexpr size_t kLineMax = 1024;

struct ListOutput {
    char buf[kOutBufSize];
    size_t used = 0;
    bool perLine = false;
    FILE *to = stdout;

    void flush()
    {
        if (used > 0) {
            fwrite(buf, 1, used, to);
            used = 0;
        }
        fflush(to);
    }
    void add(const char *line, size_t len)
    {
        if (used + len > sizeof buf)
            flush();
        memcpy(buf + used, line, len);
        used += len;
        if (perLine)
            flush();
    }
};

// The archive's actual size in bytes into *size.  0, or -1 after the
// message (exit status 72).
int archiveActualSize(uint64_t *size)
{
    if (velk_CurrentArchiveKind()->actual_size(size) == 0)
        return 0;
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

// Closes the index descriptor of kind.
void closeIndex(int fd, int kind)
{
    const velk_archive_kind_t *ops = velk_ArchiveKindOps(kind);
    int rc = ops->close(fd);
    if (rc < 0) {
        // A local failure is shown as its errno, a gateway one as its code.
        int err = ops->through_gateway ? rc : -rc;
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "***%s: Error %d closing %s index file %s\n", "velk_List", err,
                    ops->name, velk_index_filename);
    }
}

// Ends the action: the summary (when the listing completed) and the final
// line.  Returns the action's result.
int finish(bool ok, long files, long objects)
{
    if (ok) {
        char summary[VELK_MSG_BUFSIZE];
        snprintf(summary, sizeof summary, "%s: Listing complete for %s, %ld files %ld total objects",
                 velk_msg_prefix[VELK_MSG_VELK], velk_archive, files, objects);
        velk_LogMsg(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, summary);
        if (velk_debug_level >= 1 || velk_Opt(VELK_OPT_STATS) || velk_Opt(VELK_OPT_VERBOSE)) {
            fputs(summary, stdout);
            fputc('\n', stdout);
        }
    } else {
        velk_SetExitCode(VELK_EXIT_IOERR);
    }
    velk_FinalLine(ok);
    fflush(stdout);
    return ok ? 0 : -1;
}

// A bounded line being built: appends stop at the end of the buffer and
// leave the line cut, which the caller repairs.  Listing millions of members
// is dominated by this formatting, so it avoids printf.
struct LineWriter {
    char *line;
    size_t size;
    size_t n = 0;

    void put(const char *text, size_t len)
    {
        if (n >= size)
            return;
        size_t room = size - n;
        if (len > room)
            len = room;
        memcpy(line + n, text, len);
        n += len;
    }
    void put(const char *text) { put(text, strlen(text)); }
    void put(char c) { put(&c, 1); }
    // value in decimal, right-aligned in at least width characters with
    // fill on the left.
    void putNumber(uint64_t value, int width, char fill)
    {
        char digits[24];
        int d = 0;
        do {
            digits[d++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        for (int i = d; i < width; ++i)
            put(fill);
        while (d > 0)
            put(digits[--d]);
    }
    // A fixed text field that need not be NUL-terminated.
    void putField(const char *field, size_t width) { put(field, strnlen(field, width)); }
    // A name as the terminal may safely show it (velk_EscapeName).
    void putName(const char *name, size_t len) { n += velk_EscapeName(name, len, line + n, n < size ? size - n : 0); }
    void putNameField(const char *field, size_t width) { putName(field, strnlen(field, width)); }
};

} // namespace

const char *velk_minute_cache_t::format(time_t t)
{
    auto secs = static_cast<int64_t>(t);
    if (valid && secs >= minuteStart && secs < minuteStart + 60)
        return text;
    struct tm tmv;
    memset(&tmv, 0, sizeof tmv);
    localtime_r(&t, &tmv);
    snprintf(text, sizeof text, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
             tmv.tm_hour, tmv.tm_min);
    minuteStart = secs - tmv.tm_sec;
    valid = true;
    return text;
}

namespace {

// One selected member in the form the run asked for: its JSON record
// (--json), its bare name (--names) or its listing line (times through
// the listing's minute cache).
void addMember(ListOutput *out, const velk_run_t *run, const hif_entry_t *entry, uint32_t options,
               velk_minute_cache_t *minute, int64_t ordinal)
{
    if (run->records != nullptr && velk_Opt(VELK_OPT_JSON)) {
        std::string rec;
        velk_FormatListRecord(entry, &rec);
        out->add(rec.data(), rec.size());
        return;
    }
    char line[kLineMax];
    size_t len = run->records != nullptr ? velk_FormatNameLine(entry, line, sizeof line)
                                         : velk_FormatListLine(entry, options, minute, line, sizeof line, ordinal);
    out->add(line, len);
}

} // namespace

size_t velk_FormatListLine(const hif_entry_t *entry, uint32_t options, velk_minute_cache_t *minute, char *line,
                           size_t size, int64_t ordinal)
{
    if (size < 2) {
        if (size == 1)
            line[0] = '\0';
        return 0;
    }
    uint32_t type = velk_Get32(entry->hent_type);
    uint32_t flags = velk_Get32(entry->hent_flags);
    uint32_t mode = velk_Get32(entry->hent_mode);
    LineWriter w{line, size - 1};

    w.put(velk_msg_prefix[VELK_MSG_VELK]);
    w.put(": ", 2);
    if ((options & VELK_OPT_BY_ORDINAL) != 0 && ordinal >= 0) {
        w.put('#');
        w.putNumber(static_cast<uint64_t>(ordinal), 0, ' ');
        w.put(' ');
    }
    if ((options & VELK_OPT_BLOCKNUMS) != 0) {
        w.put('[');
        w.putNumber(velk_Get64(entry->hent_offset), 0, ' ');
        w.put("] ", 2);
    }
    char perms[11];
    perms[0] = type == VTO_DIRECTORY ? 'd' : type == VTO_SYMLINK ? 'l' : '-';
    const char rwx[] = "rwx";
    for (int i = 0; i < 9; ++i)
        perms[1 + i] = (mode & (0400u >> i)) != 0 ? rwx[i % 3] : '-';
    perms[10] = ' ';
    w.put(perms, sizeof perms);
    if ((flags & HIF_FLAG_DELETED) != 0)
        w.put('D');
    if ((options & VELK_OPT_CRC) != 0) {
        if (type == VTO_FILE || type == VTO_HARDLINK) {
            if ((flags & HIF_FLAG_CRC) != 0) {
                char crc[14];
                snprintf(crc, sizeof crc, "[0x%8.8x] ", velk_Get32(entry->hent_crc32));
                w.put(crc, 13);
            } else {
                w.put("[]           ", 13);
            }
        } else {
            w.put("             ", 13);
        }
    }
    w.put(' ');
    w.putField(entry->hent_uname, HENT_uname_size);
    w.put('/');
    w.putField(entry->hent_gname, HENT_gname_size);
    w.put(' ');
    w.putNumber(velk_Get64(entry->hent_fsize), 10, ' ');
    w.put(' ');
    w.put(minute->format(static_cast<time_t>(velk_Get32(entry->hent_mtime))));
    w.put("  ", 2);
    char path[VELK_PATH_BUFSIZE];
    size_t plen = velk_FormIxEntryPathname(entry, path, sizeof path);
    if (plen >= sizeof path)
        plen = sizeof path - 1;
    w.putName(path, plen);
    if (type == VTO_DIRECTORY && (plen == 0 || path[plen - 1] != '/'))
        w.put('/');
    if (type == VTO_SYMLINK) {
        w.put(" -> ", 4);
        w.putNameField(entry->hent_linkname, HENT_linkname_size);
    } else if (type == VTO_HARDLINK) {
        w.put(" link to ", 9);
        w.putNameField(entry->hent_linkname, HENT_linkname_size);
    }
    // The line always ends with its newline, even when cut.
    if (w.n >= w.size)
        w.n = w.size - 1;
    line[w.n++] = '\n';
    line[w.n] = '\0';
    return w.n;
}

namespace {

const char *typeWord(uint32_t type)
{
    switch (type) {
    case VTO_FILE: return "file";
    case VTO_DIRECTORY: return "directory";
    case VTO_HARDLINK: return "hardlink";
    case VTO_SYMLINK: return "symlink";
    default: return "unknown";
    }
}

// A fixed index field that need not be NUL-terminated, as a JSON string.
void addField(std::string *out, const char *key, const char *field, size_t width)
{
    velk_JsonAddStr(out, key, field, strnlen(field, width));
}

} // namespace

void velk_FormatListRecord(const hif_entry_t *entry, std::string *out)
{
    uint32_t type = velk_Get32(entry->hent_type);
    uint32_t flags = velk_Get32(entry->hent_flags);
    char path[VELK_PATH_BUFSIZE];
    size_t plen = velk_FormIxEntryPathname(entry, path, sizeof path);
    if (plen >= sizeof path)
        plen = sizeof path - 1;
    velk_JsonBegin(out);
    velk_JsonAddStr(out, "name", path, plen);
    velk_JsonAddCStr(out, "type", typeWord(type));
    velk_JsonAddInt(out, "mode", velk_Get32(entry->hent_mode) & 07777);
    velk_JsonAddInt(out, "uid", velk_Get32(entry->hent_uid));
    velk_JsonAddInt(out, "gid", velk_Get32(entry->hent_gid));
    addField(out, "user", entry->hent_uname, HENT_uname_size);
    addField(out, "group", entry->hent_gname, HENT_gname_size);
    velk_JsonAddInt(out, "size", static_cast<int64_t>(velk_Get64(entry->hent_fsize)));
    velk_JsonAddInt(out, "mtime", velk_Get32(entry->hent_mtime));
    velk_JsonAddInt(out, "offset", static_cast<int64_t>(velk_Get64(entry->hent_offset) * VELK_BLOCKSIZE));
    velk_JsonAddBool(out, "deleted", (flags & HIF_FLAG_DELETED) != 0);
    if ((flags & HIF_FLAG_CRC) != 0)
        velk_JsonAddInt(out, "crc", velk_Get32(entry->hent_crc32));
    if (type == VTO_SYMLINK || type == VTO_HARDLINK)
        addField(out, "link", entry->hent_linkname, HENT_linkname_size);
    velk_JsonEnd(out);
}

size_t velk_FormatNameLine(const hif_entry_t *entry, char *line, size_t size)
{
    if (size < 2) {
        if (size == 1)
            line[0] = '\0';
        return 0;
    }
    char path[VELK_PATH_BUFSIZE];
    size_t plen = velk_FormIxEntryPathname(entry, path, sizeof path);
    if (plen >= sizeof path)
        plen = sizeof path - 1;
    LineWriter bare{line, size - 1};
    bare.putName(path, plen);
    if (velk_Get32(entry->hent_type) == VTO_DIRECTORY && (plen == 0 || path[plen - 1] != '/'))
        bare.put('/');
    if (bare.n >= bare.size)
        bare.n = bare.size - 1;
    line[bare.n++] = '\n';
    line[bare.n] = '\0';
    return bare.n;
}

int velk_List(velk_run_t *run)
{
    // With -J the names are ordinals, and every line shows its entry's.
    velk_member_names_t names;
    velk_ordinals_t ordinals;
    if (velk_GenFilelist(run) < 0 || velk_OrdinalsPrepare(&ordinals, &run->members) != 0 ||
        (!ordinals.active && velk_MemberNamesPrepare(&names, &run->members) != 0))
        return finish(false, 0, 0);

    char where[64];
    snprintf(where, sizeof where, "Reading Index File from %s...", velk_CurrentArchiveKind()->index_source);
    console_message(where, velk_index_filename);

    int kind = velk_filetype;
    int fd = velk_OpenIndexFile(&run->xfer, &run->index, velk_index_filename, O_RDONLY, kind);
    if (fd < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal error opening index file: %s", velk_index_filename);
        return finish(false, 0, 0);
    }
    // A storage-system or gateway-host index is read from a local copy.
    kind = velk_ArchiveKindOps(kind)->index_fd_kind;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("[debug] successfully opened Index file for reading on FD=%d\n", fd);

    bool ok = false;
    long files = 0;
    long objects = 0;
    uint64_t actual = 0;
    if (archiveActualSize(&actual) == 0) {
        uint64_t recorded = velk_Get64(velk_index_hdr.hif_cfinfo.hif_tarsize);
        if (actual != recorded) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "[FATAL] Inconsistent actual/index files sizes for Archive file %s\n", velk_archive);
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "     Archive file actual size is: %lu\n",
                        static_cast<unsigned long>(actual));
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "     Index file (%s) thinks size should be %lu\n",
                        velk_index_filename, static_cast<unsigned long>(recorded));
        } else if (velk_OrdinalsCheck(&ordinals, velk_index_entries) == 0 && velk_IndexReadInit(&run->index) == 0) {
            static ListOutput out;
            out.used = 0;
            out.to = run->records != nullptr ? run->records : stdout;
            out.perLine = isatty(fileno(out.to)) != 0;
            uint32_t options = velk_option_flags;
            velk_index_order_t order;
            velk_minute_cache_t minute;
            ok = true;
            for (int64_t ordinal = 0;; ++ordinal) {
                if (velk_shutdown_signalled.load() != 0) {
                    out.flush();
                    velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Listing interrupted by a forced shutdown\n");
                    velk_NoteFailure("interrupted");
                    ok = false;
                    break;
                }
                hif_entry_t *entry = nullptr;
                int eof = 0;
                if (velk_IndexFileRead(&run->index, fd, kind, 0, &entry, &eof) != 0) {
                    ok = false;
                    break;
                }
                if (eof != 0)
                    break;
                // Every entry is checked, not only those before the first
                // line: a damaged or misplaced entry further on must not be
                // printed as if it were a member.
                if (!velk_IndexEntrySane(entry)) {
                    out.flush();
                    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                                "Hmmm- %s does not appear to be a file created by velk.\n", velk_index_filename);
                    velk_NoteFailure("corrupt index entry");
                    ok = false;
                    break;
                }
                if (velk_IndexOrderCheck(&order, entry, ordinal) != 0) {
                    out.flush();
                    ok = false;
                    break;
                }
                if ((velk_Get32(entry->hent_flags) & HIF_FLAG_PHANTOM) != 0) {
                    if (velk_debug_level >= 1)
                        velk_ErrPrintf("/debug/skipping phantom index entry %d\n", static_cast<int>(ordinal));
                    continue;
                }
                if (velk_EntrySelected(&ordinals, entry, ordinal) == 0)
                    continue;
                velk_MemberNamesSelected(&names, entry);
                uint32_t type = velk_Get32(entry->hent_type);
                if (type == VTO_UNKNOWN || type > VTO_INDEXEOF) {
                    out.flush();
                    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Unknown object type: %d Index Entry %d\n",
                                static_cast<int>(type), static_cast<int>(objects));
                }
                addMember(&out, run, entry, options, &minute, ordinal);
                ++objects;
                if (type != VTO_DIRECTORY)
                    ++files;
            }
            out.flush();
            if (ok)
                velk_MemberNamesReportMissing(&names);
        }
    }
    int rc = finish(ok, files, objects);
    closeIndex(fd, kind);
    return rc;
}
