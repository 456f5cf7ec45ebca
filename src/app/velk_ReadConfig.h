#ifndef VELK_READCONFIG_H
#define VELK_READCONFIG_H

// Site and user preferences: the global "velkrc" found along a search path
// (QUOR_CFG_FILE_PATH, else a built-in list), then the private
// "$HOME/.velkrc"; later values override earlier ones and the command line
// overrides both.  Read by the initial thread before the command line.

#include <cstdint>

struct velk_rc_t {
    int AbortOnOversizeArchive;
    int AbortOnOversizeFile;
    int AbortOnLongPathnames;
    int AbortOnMemberFileMissing;
    int AbortOnMemberFileReadError;
    int AbortOnMemberFileWriteError;
    int DisplayExcludedObjects;
    char *Okfile;
    char *Exfile;
    char *Statefile;
    uint64_t MaxSmallFileSize;
    int DisableGets;
    char *DisableGetsMsg;
    int DisablePuts;
    char *DisablePutsMsg;
    int EnableFileExpiration;
    char *ExpireCfgFile;
    uint32_t MaxMembersPerArchive;
    uint64_t MaxArchiveSize;
    uint32_t MaxFamilyMembers;
};

// Keys of the configuration files, in the order they are searched.
enum VELK_RC_OPTS {
    RC_ABT_ON_OVERSIZE_FILE = 0,
    RC_ABT_ON_LONG_PATH = 1,
    RC_ABT_ON_MFILE_MISSING = 2,
    RC_ABT_ON_MFILE_READ_ERROR = 3,
    RC_ABT_ON_MFILE_WRITE_ERROR = 4,
    RC_DISPLAY_EXCLUDED_OBJECTS = 5,
    RC_OK_FILE = 6,
    RC_EX_FILE = 7,
    RC_STATE_FILE = 8,
    RC_MAX_SMALL_FILESIZE = 9,
    RC_DISABLE_READS = 10,
    RC_READ_DISABLE_MSG = 11,
    RC_DISABLE_WRITES = 12,
    RC_WRITE_DISABLE_MSG = 13,
    RC_EXP_ENABLE = 14,
    RC_EXP_CFG_FILE = 15,
    RC_MAX_ARCHIVE_SIZE = 16,
    RC_MAX_MEMBER_COUNT = 17,
    RC_MAX_FAMILY_MEMBERS = 18,
};

struct rc_option_s {
    const char *optionName;
    VELK_RC_OPTS optionValue;
};

extern const rc_option_s rc_option_list[19];

// Clears rc, sets the defaults, reads the global file and then the private
// one into it.  Always returns 0: problems are reported and skipped.
int velk_ReadConfig(velk_rc_t *rc);
// Sets the defaults of rc (freeing any strings it holds; a record never
// filled must be zeroed).
void setDefaultOptions(velk_rc_t *rc);
// Reads one file into rc: 0, -1 after a fatal value error (reading stops at that
// line; earlier lines stay in force), or -errno when the file exists but
// can't be opened.  A missing file gives -ENOENT silently.
int readRcFile(velk_rc_t *rc, const char *path);
// The yes/no rule: sets *field and returns 0, or -1 for any other word.
int getYesNo(const char *text, int *field);

#endif
