#ifndef VELK_TAREXTHEADER_H
#define VELK_TAREXTHEADER_H

// Extension records other tar programs put before a member's header: the
// long-name and long-link records ('L', 'K') and the extended headers of
// pax archives ('x' for one member, 'g' for every member after it).  A
// reader is fed the archive's blocks one at a time from a member's first
// header block on; it gathers the extension records and, at the member's
// own header, gives back that header with the true name, link target,
// size, time and owner put in, laid out as an index entry can hold them.
// Everything read is untrusted: every length and number is checked.  A
// reader belongs to one thread; no locks.

#include <cstddef>
#include <cstdint>

#include "velk_TarHeader.h"

// Type flags of the extension records.
constexpr char USTAR_TYPE_LONGNAME = 'L';
constexpr char USTAR_TYPE_LONGLINK = 'K';
constexpr char USTAR_TYPE_PAX_MEMBER = 'x';
constexpr char USTAR_TYPE_PAX_GLOBAL = 'g';

// Largest extension record taken (its data, in bytes); a larger one is
// refused rather than read into memory.
constexpr uint64_t VELK_TAREXT_MAX_RECORD = 1024 * 1024;
// Most extension blocks before one member's header; more are refused.
constexpr uint32_t VELK_TAREXT_MAX_BLOCKS = 8192;
// Longest name or link target kept; longer ones are only marked too long.
constexpr size_t VELK_TAREXT_TEXT_MAX = 4096;
// What an index entry holds: the name field, the directory part before it.
constexpr size_t VELK_TAREXT_NAME_MAX = 100;
constexpr size_t VELK_TAREXT_PREFIX_MAX = 155;
constexpr size_t VELK_TAREXT_OWNER_MAX = 32;

// Results of velk_TarExtFeed and the parsers besides 0.
constexpr int VELK_TAREXT_MORE = 1;             // block taken; feed the next one
constexpr int VELK_TAREXT_BADSUM = -1;          // not a header block (checksum)
constexpr int VELK_TAREXT_MALFORMED = -2;       // an extension record that breaks its own format
constexpr int VELK_TAREXT_UNREPRESENTABLE = -3; // a value an index entry cannot hold

// Bits of velk_tar_ext_t.have.
constexpr uint32_t VELK_TAREXT_PATH = 0x1;
constexpr uint32_t VELK_TAREXT_LINK = 0x2;
constexpr uint32_t VELK_TAREXT_SIZE = 0x4;
constexpr uint32_t VELK_TAREXT_MTIME = 0x8;
constexpr uint32_t VELK_TAREXT_UID = 0x10;
constexpr uint32_t VELK_TAREXT_GID = 0x20;
constexpr uint32_t VELK_TAREXT_UNAME = 0x40;
constexpr uint32_t VELK_TAREXT_GNAME = 0x80;
constexpr uint32_t VELK_TAREXT_SPARSE = 0x100; // a sparse member: its data are not the file's bytes

// Values the extension records gave.  Text values are NUL-terminated; a
// value longer than VELK_TAREXT_TEXT_MAX keeps only its length.
struct velk_tar_ext_t {
    uint32_t have;    // VELK_TAREXT_* bits of the values given
    uint32_t tooBig;  // VELK_TAREXT_* bits of values out of range
    uint32_t cleared; // VELK_TAREXT_* bits given an empty value
    size_t pathLen;
    size_t linkLen;
    char path[VELK_TAREXT_TEXT_MAX + 1];
    char link[VELK_TAREXT_TEXT_MAX + 1];
    char uname[VELK_TAREXT_OWNER_MAX + 1];
    char gname[VELK_TAREXT_OWNER_MAX + 1];
    uint64_t size;
    uint64_t mtime; // whole seconds
    uint64_t uid;
    uint64_t gid;
};

// A reader's state between blocks.  Zero it (or call velk_TarExtReset) to
// start; velk_TarExtFree releases its buffer.
struct velk_tar_ext_reader_t {
    velk_tar_ext_t global; // 'g' values, for every member after them
    velk_tar_ext_t member; // 'L', 'K' and 'x' values of the member being read
    char recordType;       // extension record whose data are being gathered, NUL for none
    uint64_t recordSize;   // its data bytes
    uint64_t recordHave;   // gathered so far
    unsigned char *buf;    // malloc'd, grown up to VELK_TAREXT_MAX_RECORD
    size_t cap;
    uint32_t blocks; // extension blocks of the member read so far
    const char *why; // what a refusal was about, a constant text
    bool memberDone; // the last block fed ended a member
};

// Parses the data of a pax extended header (records "<len> <key>=<value>\n")
// into ext.  Keys velk does not use are passed over; an empty value clears
// the key (and masks a global value).  Returns 0, or VELK_TAREXT_MALFORMED
// with *why saying what.
[[nodiscard]] int velk_TarExtParsePax(const unsigned char *data, size_t len, velk_tar_ext_t *ext, const char **why);

// Takes the data of a long-name ('L') or long-link ('K') record: the text up
// to its first NUL.  Returns 0.
int velk_TarExtLongText(const unsigned char *data, size_t len, char type, velk_tar_ext_t *ext);

// Lays out the member's header raw with the extension values put in (the
// member's own over the global ones) into the 512-byte block out, its
// checksum made again.  A header without any extension value is copied
// unchanged.  Returns 0, or VELK_TAREXT_UNREPRESENTABLE (*why says what)
// when a value does not fit what an index entry holds: a path that cannot be
// split into a directory part of at most 155 bytes and a name of at most
// 100, a link target over 100 bytes, a size over 2^36 - 1, a time before
// 1970 or past 32 bits, an owner id of 2^24 or more, an owner name over 32
// bytes, or a sparse member.
[[nodiscard]] int velk_TarExtApply(const unsigned char *raw, const velk_tar_ext_t *global, const velk_tar_ext_t *member,
                                   unsigned char *out, const char **why);

// Forgets the member being read (its records and blocks), keeping the
// global values.
void velk_TarExtMemberReset(velk_tar_ext_reader_t *r);
// Forgets everything, keeping the buffer.
void velk_TarExtReset(velk_tar_ext_reader_t *r);
void velk_TarExtFree(velk_tar_ext_reader_t *r);

// Feeds the next block of the archive.  Returns VELK_TAREXT_MORE when the
// block belonged to an extension record; 0 when it is the member's own
// header (out holds it as velk_TarExtApply lays it out, r->blocks the
// extension blocks before it); VELK_TAR_EOF for an all-zero block outside a
// record; VELK_TAREXT_BADSUM for a block that is not a header;
// VELK_TAREXT_MALFORMED or VELK_TAREXT_UNREPRESENTABLE with r->why.  After
// any result but VELK_TAREXT_MORE the next block starts a new member.
[[nodiscard]] int velk_TarExtFeed(velk_tar_ext_reader_t *r, const unsigned char *block, unsigned char *out);

// Whether the header's type flag is one of the extension records.
bool velk_TarExtIsExtension(char typeflag);

// Names a member type velk does not archive ("FIFO", "character device",
// ...) for messages.
const char *velk_TarTypeName(char typeflag);

#endif
