// Index entries and the index header image: entries made from member-table
// records and from tar headers, the header laid out from the run's index
// state, and the adjustment of an entry to its member's transfer outcome.
// Called by the initial thread (and, during create, the local file manager
// thread while the initial thread waits).  No locks.

#include "velk_IndexEntry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_MemberStatus.h"
#include "velk_NameCache.h"
#include "velk_Utils.h"

hif_hdr_t velk_index_hdr;
int64_t velk_index_entries = 0;
uint64_t velk_archive_blocks = 0;

namespace {

// Longest symbolic link target read (the stored one holds 99 characters).
constexpr size_t kLinkReadMax = 4097;
// Longest name stored in hent_name and longest prefix a split produces.
constexpr size_t kNameMax = HENT_name_size - 1;
constexpr size_t kSplitPrefixMax = HENT_PREFIX_MAX - 1;

const char *orEmpty(const char *s)
{
    return s != nullptr ? s : "";
}

// Copies the text at src (at most n bytes, stopping at a NUL) into a field
// of n bytes; the rest of the field stays zero.
void copyText(char *field, size_t n, const char *src)
{
    memcpy(field, src, strnlen(src, n));
}

} // namespace

const char *velk_IndexKindName(int kind)
{
    switch (kind) {
    case VELK_QUOR_FILE: return "QUOR-resident";
    case VELK_REMOTE_FILE: return "remote";
    default: return "local";
    }
}

// ---------------------------------------------------------------------------
// Making entries.
// ---------------------------------------------------------------------------

int velk_IndexFromFileSpec(int64_t ordinal, velk_FileSpec_t *fileSpec, hif_entry_t *entry)
{
    (void)ordinal;
    memset(entry, 0, sizeof *entry);
    const char *path = orEmpty(fileSpec->filename);
    size_t len = strlen(path);
    // A directory operand may end in '/': splitting there would leave an
    // empty name, so the slash (and any repeats of it) goes first.
    while (len > 1 && path[len - 1] == '/')
        len--;

    size_t split = 0; // position of the separating '/', 0 when not split
    if (len > kNameMax) {
        // The rightmost '/' that leaves at most 99 name characters and a
        // non-empty prefix of at most 154.
        for (size_t p = len - 1; p + HENT_name_size >= len && p > 0; p--) {
            if (path[p] == '/' && p <= kSplitPrefixMax) {
                split = p;
                break;
            }
        }
        if (split == 0) {
            std::string shown(path, len);
            velk_ErrPrintf("\n%s: name too long for tar archive- file omitted\n  [%s]\n", "WARNING", shown.c_str());
            velk_LogFmt(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, "%s: name too long for tar archive- file omitted\n",
                        "WARNING");
            velk_LogFmt(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, "  [%s]\n", shown.c_str());
            velk_SetExitCode(VELK_EXIT_USAGE); // an unusable path
            return -1;
        }
    }

    uint32_t type = fileSpec->objectType;
    if (type == VTO_SYMLINK) {
        char target[kLinkReadMax + 1];
        ssize_t n = readlink(path, target, kLinkReadMax);
        if (n < 0) {
            int err = errno;
            perror("readlink");
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d reading symlink contents for %s\n", err, path);
            velk_SetExitCode(VELK_EXIT_SOFTWARE);
            return -1;
        }
        target[n] = '\0';
        if (static_cast<size_t>(n) > kNameMax) {
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "symlink %s: pointed-to name too long to store in archive\n",
                        path);
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "[%s]", target);
            velk_SetExitCode(VELK_EXIT_USAGE);
            memset(entry, 0, sizeof *entry);
            return -1;
        }
        memcpy(entry->hent_linkname, target, static_cast<size_t>(n));
    }

    if (type == VTO_FILE || type == VTO_HARDLINK) {
        if (fileSpec->size > VELK_MAX_MEMBER_SIZE) {
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "File too large for velk to handle: %s (%lu bytes)\n", path,
                        static_cast<unsigned long>(fileSpec->size));
            velk_SetExitCode(VELK_EXIT_SOFTWARE);
            memset(entry, 0, sizeof *entry);
            return -1;
        }
    } else if (type == VTO_DIRECTORY || type == VTO_SYMLINK) {
        fileSpec->size = 0;
    }

    if (split != 0) {
        memcpy(entry->hent_prefix, path, split);
        memcpy(entry->hent_name, path + split + 1, len - split - 1);
    } else {
        memcpy(entry->hent_name, path, len);
    }

    memcpy(entry->hent_sanity, HENT_SANITY, HENT_sanity_size);
    velk_Put32(entry->hent_type, type);
    velk_Put32(entry->hent_version, 1);
    velk_Put32(entry->hent_mode, fileSpec->mode & 07777);
    velk_Put32(entry->hent_ctime, static_cast<uint32_t>(fileSpec->ctime));
    velk_Put32(entry->hent_mtime, static_cast<uint32_t>(fileSpec->mtime));
    velk_Put32(entry->hent_uid, static_cast<uint32_t>(fileSpec->uid));
    velk_Put32(entry->hent_gid, static_cast<uint32_t>(fileSpec->gid));
    char owner[HENT_uname_size + 1] = {};
    char group[HENT_gname_size + 1] = {};
    if (velk_GetOwnerName(static_cast<uid_t>(fileSpec->uid), owner, sizeof owner) == 0)
        copyText(entry->hent_uname, HENT_uname_size, owner);
    if (velk_GetGroupName(static_cast<gid_t>(fileSpec->gid), group, sizeof group) == 0)
        copyText(entry->hent_gname, HENT_gname_size, group);

    uint64_t size = (type == VTO_FILE || type == VTO_HARDLINK) ? fileSpec->size : 0;
    uint64_t blocks = (type == VTO_FILE || type == VTO_HARDLINK) ? velk_MemberBlocks(size) : 1;
    velk_Put32(entry->hent_blocks, static_cast<uint32_t>(blocks));
    velk_Put64(entry->hent_fsize, size);
    velk_Put64(entry->hent_offset, velk_archive_blocks);
    return 0;
}

int velk_IndexFromTarHdr(uint64_t blockOffset, const posix_header_t *header, hif_entry_t *entry, uint32_t *blocksOut,
                         uint64_t *sizeOut)
{
    memset(entry, 0, sizeof *entry);
    char typeflag = header->thb_typeflag;
    size_t nameLen = strnlen(header->thb_name, sizeof header->thb_name);
    // Old (pre-ustar) archives mark a directory only by a trailing '/'.
    if (strncmp(header->thb_magic, "ustar", sizeof header->thb_magic) != 0 && typeflag == '\0' && nameLen > 0 &&
        header->thb_name[nameLen - 1] == '/') {
        typeflag = USTAR_TYPE_DIRECTORY;
        if (velk_debug_level >= 2)
            velk_ErrPrintf("/debug/non-USTAR style header. Changed entry type to DIRECTORY for %.*s\n",
                           static_cast<int>(nameLen), header->thb_name);
    }

    uint32_t type;
    uint64_t size = 0;
    switch (typeflag) {
    case USTAR_TYPE_OLDFILE:
    case USTAR_TYPE_FILE:
        type = VTO_FILE;
        size = velk_GetMemberFilesize(header);
        break;
    case USTAR_TYPE_HARDLINK:
        type = VTO_HARDLINK;
        size = velk_GetMemberFilesize(header);
        break;
    case USTAR_TYPE_SYMLINK:
        type = VTO_SYMLINK;
        size = velk_GetMemberFilesize(header);
        break;
    case USTAR_TYPE_DIRECTORY: type = VTO_DIRECTORY; break;
    default:
        // '3', '4', '6', '7' are device, FIFO and contiguous-file members;
        // anything else is unknown.  Neither gives an entry.
        return -1;
    }

    uint64_t blocks = velk_MemberBlocks(size);
    *blocksOut = static_cast<uint32_t>(blocks);
    *sizeOut = size;

    memcpy(entry->hent_sanity, HENT_SANITY, HENT_sanity_size);
    velk_Put32(entry->hent_type, type);
    velk_Put32(entry->hent_blocks, static_cast<uint32_t>(blocks));
    velk_Put64(entry->hent_fsize, size);
    velk_Put64(entry->hent_offset, blockOffset);
    // The header's text fields are copied as bytes, terminated or not; every
    // reader of an entry bounds them by the field widths.
    memcpy(entry->hent_name, header->thb_name, sizeof header->thb_name);
    memcpy(entry->hent_prefix, header->thb_prefix, sizeof header->thb_prefix);
    memcpy(entry->hent_linkname, header->thb_linkname, sizeof header->thb_linkname);
    memcpy(entry->hent_uname, header->thb_uname, sizeof header->thb_uname);
    memcpy(entry->hent_gname, header->thb_gname, sizeof header->thb_gname);

    uint32_t mode = 0, uid = 0, gid = 0;
    uint64_t mtime = 0;
    (void)OctalToUint32_t(&mode, USTAR_mode_size, header->thb_mode, "thb_mode");
    (void)OctalToUint64_t(&mtime, USTAR_mtime_size, header->thb_mtime, "thb_mtime");
    (void)OctalToUint32_t(&uid, USTAR_uid_size, header->thb_uid, "thb_uid");
    (void)OctalToUint32_t(&gid, USTAR_gid_size, header->thb_gid, "thb_gid");
    velk_Put32(entry->hent_mode, mode);
    velk_Put32(entry->hent_mtime, static_cast<uint32_t>(mtime)); // seconds kept to 32 bits
    velk_Put32(entry->hent_uid, uid);
    velk_Put32(entry->hent_gid, gid);
    return 0;
}

// ---------------------------------------------------------------------------
// The header.
// ---------------------------------------------------------------------------

void velk_BuildIndexHeader(const velk_index_t *index)
{
    hidx_hdr_t &h = velk_index_hdr.hif_hdr;
    memset(h.hif_sanity, 0, sizeof h.hif_sanity);
    memcpy(h.hif_sanity, HIF_SANITY, sizeof HIF_SANITY - 1);
    velk_Put32(h.hif_version, HIF_VERSION);
    velk_Put32(h.hif_flags, index->flags);
    velk_Put32(h.obj_count, static_cast<uint32_t>(velk_index_entries));
    velk_Put32(h.annotation_offset, index->annotationOffset);
    velk_Put32(h.annotation_size, index->annotationSize);
}

int velk_AdjustIndexEntry(int64_t ordinal, const hif_entry_t *source, hif_entry_t *target)
{
    if (target != source)
        memcpy(target, source, sizeof *target);
    uint32_t type = velk_Get32(target->hent_type);
    if (type != VTO_FILE && type != VTO_HARDLINK)
        return 0;
    if (velk_GetMemberFileXferSuccess(ordinal) != 0) {
        // The archive holds a placeholder member of this name at the
        // position; offset, blocks and size stay as laid out.
        velk_Put32(target->hent_flags, velk_Get32(target->hent_flags) | HIF_FLAG_PHANTOM | HIF_FLAG_DELETED);
        memset(target->hent_prefix, 0, sizeof target->hent_prefix);
        memset(target->hent_name, 0, sizeof target->hent_name);
        memcpy(target->hent_name, "/dev/null", sizeof "/dev/null" - 1);
    } else if (velk_Opt(VELK_OPT_CRC)) {
        velk_Put32(target->hent_flags, velk_Get32(target->hent_flags) | HIF_FLAG_CRC);
        velk_Put32(target->hent_crc32, velk_GetMemberFileXferCRC(ordinal));
    }
    return 0;
}
