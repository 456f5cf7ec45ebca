// The ustar member header: octal conversions, header blocks built from
// index entries and validated when read back, the sequential archive read
// loop and the storage layout derived from a remote archive's levels.
// Header routines are pure apart from messages and the exit status; the read
// loop blocks on its descriptor.  Any thread may call these; no locks.

#include "velk_TarHeader.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Utils.h"

#define VELK_FIELD_AT(field, off) static_assert(offsetof(posix_header_t, field) == (off), #field " is misplaced")
VELK_FIELD_AT(thb_name, USTAR_name_offset);
VELK_FIELD_AT(thb_mode, USTAR_mode_offset);
VELK_FIELD_AT(thb_uid, USTAR_uid_offset);
VELK_FIELD_AT(thb_gid, USTAR_gid_offset);
VELK_FIELD_AT(thb_size, USTAR_size_offset);
VELK_FIELD_AT(thb_mtime, USTAR_mtime_offset);
VELK_FIELD_AT(thb_chksum, USTAR_checksum_offset);
VELK_FIELD_AT(thb_typeflag, USTAR_typeflag_offset);
VELK_FIELD_AT(thb_linkname, USTAR_linkname_offset);
VELK_FIELD_AT(thb_magic, USTAR_magic_offset);
VELK_FIELD_AT(thb_version, USTAR_version_offset);
VELK_FIELD_AT(thb_uname, USTAR_uname_offset);
VELK_FIELD_AT(thb_gname, USTAR_gname_offset);
VELK_FIELD_AT(thb_devmajor, USTAR_devmajor_offset);
VELK_FIELD_AT(thb_devminor, USTAR_devminor_offset);
VELK_FIELD_AT(thb_prefix, USTAR_prefix_offset);

int velk_archive_fd = -1;

int velk_archive_stripewidth = 1;

// ---------------------------------------------------------------------------
// Octal text.
// ---------------------------------------------------------------------------

// Writes the low-order octal digits of value right-aligned into digits bytes
// at field, padded on the left with '0'.  Returns the bits that did not fit.
static uint64_t writeOctalDigits(uint64_t value, char *field, int digits)
{
    int pos = digits - 1;
    if (pos >= 0) {
        do {
            field[pos--] = static_cast<char>('0' + (value & 7));
            value >>= 3;
        } while (value != 0 && pos >= 0);
    }
    while (pos >= 0)
        field[pos--] = '0';
    return value;
}

void Uint32_tToOctal(uint32_t value, char *field, int width, int terminate, const char *fieldName)
{
    if (field == nullptr || width <= 0)
        return;
    int digits = width;
    if (terminate) {
        field[width - 1] = '\0';
        digits--;
    }
    if (writeOctalDigits(value, field, digits) != 0)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s]Octal field [%s] overflow - width=%d value=%ld\n", __func__,
                    fieldName ? fieldName : "", width, static_cast<long>(value));
}

void Uint64_tToOctal(uint64_t value, char *field, int width, int terminate, const char *fieldName)
{
    if (field == nullptr || width <= 0)
        return;
    int digits = width;
    if (terminate) {
        field[width - 1] = '\0';
        digits--;
    }
    if (writeOctalDigits(value, field, digits) != 0) {
        char text[24];
        snprintf(text, sizeof text, "%" PRIu64, value);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s]Octal field [%s] overflow - width=%d value=%s\n", __func__,
                    fieldName ? fieldName : "", width, text);
    }
}

int OctalToUint32_t(uint32_t *result, int width, const char *field, const char *fieldName)
{
    (void)fieldName;
    uint32_t value = 0;
    int rc = 0;
    for (int i = 0; i < width; i++) {
        char c = field[i];
        if (c == ' ' || c == '\0') {
            if (value != 0)
                break;
            continue;
        }
        if (c < '0' || c > '7' || (value >> 29) != 0) {
            // Not a digit, or one more digit would push bits out of 32.
            rc = -1;
            break;
        }
        value = (value << 3) | static_cast<uint32_t>(c - '0');
    }
    *result = value;
    return rc;
}

int OctalToUint64_t(uint64_t *result, int width, const char *field, const char *fieldName)
{
    (void)fieldName;
    uint64_t value = 0;
    bool sawDigit = false;
    int rc = 0;
    for (int i = 0; i < width; i++) {
        char c = field[i];
        if (c == ' ' || c == '\0') {
            // Unlike the 32-bit form, a leading "0" already counts: the field
            // ends at the first blank after any digit.
            if (sawDigit)
                break;
            continue;
        }
        if (c < '0' || c > '7' || (value >> 61) != 0) {
            rc = -1;
            break;
        }
        value = (value << 3) | static_cast<uint64_t>(c - '0');
        sawDigit = true;
    }
    *result = value;
    return rc;
}

// ---------------------------------------------------------------------------
// Header blocks.
// ---------------------------------------------------------------------------

int64_t velk_TarHeaderChecksum(const unsigned char *block, bool isSigned)
{
    int64_t sum = 0;
    for (size_t i = 0; i < VELK_BLOCKSIZE; i++) {
        if (i >= USTAR_checksum_offset && i < USTAR_checksum_offset + USTAR_checksum_size)
            sum += ' ';
        else if (isSigned)
            sum += static_cast<signed char>(block[i]);
        else
            sum += block[i];
    }
    return sum;
}

void velk_BuildPosixHeader(const hif_entry_t *entry, unsigned char *block)
{
    memset(block, 0, VELK_BLOCKSIZE);
    char *b = reinterpret_cast<char *>(block);

    memcpy(b + USTAR_name_offset, entry->hent_name, USTAR_name_size);
    Uint32_tToOctal(velk_Get32(entry->hent_mode), b + USTAR_mode_offset, USTAR_mode_size, 1, "thb_mode");
    Uint32_tToOctal(velk_Get32(entry->hent_uid), b + USTAR_uid_offset, USTAR_uid_size, 1, "thb_uid");
    Uint32_tToOctal(velk_Get32(entry->hent_gid), b + USTAR_gid_offset, USTAR_gid_size, 1, "thb_gid");
    Uint64_tToOctal(velk_Get64(entry->hent_fsize), b + USTAR_size_offset, USTAR_size_size, 0, "thb_size");
    Uint32_tToOctal(velk_Get32(entry->hent_mtime), b + USTAR_mtime_offset, USTAR_mtime_size, 1, "thb_mtime");
    // The header's prefix field is one byte shorter than the entry's.
    memcpy(b + USTAR_prefix_offset, entry->hent_prefix, USTAR_prefix_size);

    uint32_t type = velk_Get32(entry->hent_type);
    switch (type) {
    case VTO_FILE:
    case VTO_HARDLINK: // a hard link is written with its data, as a file
        b[USTAR_typeflag_offset] = USTAR_TYPE_FILE;
        break;
    case VTO_DIRECTORY: b[USTAR_typeflag_offset] = USTAR_TYPE_DIRECTORY; break;
    case VTO_SYMLINK: b[USTAR_typeflag_offset] = USTAR_TYPE_SYMLINK; break;
    default: {
        char name[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(entry, name, sizeof name);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Internal error [%s,line %d]. Bad object type %d for %s\n",
                    __func__, __LINE__, static_cast<int>(type), name);
        break;
    }
    }

    memcpy(b + USTAR_linkname_offset, entry->hent_linkname, USTAR_linkname_size);
    memcpy(b + USTAR_magic_offset, "ustar", USTAR_magic_size); // five letters and the NUL
    memcpy(b + USTAR_version_offset, "00", USTAR_version_size);
    memcpy(b + USTAR_uname_offset, entry->hent_uname, USTAR_uname_size);
    memcpy(b + USTAR_gname_offset, entry->hent_gname, USTAR_gname_size);
    Uint32_tToOctal(0, b + USTAR_devmajor_offset, USTAR_devmajor_size, 1, "thb_devmajor");
    Uint32_tToOctal(0, b + USTAR_devminor_offset, USTAR_devminor_size, 1, "thb_devminor");

    // Six octal characters with leading spaces, the NUL the formatting
    // writes, then a space.  The largest possible sum (512 x 255) has six
    // octal digits, so the text always fits.
    int64_t sum = velk_TarHeaderChecksum(block, false);
    char text[8];
    snprintf(text, sizeof text, "%6o", static_cast<unsigned>(sum));
    memcpy(b + USTAR_checksum_offset, text, 7);
    b[USTAR_checksum_offset + 7] = ' ';
}

static bool typeAccepted(char t)
{
    return t == USTAR_TYPE_OLDFILE || t == USTAR_TYPE_FILE || t == USTAR_TYPE_HARDLINK || t == USTAR_TYPE_SYMLINK ||
           t == USTAR_TYPE_DIRECTORY;
}

int velk_GetTarHeader(const unsigned char *block, posix_header_t *header)
{
    memcpy(header, block, USTAR_HEADER_SIZE);

    uint32_t stored = 0;
    // A stray character ends the parse; the digits before it are compared.
    (void)OctalToUint32_t(&stored, USTAR_checksum_size, header->thb_chksum, "thb_chksum");

    // The checksum is defined over unsigned bytes.  Some old tar programs
    // summed signed bytes, so a header from them (a name with bytes above
    // 127) matches only the signed sum; both are accepted.
    int64_t rawUnsigned = 0;
    for (size_t i = 0; i < VELK_BLOCKSIZE; i++)
        rawUnsigned += block[i];
    if (rawUnsigned == 0) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/ %s: zeroed block header (EOF) found \n", __func__);
        return VELK_TAR_EOF;
    }
    int64_t sumUnsigned = velk_TarHeaderChecksum(block, false);
    int64_t sumSigned = velk_TarHeaderChecksum(block, true);
    if (stored != sumUnsigned && stored != sumSigned) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Checksum mismatch: header value = %d, calculated value=%d\n",
                    static_cast<int>(stored), static_cast<int>(sumUnsigned));
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (!typeAccepted(header->thb_typeflag)) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Tar Entry type '%c' not currently supported by VELK\n",
                    header->thb_typeflag);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

uint64_t velk_GetMemberFilesize(const posix_header_t *header)
{
    uint64_t value = 0;
    for (size_t i = 0; i < USTAR_size_size; i++) {
        char c = header->thb_size[i];
        if (c == ' ' || c == '\0') {
            if (value != 0)
                break;
            continue;
        }
        if (c < '0' || c > '7') {
            if (velk_Opt(VELK_OPT_VERBOSE) || velk_debug_level >= 1)
                velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG,
                            "Warning: non-octal digit [%c] found in tar filesize field\n", c);
            break;
        }
        // Twelve digits hold at most 36 bits, so 64 bits never overflow.
        value = (value << 3) | static_cast<uint64_t>(c - '0');
    }
    return value;
}

// ---------------------------------------------------------------------------
// Storage layout.
// ---------------------------------------------------------------------------

// Layout values come from the storage system; keep them inside int.
static int toInt(uint32_t v)
{
    return v > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(v);
}

static bool actionMakesFile()
{
    return velk_function == VOP_CREATE || velk_function == VOP_COPY || velk_function == VOP_REPACK;
}

static bool actionReadsDataLevel()
{
    switch (velk_function) {
    case VOP_APPEND:
    case VOP_BUILD_INDEX:
    case VOP_COMPARE:
    case VOP_COPY:
    case VOP_EXTRACT:
    case VOP_REPACK:
    case VOP_UPDATE: return true;
    default: return false;
    }
}

int velk_GetArchiveStripeInfo(int useDataLevel, const velk_storage_level_t *levels, int levelCount, const char *path)
{
    if (levelCount > VELK_MAX_STORAGE_LEVELS)
        levelCount = VELK_MAX_STORAGE_LEVELS;
    if (levels == nullptr)
        levelCount = 0;

    uint32_t widest = 0;
    int dataLevel = -1;
    for (int i = 0; i < levelCount; i++) {
        if (levels[i].stripeWidth > widest)
            widest = levels[i].stripeWidth;
        if (levels[i].flags & VELK_LEVEL_HAS_DATA) {
            dataLevel = i;
            break;
        }
    }
    if (dataLevel < 0 && !actionMakesFile()) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG,
                    "[warning] internal error - no data at any level of hierarchy for %s\n",
                    path != nullptr ? path : "");
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }

    velk_storage_level_t top = levelCount > 0 ? levels[0] : velk_storage_level_t{0, 1, 0, 0};
    uint32_t width;
    const velk_storage_level_t *chosen;
    if (useDataLevel && actionReadsDataLevel() && dataLevel >= 0) {
        chosen = &levels[dataLevel];
        width = widest;
    } else {
        chosen = &top;
        width = top.stripeWidth;
    }
    // A level may report a stripe width of 0; one stripe is meant.
    if (width == 0)
        width = 1;

    velk_archive_stripewidth = toInt(width);
    // The optimum access size and whether the data sit on tape are shown,
    // not used: every transfer is sized by the stripe width.
    if (velk_debug_level >= 1) {
        const bool isTape = dataLevel >= 0 && (levels[dataLevel].flags & VELK_LEVEL_IS_DISK) == 0;
        velk_ErrPrintf("[debug]SC[%d] stripe width: %d optimum access size: %d, %s tape\n",
                       dataLevel >= 0 ? dataLevel : 0, velk_archive_stripewidth, toInt(chosen->optimumAccess),
                       isTape ? "is" : "is NOT");
    }
    return 0;
}
