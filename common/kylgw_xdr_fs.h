#ifndef KYLGW_XDR_FS_H
#define KYLGW_XDR_FS_H

// Bodies of the file-system operations (category 1280, apart from the list
// and gateway-stream transfers of kylgw_xdr_xfer.h), the user lookups
// (1536), class-of-service selection (2048) and the expiration attribute
// (5888), with the records they carry: class-of-service hints, the status
// record, file attributes, directory entries and name entries.
// Shared by the client library and kylgwd.  Every string, count and array
// read from the wire is checked against a named cap before anything is
// copied or allocated; arrays are allocated with calloc and released under
// KYL_XDR_FREE, and a failed decode owns nothing.  The catalogue rows are
// kylgw_fs_msgtable (kylgw_catalogue.h).  No locks: a record belongs to one
// thread.
//
// Results: every codec (xdr_*) returns true when the record was encoded,
// decoded or freed whole and false otherwise; the other calls say theirs.

#include <cstddef>
#include <cstdint>

#include "kyl_xdr.h"
#include "kylgw_msg.h"
#include "quor_sockaddr.h"

// Function codes of the file-system category (CAT_FILESYS).
constexpr uint16_t FN_FS_ACCTNAMETOCODE = 258;
constexpr uint16_t FN_FS_CLOSE = 776;
constexpr uint16_t FN_FS_CLOSEDIR = 777;
constexpr uint16_t FN_FS_CONVERTNAMESTOIDS = 779;
constexpr uint16_t FN_FS_FILEGETATTRIBUTES = 1538;
constexpr uint16_t FN_FS_FILEGETXATTRIBUTES = 1539;
constexpr uint16_t FN_FS_FILESETATTRIBUTES = 1540;
constexpr uint16_t FN_FS_FPREALLOCATE = 1546;
constexpr uint16_t FN_FS_FSTAT = 1547;
constexpr uint16_t FN_FS_GETACCT = 1792;
constexpr uint16_t FN_FS_GETCWD = 1799;
constexpr uint16_t FN_FS_GETLISTATTRS = 1801;
constexpr uint16_t FN_FS_GETUNIQUEREQUESTID = 1809;
constexpr uint16_t FN_FS_LSEEK = 3075;
constexpr uint16_t FN_FS_LSTAT = 3076;
constexpr uint16_t FN_FS_MKDIR = 3329;
constexpr uint16_t FN_FS_OPEN = 3840;
constexpr uint16_t FN_FS_OPENDIR = 3842;
constexpr uint16_t FN_FS_OPENX = 3843;
constexpr uint16_t FN_FS_READATTRS = 4609;
constexpr uint16_t FN_FS_RENAME = 4616;
constexpr uint16_t FN_FS_SETACCT = 4866;
constexpr uint16_t FN_FS_SETACCTBYNAME = 4867;
constexpr uint16_t FN_FS_SETFILEOFFSET = 4869;
constexpr uint16_t FN_FS_STAT = 4873;
constexpr uint16_t FN_FS_UMASK = 5376;
constexpr uint16_t FN_FS_UNLINK = 5378;

// User lookup (CAT_USER), class of service (CAT_COS), user-defined
// attributes (CAT_UDA).
constexpr uint16_t FN_USER_GETPWENT = 256;
constexpr uint16_t FN_USER_LOOKUPHOMEDIR = 262;
constexpr uint16_t FN_COS_SELECTCOS = 256;
constexpr uint16_t FN_UDA_SETEXPIRATION = 834;

// Open flags on the wire (field Oflag).
constexpr uint32_t QUOR_OFLAG_RDONLY = 1;
constexpr uint32_t QUOR_OFLAG_WRONLY = 2;
constexpr uint32_t QUOR_OFLAG_RDWR = 4;
constexpr uint32_t QUOR_OFLAG_APPEND = 8;
constexpr uint32_t QUOR_OFLAG_CREAT = 16;
constexpr uint32_t QUOR_OFLAG_EXCL = 32;
constexpr uint32_t QUOR_OFLAG_TRUNC = 64;
constexpr uint32_t QUOR_OFLAG_NONBLOCK = 128;

// Fixed field sizes (bytes in memory; fixed opaque fields are padded to a
// multiple of 4 on the wire, counted strings hold at most size-1 characters).
constexpr size_t QUOR_COSNAME_SIZE = 32;         // counted string
constexpr size_t QUOR_OBJID_SIZE = 19;           // storage object id, fixed opaque
constexpr size_t QUOR_COMMENT_SIZE = 256;        // fixed text
constexpr size_t QUOR_TRASH_PATH_SIZE = 2048;    // counted string
constexpr size_t QUOR_NAME_SIZE = 256;           // counted string: directory entry and trash names
constexpr size_t QUOR_ACCTNAME_SIZE = 129;       // fixed text
constexpr size_t QUOR_NAMESPEC_NAME_SIZE = 128;  // fixed text
constexpr size_t QUOR_NAMESPEC_REALM_SIZE = 256; // fixed text
constexpr size_t QUOR_PV_NAME_SIZE = 12;         // fixed opaque, not NUL-terminated when full
constexpr size_t QUOR_MAX_LEVELS = 5;            // storage levels of the extended attributes
constexpr size_t QUOR_UDA_PATH_SIZE = 1025;      // counted string of the expiration request

// Caps on counts and strings a decoder accepts.
constexpr uint32_t KYLGW_MAX_DIRENTRIES = 1024; // entries of one ReadAttrs reply
constexpr uint32_t KYLGW_MAX_NAMESPECS = 1024;  // name entries of one ConvertNamesToIds
constexpr uint32_t KYLGW_MAX_LEVEL_VVS = 64;    // volumes of one storage level
constexpr uint32_t KYLGW_MAX_VV_PVS = 64;       // physical volumes of one volume
constexpr uint32_t KYLGW_MAX_USERNAME = 256;    // user and principal names
constexpr uint32_t KYLGW_MAX_PWFIELD = 256;     // password, gecos and shell of a password entry
constexpr uint32_t KYLGW_MAX_COSLIST = 1024;    // class-of-service list of SelectCOS

// Storage level flags (quor_levelattrs_t.Flags).
constexpr uint32_t QUOR_LEVEL_DISK = 0x1u;     // the level is a disk level
constexpr uint32_t QUOR_LEVEL_HAS_DATA = 0x4u; // the file has data at this level

// Type codes of a name entry (ours).
constexpr int32_t QUOR_NAMESPEC_USER = 1;
constexpr int32_t QUOR_NAMESPEC_GROUP = 2;

// Class-of-service hints.
struct quor_cos_hints_t {
    uint32_t COSId;
    char COSName[QUOR_COSNAME_SIZE];
    uint32_t Flags;
    uint64_t OptimumAccessSize;
    uint64_t MinFileSize;
    uint64_t MaxFileSize;
    uint32_t AccessFrequency;
    uint32_t TransferRate;
    uint32_t AvgLatency;
    uint32_t WriteOps;
    uint32_t ReadOps;
    uint32_t StageCode;
    uint32_t StripeWidth;
    uint64_t StripeLength;
    uint32_t FamilyId;
};
bool xdr_quor_cos_hints_t(kyl_xdr_t *x, quor_cos_hints_t *h);

// Hint priorities: 30 required, 20 preferred, 0 ignored.
struct quor_cos_priorities_t {
    uint32_t COSIdPriority;
    uint32_t COSNamePriority;
    uint32_t OptimumAccessSizePriority;
    uint32_t MinFileSizePriority;
    uint32_t MaxFileSizePriority;
    uint32_t AccessFrequencyPriority;
    uint32_t TransferRatePriority;
    uint32_t AvgLatencyPriority;
    uint32_t WriteOpsPriority;
    uint32_t ReadOpsPriority;
    uint32_t StageCodePriority;
    uint32_t StripeWidthPriority;
    uint32_t StripeLengthPriority;
    uint32_t FamilyIdPriority;
};
bool xdr_quor_cos_priorities_t(kyl_xdr_t *x, quor_cos_priorities_t *p);

// Status record.  st_mode is a POSIX mode in memory and travels in its
// interchange form; quor_st_birthtime is not on the wire.
struct quor_stat_t {
    uint32_t st_dev;
    uint64_t st_ino;
    uint16_t st_nlink;
    uint16_t st_flag;
    uint32_t st_uid;
    uint32_t st_gid;
    uint32_t st_rdev;
    uint64_t st_ssize;
    uint32_t quor_st_atime;
    uint32_t quor_st_mtime;
    uint32_t quor_st_ctime;
    uint32_t st_blksize;
    uint32_t st_blocks;
    int32_t st_vfstype;
    uint32_t st_vfs;
    uint32_t st_type;
    uint32_t st_gen;
    uint64_t st_size;
    uint32_t st_mode;
    uint32_t quor_st_birthtime;
};
bool xdr_quor_stat_t(kyl_xdr_t *x, quor_stat_t *s);

// The bitfile part of an attribute record.
struct quor_bitfile_obj_t {
    unsigned char ObjId[QUOR_OBJID_SIZE];
    uint16_t BfHash;
    uint32_t ValidHash;
};

// Where a deleted object came from.
struct quor_trashinfo_t {
    uint64_t ParentId;
    uint16_t ParentNsHash;
    ns_ObjHandle_t Handle;
    uint32_t UID;
    uint32_t RealmId;
    uint32_t TimeDeleted;
    uint32_t TimeCreated;
    uint32_t TimeLastRead;
    uint32_t TimeModified;
    uint64_t LengthAtDeleteTime;
    unsigned char BitfileId[QUOR_OBJID_SIZE];
    uint16_t BitfileHash;
    char Path[QUOR_TRASH_PATH_SIZE];
    char Name[QUOR_NAME_SIZE];
};

// Attribute record.  Comment is fixed text: decoding forces its last byte
// to NUL.
struct quor_Attrs_t {
    uint32_t Account;
    quor_bitfile_obj_t BitfileObj;
    char Comment[QUOR_COMMENT_SIZE];
    uint32_t CompositePerms;
    uint32_t COSId;
    uint64_t DataLength;
    uint32_t EntryCount;
    uint32_t ExtendedACLs;
    uint32_t FamilyId;
    ns_ObjHandle_t FilesetHandle;
    uint64_t FilesetId;
    uint64_t FilesetRootObjectId;
    uint32_t FilesetStateFlags;
    uint32_t FilesetType;
    uint32_t GID;
    uint32_t GroupPerms;
    uint32_t LinkCount;
    uint32_t ModePerms;
    uint32_t OpenCount;
    uint32_t OptionFlags;
    uint32_t OtherPerms;
    uint32_t ReadCount;
    uint32_t RealmId;
    uint64_t RegisterBitMap;
    uint32_t SubSystemId;
    uint32_t TimeCreated;
    uint32_t TimeLastRead;
    uint32_t TimeLastWritten;
    uint32_t TimeModified;
    quor_trashinfo_t TrashInfo;
    uint32_t Type;
    uint32_t UID;
    uint32_t UserPerms;
    uint32_t WriteCount;
};
bool xdr_quor_Attrs_t(kyl_xdr_t *x, quor_Attrs_t *a);

// FileSetAttributes selection mask (SelFlags): one bit per quor_Attrs_t
// field, in declaration order from bit 0.
constexpr uint64_t QUOR_ATTRSEL_ACCOUNT = uint64_t{1} << 0;
constexpr uint64_t QUOR_ATTRSEL_BITFILEOBJ = uint64_t{1} << 1;
constexpr uint64_t QUOR_ATTRSEL_COMMENT = uint64_t{1} << 2;
constexpr uint64_t QUOR_ATTRSEL_COMPOSITEPERMS = uint64_t{1} << 3;
constexpr uint64_t QUOR_ATTRSEL_COSID = uint64_t{1} << 4;
constexpr uint64_t QUOR_ATTRSEL_DATALENGTH = uint64_t{1} << 5;
constexpr uint64_t QUOR_ATTRSEL_ENTRYCOUNT = uint64_t{1} << 6;
constexpr uint64_t QUOR_ATTRSEL_EXTENDEDACLS = uint64_t{1} << 7;
constexpr uint64_t QUOR_ATTRSEL_FAMILYID = uint64_t{1} << 8;
constexpr uint64_t QUOR_ATTRSEL_FILESETHANDLE = uint64_t{1} << 9;
constexpr uint64_t QUOR_ATTRSEL_FILESETID = uint64_t{1} << 10;
constexpr uint64_t QUOR_ATTRSEL_FILESETROOTOBJECTID = uint64_t{1} << 11;
constexpr uint64_t QUOR_ATTRSEL_FILESETSTATEFLAGS = uint64_t{1} << 12;
constexpr uint64_t QUOR_ATTRSEL_FILESETTYPE = uint64_t{1} << 13;
constexpr uint64_t QUOR_ATTRSEL_GID = uint64_t{1} << 14;
constexpr uint64_t QUOR_ATTRSEL_GROUPPERMS = uint64_t{1} << 15;
constexpr uint64_t QUOR_ATTRSEL_LINKCOUNT = uint64_t{1} << 16;
constexpr uint64_t QUOR_ATTRSEL_MODEPERMS = uint64_t{1} << 17;
constexpr uint64_t QUOR_ATTRSEL_OPENCOUNT = uint64_t{1} << 18;
constexpr uint64_t QUOR_ATTRSEL_OPTIONFLAGS = uint64_t{1} << 19;
constexpr uint64_t QUOR_ATTRSEL_OTHERPERMS = uint64_t{1} << 20;
constexpr uint64_t QUOR_ATTRSEL_READCOUNT = uint64_t{1} << 21;
constexpr uint64_t QUOR_ATTRSEL_REALMID = uint64_t{1} << 22;
constexpr uint64_t QUOR_ATTRSEL_REGISTERBITMAP = uint64_t{1} << 23;
constexpr uint64_t QUOR_ATTRSEL_SUBSYSTEMID = uint64_t{1} << 24;
constexpr uint64_t QUOR_ATTRSEL_TIMECREATED = uint64_t{1} << 25;
constexpr uint64_t QUOR_ATTRSEL_TIMELASTREAD = uint64_t{1} << 26;
constexpr uint64_t QUOR_ATTRSEL_TIMELASTWRITTEN = uint64_t{1} << 27;
constexpr uint64_t QUOR_ATTRSEL_TIMEMODIFIED = uint64_t{1} << 28;
constexpr uint64_t QUOR_ATTRSEL_TRASHINFO = uint64_t{1} << 29;
constexpr uint64_t QUOR_ATTRSEL_TYPE = uint64_t{1} << 30;
constexpr uint64_t QUOR_ATTRSEL_UID = uint64_t{1} << 31;
constexpr uint64_t QUOR_ATTRSEL_USERPERMS = uint64_t{1} << 32;
constexpr uint64_t QUOR_ATTRSEL_WRITECOUNT = uint64_t{1} << 33;

// An object handle and its attributes.
struct quor_fileattr_t {
    ns_ObjHandle_t ObjectHandle;
    quor_Attrs_t Attrs;
};
bool xdr_quor_fileattr_t(kyl_xdr_t *x, quor_fileattr_t *f);

// One physical volume of a volume.
struct quor_pv_t {
    char Name[QUOR_PV_NAME_SIZE];
    uint32_t Flags;
};

// One volume of a storage level; PVList holds PVCount entries (allocated
// by the decoder, at most KYLGW_MAX_VV_PVS).
struct quor_vvattrib_t {
    unsigned char VVID[QUOR_OBJID_SIZE];
    int32_t RelPosition;
    uint64_t RelPositionOffset;
    uint64_t BytesOnVV;
    uint32_t PVCount;
    quor_pv_t *PVList;
};

// One storage level.  The volume records follow Flags on the wire, away
// from their count NumberOfVVs; VVAttrib holds NumberOfVVs entries
// (allocated by the decoder, at most KYLGW_MAX_LEVEL_VVS).
struct quor_levelattrs_t {
    uint32_t NumberOfVVs;
    uint64_t BytesAtLevel;
    uint32_t OptimumAccessSize;
    uint32_t StripeWidth;
    uint64_t StripeLength;
    uint32_t Flags;
    quor_vvattrib_t *VVAttrib;
};

// Extended attributes: handle, attributes and the five storage levels.
// KYL_XDR_FREE releases the volume lists.
struct quor_xfileattr_t {
    ns_ObjHandle_t ObjectHandle;
    quor_Attrs_t Attrs;
    quor_levelattrs_t LevelAttrs[QUOR_MAX_LEVELS];
};
bool xdr_quor_xfileattr_t(kyl_xdr_t *x, quor_xfileattr_t *f);

// Directory entry of a ReadAttrs reply.
struct ns_DirEntry_t {
    char Name[QUOR_NAME_SIZE];
    ns_ObjHandle_t ObjHandle;
    uint64_t ObjOffset; // where reading continues after this entry
    quor_Attrs_t Attrs;
};
bool xdr_ns_DirEntry_t(kyl_xdr_t *x, ns_DirEntry_t *e);

// Name entry of ConvertNamesToIds.  Name and RealmName are fixed
// text: decoding forces their last byte to NUL.
struct api_namespec_t {
    int32_t Type; // QUOR_NAMESPEC_USER or QUOR_NAMESPEC_GROUP
    uint32_t Id;
    uint32_t RealmId;
    char Name[QUOR_NAMESPEC_NAME_SIZE];
    char RealmName[QUOR_NAMESPEC_REALM_SIZE];
};
bool xdr_api_namespec_t(kyl_xdr_t *x, api_namespec_t *s);

// ---------------------------------------------------------------------------
// Category 1280 bodies.  A path is an XDR string of at most KYLGW_MAX_PATH
// bytes; a descriptor is an int32.

// Requests that carry one path: Stat, Lstat, GetListAttrs,
// FileGetAttributes, Unlink, and Opendir (whose path is the DirName).
struct api_quor_path_req_t {
    char Path[KYLGW_MAX_PATH + 1];
};
typedef api_quor_path_req_t api_quor_Stat_req_t;
typedef api_quor_path_req_t api_quor_Lstat_req_t;
typedef api_quor_path_req_t api_quor_GetListAttrs_req_t;
typedef api_quor_path_req_t api_quor_FileGetAttributes_req_t;
typedef api_quor_path_req_t api_quor_Unlink_req_t;
typedef api_quor_path_req_t api_quor_Opendir_req_t;
bool xdr_api_quor_path_req_t(kyl_xdr_t *x, api_quor_path_req_t *r);

// Requests that carry one file descriptor: Close, Fstat.
struct api_quor_fildes_req_t {
    int32_t Fildes;
};
typedef api_quor_fildes_req_t api_quor_Close_req_t;
typedef api_quor_fildes_req_t api_quor_Fstat_req_t;
bool xdr_api_quor_fildes_req_t(kyl_xdr_t *x, api_quor_fildes_req_t *r);

// Replies that are a status record: Stat, Lstat, Fstat.
typedef quor_stat_t api_quor_Stat_rply_t;
typedef quor_stat_t api_quor_Lstat_rply_t;
typedef quor_stat_t api_quor_Fstat_rply_t;

// Site is the realm id of the account's site (0: the local site).
struct api_quor_AcctNameToCode_req_t {
    char AcctName[QUOR_ACCTNAME_SIZE];
    uint32_t Site;
};
bool xdr_api_quor_AcctNameToCode_req_t(kyl_xdr_t *x, api_quor_AcctNameToCode_req_t *r);

struct api_AcctNameToCode_rply_t {
    uint32_t AcctCode;
};
bool xdr_api_AcctNameToCode_rply_t(kyl_xdr_t *x, api_AcctNameToCode_rply_t *r);

struct api_quor_Closedir_req_t {
    int32_t Dirdes;
};
bool xdr_api_quor_Closedir_req_t(kyl_xdr_t *x, api_quor_Closedir_req_t *r);

// Request and reply: NumEntries (0..KYLGW_MAX_NAMESPECS) and that many
// entries; the decoder allocates Names.
struct api_quor_ConvertNamesToIds_req_t {
    int32_t NumEntries;
    api_namespec_t *Names;
};
typedef api_quor_ConvertNamesToIds_req_t api_quor_ConvertNamesToIds_rply_t;
bool xdr_api_quor_ConvertNamesToIds_req_t(kyl_xdr_t *x, api_quor_ConvertNamesToIds_req_t *r);

typedef quor_fileattr_t api_quor_FileGetAttributes_rply_t;

struct api_quor_FileGetXAttributes_req_t {
    char Path[KYLGW_MAX_PATH + 1];
    uint32_t Flags;
    uint32_t StorageLevel;
};
bool xdr_api_quor_FileGetXAttributes_req_t(kyl_xdr_t *x, api_quor_FileGetXAttributes_req_t *r);

typedef quor_xfileattr_t api_quor_FileGetXAttributes_rply_t;

// AttrIn (and the reply AttrOut) is a handle with attributes, the record
// FileGetAttributes returns; only the fields selected in SelFlags
// (QUOR_ATTRSEL_*) are set.
struct api_quor_FileSetAttributes_req_t {
    char Path[KYLGW_MAX_PATH + 1];
    uint64_t SelFlags;
    quor_fileattr_t AttrIn;
};
bool xdr_api_quor_FileSetAttributes_req_t(kyl_xdr_t *x, api_quor_FileSetAttributes_req_t *r);

typedef quor_fileattr_t api_quor_FileSetAttributes_rply_t;

struct api_quor_Fpreallocate_req_t {
    int32_t Fildes;
    uint64_t Length;
};
bool xdr_api_quor_Fpreallocate_req_t(kyl_xdr_t *x, api_quor_Fpreallocate_req_t *r);

struct api_quor_GetAcct_rply_t {
    uint32_t RetDefAcct;
    uint32_t RetCurAcct;
};
bool xdr_api_quor_GetAcct_rply_t(kyl_xdr_t *x, api_quor_GetAcct_rply_t *r);

struct api_quor_Getcwd_rply_t {
    char Buf[KYLGW_MAX_PATH + 1];
};
bool xdr_api_quor_Getcwd_rply_t(kyl_xdr_t *x, api_quor_Getcwd_rply_t *r);

typedef quor_Attrs_t api_quor_GetListAttrs_rply_t;

struct api_quor_GetUniqueRequestID_rply_t {
    kyl_uuid_t RetReqid;
};
bool xdr_api_quor_GetUniqueRequestID_rply_t(kyl_xdr_t *x, api_quor_GetUniqueRequestID_rply_t *r);

struct api_quor_Lseek_req_t {
    int32_t Fildes;
    int64_t Offset;
    int32_t Whence;
};
bool xdr_api_quor_Lseek_req_t(kyl_xdr_t *x, api_quor_Lseek_req_t *r);

struct api_quor_Lseek_rply_t {
    int64_t retval;
};
bool xdr_api_quor_Lseek_rply_t(kyl_xdr_t *x, api_quor_Lseek_rply_t *r);

// Mode is a POSIX mode in memory, interchange form on the wire.
struct api_quor_Mkdir_req_t {
    char Path[KYLGW_MAX_PATH + 1];
    uint32_t Mode;
};
bool xdr_api_quor_Mkdir_req_t(kyl_xdr_t *x, api_quor_Mkdir_req_t *r);

// Oflag holds QUOR_OFLAG_* bits; Mode as in Mkdir.
struct api_quor_Open_req_t {
    char Path[KYLGW_MAX_PATH + 1];
    uint32_t Oflag;
    uint32_t Mode;
    quor_cos_hints_t HintsIn;
    quor_cos_priorities_t HintsPri;
};
bool xdr_api_quor_Open_req_t(kyl_xdr_t *x, api_quor_Open_req_t *r);

struct api_quor_Open_rply_t {
    quor_cos_hints_t HintsOut;
};
bool xdr_api_quor_Open_rply_t(kyl_xdr_t *x, api_quor_Open_rply_t *r);

// dataport is in network byte order in memory and travels as the port
// number; connectaddr uses the address record form (family 0: none, which
// in a reply means "use the control connection's address").
struct api_quor_OpenX_req_t {
    uint32_t XIOFlags;
    quor_sockaddr_t connectaddr;
    uint16_t dataport;
    char Path[KYLGW_MAX_PATH + 1];
    uint32_t Oflag;
    uint32_t Mode;
    quor_cos_hints_t HintsIn;
    quor_cos_priorities_t HintsPri;
};
bool xdr_api_quor_OpenX_req_t(kyl_xdr_t *x, api_quor_OpenX_req_t *r);

struct api_quor_OpenX_rply_t {
    quor_sockaddr_t connectaddr;
    uint16_t dataport;
    quor_cos_hints_t HintsOut;
};
bool xdr_api_quor_OpenX_rply_t(kyl_xdr_t *x, api_quor_OpenX_rply_t *r);

struct api_quor_ReadAttrs_req_t {
    int32_t Dirdes;
    uint64_t OffsetIn;
    uint32_t EntryCount;
    uint32_t GetAttributes;
};
bool xdr_api_quor_ReadAttrs_req_t(kyl_xdr_t *x, api_quor_ReadAttrs_req_t *r);

// entryCount (0..KYLGW_MAX_DIRENTRIES), End, OffsetOut, then the entries;
// the decoder allocates DirEntries.
struct api_quor_ReadAttrs_rply_t {
    uint32_t entryCount;
    uint32_t End;
    uint64_t OffsetOut;
    ns_DirEntry_t *DirEntries;
};
bool xdr_api_quor_ReadAttrs_rply_t(kyl_xdr_t *x, api_quor_ReadAttrs_rply_t *r);

struct api_quor_Rename_req_t {
    char Old[KYLGW_MAX_PATH + 1];
    char New[KYLGW_MAX_PATH + 1];
};
bool xdr_api_quor_Rename_req_t(kyl_xdr_t *x, api_quor_Rename_req_t *r);

struct api_quor_SetAcct_req_t {
    uint32_t NewCurAcct;
};
bool xdr_api_quor_SetAcct_req_t(kyl_xdr_t *x, api_quor_SetAcct_req_t *r);

struct api_quor_SetAcctByName_req_t {
    char AcctName[QUOR_ACCTNAME_SIZE];
};
bool xdr_api_quor_SetAcctByName_req_t(kyl_xdr_t *x, api_quor_SetAcctByName_req_t *r);

struct api_quor_SetFileOffset_req_t {
    int32_t Fildes;
    uint64_t OffsetIn;
    int32_t Whence;
    int32_t Direction; // 0 forward, 1 backward from the Whence base
};
bool xdr_api_quor_SetFileOffset_req_t(kyl_xdr_t *x, api_quor_SetFileOffset_req_t *r);

struct api_quor_SetFileOffset_rply_t {
    uint64_t OffsetOut;
};
bool xdr_api_quor_SetFileOffset_rply_t(kyl_xdr_t *x, api_quor_SetFileOffset_rply_t *r);

struct api_quor_Umask_req_t {
    uint32_t CMask;
};
bool xdr_api_quor_Umask_req_t(kyl_xdr_t *x, api_quor_Umask_req_t *r);

struct api_quor_Umask_rply_t {
    uint32_t OMask;
};
bool xdr_api_quor_Umask_rply_t(kyl_xdr_t *x, api_quor_Umask_rply_t *r);

// ---------------------------------------------------------------------------
// Category 1536: user lookup.  Strings are XDR strings.

// uname empty: the session's own user.
struct api_getpwent_req_t {
    char uname[KYLGW_MAX_USERNAME + 1];
};
bool xdr_api_getpwent_req_t(kyl_xdr_t *x, api_getpwent_req_t *r);

// A password entry: name, password, uid, gid, gecos, home directory (in
// the storage namespace) and shell, in that order.
struct api_getpwent_rply_t {
    char pw_name[KYLGW_MAX_USERNAME + 1];
    char pw_passwd[KYLGW_MAX_PWFIELD + 1];
    uint32_t pw_uid;
    uint32_t pw_gid;
    char pw_gecos[KYLGW_MAX_PWFIELD + 1];
    char pw_dir[KYLGW_MAX_PATH + 1];
    char pw_shell[KYLGW_MAX_PWFIELD + 1];
};
bool xdr_api_getpwent_rply_t(kyl_xdr_t *x, api_getpwent_rply_t *r);

struct api_lookup_homedir_req_t {
    char principal[KYLGW_MAX_USERNAME + 1];
};
bool xdr_api_lookup_homedir_req_t(kyl_xdr_t *x, api_lookup_homedir_req_t *r);

struct api_lookup_homedir_rply_t {
    char homeDir[KYLGW_MAX_PATH + 1];
};
bool xdr_api_lookup_homedir_rply_t(kyl_xdr_t *x, api_lookup_homedir_rply_t *r);

// ---------------------------------------------------------------------------
// Category 2048: class-of-service selection for a file of fileSize bytes.
// cosList is an XDR string (empty: any class); charge is the account.

struct api_selectcos_req_t {
    char cosList[KYLGW_MAX_COSLIST + 1];
    uint64_t fileSize;
    uint32_t uid;
    uint32_t gid;
    uint32_t charge;
    uint32_t copies;
    uint32_t subsysId;
};
bool xdr_api_selectcos_req_t(kyl_xdr_t *x, api_selectcos_req_t *r);

// The hints and priorities to pass to an Open of such a file.
struct api_selectcos_rply_t {
    quor_cos_hints_t HintsIn;
    quor_cos_priorities_t HintPriorities;
};
bool xdr_api_selectcos_rply_t(kyl_xdr_t *x, api_selectcos_rply_t *r);

// ---------------------------------------------------------------------------
// Category 5888: the expiration attribute.  Path is a counted string (the
// length word counts the NUL), ExpireTime seconds since the epoch.

struct uda_set_expiration_req_t {
    char Path[QUOR_UDA_PATH_SIZE];
    uint64_t ExpireTime;
};
bool xdr_uda_set_expiration_req_t(kyl_xdr_t *x, uda_set_expiration_req_t *r);

#endif
