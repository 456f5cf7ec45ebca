#ifndef VELK_TARHEADER_H
#define VELK_TARHEADER_H

// The ustar member header: its field table, the octal text conversions,
// building a header block from an index entry, validating a header block
// read from an archive, and the sequential archive read loop every archive
// reader uses.  The conversions and the header routines are pure apart from
// their messages and the exit status; the read loop uses the descriptor it
// is given.  Any thread may call them; no locks are taken.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "velk_IndexFormat.h"

// Field table of the header block: offsets from the start of the block and
// widths in bytes.  Bytes 500 to 511 of the block are zero.
constexpr size_t USTAR_name_offset = 0, USTAR_name_size = 100;
constexpr size_t USTAR_mode_offset = 100, USTAR_mode_size = 8;
constexpr size_t USTAR_uid_offset = 108, USTAR_uid_size = 8;
constexpr size_t USTAR_gid_offset = 116, USTAR_gid_size = 8;
constexpr size_t USTAR_size_offset = 124, USTAR_size_size = 12;
constexpr size_t USTAR_mtime_offset = 136, USTAR_mtime_size = 12;
constexpr size_t USTAR_checksum_offset = 148, USTAR_checksum_size = 8;
constexpr size_t USTAR_typeflag_offset = 156, USTAR_typeflag_size = 1;
constexpr size_t USTAR_linkname_offset = 157, USTAR_linkname_size = 100;
constexpr size_t USTAR_magic_offset = 257, USTAR_magic_size = 6;
constexpr size_t USTAR_version_offset = 263, USTAR_version_size = 2;
constexpr size_t USTAR_uname_offset = 265, USTAR_uname_size = 32;
constexpr size_t USTAR_gname_offset = 297, USTAR_gname_size = 32;
constexpr size_t USTAR_devmajor_offset = 329, USTAR_devmajor_size = 8;
constexpr size_t USTAR_devminor_offset = 337, USTAR_devminor_size = 8;
constexpr size_t USTAR_prefix_offset = 345, USTAR_prefix_size = 155;
constexpr size_t USTAR_HEADER_SIZE = 500;

// Type flags written and accepted.
constexpr char USTAR_TYPE_FILE = '0';
constexpr char USTAR_TYPE_OLDFILE = '\0';
constexpr char USTAR_TYPE_HARDLINK = '1';
constexpr char USTAR_TYPE_SYMLINK = '2';
constexpr char USTAR_TYPE_DIRECTORY = '5';

// Largest member size the 12-digit size field holds: 2^36 - 1.
constexpr uint64_t VELK_MAX_MEMBER_SIZE = (uint64_t{1} << 36) - 1;

// velk_GetTarHeader's result for an all-zero block: the end of the archive.
constexpr int VELK_TAR_EOF = -999999;

// The header block as text fields; every number is ASCII octal.  Text fields
// of a header read from an archive need not be NUL-terminated.
struct posix_header_t {
    char thb_name[100];
    char thb_mode[8];
    char thb_uid[8];
    char thb_gid[8];
    char thb_size[12];
    char thb_mtime[12];
    char thb_chksum[8];
    char thb_typeflag;
    char thb_linkname[100];
    char thb_magic[6];
    char thb_version[2];
    char thb_uname[32];
    char thb_gname[32];
    char thb_devmajor[8];
    char thb_devminor[8];
    char thb_prefix[155];
};
static_assert(sizeof(posix_header_t) == USTAR_HEADER_SIZE, "ustar header must be 500 bytes");

// Writes value as octal text into the width-byte field.  With terminate set
// the last byte is a NUL and width-1 bytes hold digits.  Digits are written
// right-aligned with leading '0's.  A value too large for the field keeps its
// low-order digits and logs "[<function>]Octal field [<fieldName>] overflow
// - width=<w> value=<v>" as an error; nothing else stops.
void Uint32_tToOctal(uint32_t value, char *field, int width, int terminate, const char *fieldName);
void Uint64_tToOctal(uint64_t value, char *field, int width, int terminate, const char *fieldName);

// Parses at most width bytes of octal text.  Spaces and NULs are skipped
// before the value becomes non-zero (32-bit form) or before any digit
// (64-bit form) and end the scan after.  Returns 0, or -1 when a character
// that is neither an octal digit, a space nor a NUL is met, or when the value
// would not fit the result type; *result then holds the value of the digits
// before it.  fieldName is only for the caller's messages.
[[nodiscard]] int OctalToUint32_t(uint32_t *result, int width, const char *field, const char *fieldName);
[[nodiscard]] int OctalToUint64_t(uint64_t *result, int width, const char *field, const char *fieldName);

// Fills the 512-byte block from the index entry (numbers read big-endian),
// with type flag '0' for files and hard links, '5' for directories and '2'
// for symbolic links, and the checksum.  Any other object type leaves the
// type flag NUL and logs an internal error.
void velk_BuildPosixHeader(const hif_entry_t *entry, unsigned char *block);

// Copies the first 500 bytes of the 512-byte block into header and checks
// it.  Returns 0 for an accepted header, VELK_TAR_EOF for an all-zero block,
// -1 (after logging, exit status 72) for a checksum that matches neither the
// unsigned nor the signed byte sum, or a type flag other than NUL, '0', '1',
// '2' or '5'.
[[nodiscard]] int velk_GetTarHeader(const unsigned char *block, posix_header_t *header);

// The member size from thb_size.  A non-octal character ends the scan; the
// digits before it are the result (with -v or at debug level 1 an
// information message names the character).
uint64_t velk_GetMemberFilesize(const posix_header_t *header);

// Sum of the 512 bytes of block with the checksum field counted as spaces,
// the bytes taken as unsigned (or, with isSigned, as signed) values.
int64_t velk_TarHeaderChecksum(const unsigned char *block, bool isSigned);

// Descriptor of the current archive: set when the archive is created or
// opened, by the initial thread before any transfer thread starts.
extern int velk_archive_fd;

// Stripe width of the current archive's storage layout, for the transfer
// engine.  Written by velk_GetArchiveStripeInfo on the initial thread before
// transfers start.
extern int velk_archive_stripewidth; // at least 1

// One level of the storage hierarchy as the extended attributes give it.
constexpr int VELK_MAX_STORAGE_LEVELS = 5;
constexpr uint32_t VELK_LEVEL_IS_DISK = 0x1;
constexpr uint32_t VELK_LEVEL_HAS_DATA = 0x4;
struct velk_storage_level_t {
    uint32_t optimumAccess;
    uint32_t stripeWidth;
    uint32_t stripeLength;
    uint32_t flags; // VELK_LEVEL_*
};

// Derives velk_archive_stripewidth (and, at debug level 1, shows the
// layout) from up to VELK_MAX_STORAGE_LEVELS levels, top level first (path
// names the archive in messages).  useDataLevel picks the
// level that holds data for the reading actions.  A stripe width of 0 counts
// as 1.  Returns 0, or -1 with exit status 72 when no level holds data and
// the action is not one that makes the file (create, copy, repack).
[[nodiscard]] int velk_GetArchiveStripeInfo(int useDataLevel, const velk_storage_level_t *levels, int levelCount,
                                            const char *path);

#endif
