#ifndef VELK_LIST_H
#define VELK_LIST_H

// The list action (velk_List, declared with the other actions) and the
// formatting of one listing line.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "velk_IndexFormat.h"

// The local time of a modification time as "YYYY-MM-DD HH:MM"
// (NUL-terminated).  Members made together share their minute, so one
// listing remembers the last minute it formatted: a time inside it needs
// no conversion.  One listing's, used by one thread.
struct velk_minute_cache_t {
    bool valid = false;
    int64_t minuteStart = 0;
    char text[64];

    const char *format(time_t t);
};

// Formats the listing line of entry into line (at most size bytes with the
// NUL; a longer line is cut and still ends with a newline): "VELK: ", with
// VELK_OPT_BY_ORDINAL in options and an ordinal of 0 or more "#<ordinal> ",
// with VELK_OPT_BLOCKNUMS the header block number in brackets, the
// type character and permissions, 'D' for a soft-deleted entry, with
// VELK_OPT_CRC a 13-character CRC column for files, owner/group, size, the
// modification time in local time (through the listing's minute cache),
// the path (a '/' added to directories)
// and " -> target" for symbolic links, then a newline.  Returns the length.
size_t velk_FormatListLine(const hif_entry_t *entry, uint32_t options, velk_minute_cache_t *minute, char *line,
                           size_t size, int64_t ordinal = -1);

// --names: the entry's name escaped as in the listing line (a '/' added to
// directories) and a newline, into line as velk_FormatListLine does.
// Returns the length.
size_t velk_FormatNameLine(const hif_entry_t *entry, char *line, size_t size);

// --json: the entry's JSON Lines record into *out (replacing what it held):
// name, type (file, directory, hardlink, symlink or unknown), mode (the
// permission bits as a number), uid, gid, user, group, size, mtime
// (seconds), offset (byte offset of the member's header in the archive),
// deleted, crc (only when one is stored) and link (links only).
void velk_FormatListRecord(const hif_entry_t *entry, std::string *out);

#endif
