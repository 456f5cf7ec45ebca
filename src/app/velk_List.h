#ifndef VELK_LIST_H
#define VELK_LIST_H

// The list action (velk_List, declared with the other actions) and the
// formatting of one listing line.

#include <cstddef>
#include <cstdint>
#include <string>

#include "velk_IndexFormat.h"

// Formats the listing line of entry into line (at most size bytes with the
// NUL; a longer line is cut and still ends with a newline): "VELK: ", with
// VELK_OPT_BY_ORDINAL in options and an ordinal of 0 or more "#<ordinal> ",
// with VELK_OPT_BLOCKNUMS the header block number in brackets, the
// type character and permissions, 'D' for a soft-deleted entry, with
// VELK_OPT_CRC a 13-character CRC column for files, owner/group, size, the
// modification time in local time, the path (a '/' added to directories)
// and " -> target" for symbolic links, then a newline.  Returns the length.
size_t velk_FormatListLine(const hif_entry_t *entry, uint32_t options, char *line, size_t size, int64_t ordinal = -1);

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
