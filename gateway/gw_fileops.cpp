// File operations on the served tree (see gw_fileops.h).  Each request is
// served holding its session's fs->mu, with the user's file-system
// identity when the daemon runs as root (per thread: setfsuid, setfsgid and
// the raw setgroups system call, which unlike the C library's affects the
// calling thread only).  Paths are normalised against the session cwd and
// resolved inside the tree by gw_ns; sidecars (gw_meta) are written with
// the daemon's identity after the tree operation.  Texts from the client
// reach the log only as arguments.

#include "gw_fileops.h"

#include "gw_config.h"
#include "gw_cos.h"
#include "gw_log.h"
#include "gw_meta.h"
#include "gw_ns.h"
#include "gw_options.h"
#include "gw_users.h"

#include <kylgw_attrs.h>
#include <kylgw_xdr_fs.h>
#include <kylgw_xdr_lfx.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/fsuid.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

// Written on the main thread during start-up only.
static int gw_fsRootFd = -1;
static const char *gw_fsMeta = nullptr; // "" or null: no sidecars
static int gw_fsRunMode = GW_RUNMODE_STORAGE;
static bool gw_fsAsRoot = false;
static gid_t gw_fsDaemonGroups[64];
static int gw_fsDaemonGroupCount = 0;

namespace {

constexpr uint32_t GW_PRIORITY_REQUIRED = 30;
constexpr uint32_t GW_DEFAULT_SUBSYSTEM = 1;

} // namespace

struct gw_fsfile_t {
    int fd = -1;     // -1: free
    int stream = -1; // the data connection of an OpenX descriptor, or -1
    std::string path;
    uint32_t cos = 0;
};

struct gw_fsdir_t {
    bool used = false;
    std::string path;
    std::vector<std::string> names;
};

struct gw_fs_t {
    // Guards everything below; held while a request is served.
    kyl_mutex_t mu;
    bool started KYL_GUARDED_BY(mu) = false;
    std::string cwd KYL_GUARDED_BY(mu);
    uint32_t umask KYL_GUARDED_BY(mu) = 022;
    uint32_t defAcct KYL_GUARDED_BY(mu) = 0;
    uint32_t curAcct KYL_GUARDED_BY(mu) = 0;
    gw_fsfile_t files[GW_FS_MAX_FILES] KYL_GUARDED_BY(mu);
    gw_fsdir_t dirs[GW_FS_MAX_DIRS] KYL_GUARDED_BY(mu);
    uint32_t busyOpenFired KYL_GUARDED_BY(mu) = 0;
    uint32_t enospcSeekFired KYL_GUARDED_BY(mu) = 0;
    uint32_t mkdirEagainFired KYL_GUARDED_BY(mu) = 0;
    uint32_t renamesSeen KYL_GUARDED_BY(mu) = 0;
};

int gw_FsSetup(const char *root, const char *meta, int runMode)
{
    int fd = open(root, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    gw_fsRootFd = fd;
    gw_fsMeta = meta;
    gw_fsRunMode = runMode;
    gw_fsAsRoot = geteuid() == 0;
    int n = getgroups(64, gw_fsDaemonGroups);
    gw_fsDaemonGroupCount = n > 0 ? n : 0;
    return 0;
}

gw_fs_t *gw_FsNew()
{
    return new (std::nothrow) gw_fs_t;
}

void gw_FsFree(gw_fs_t *fs)
{
    if (fs == nullptr)
        return;
    {
        kyl_lock_guard g(fs->mu);
        for (gw_fsfile_t &f : fs->files)
            if (f.fd >= 0) {
                close(f.fd);
                f.fd = -1;
                if (f.stream >= 0)
                    close(f.stream);
                f.stream = -1;
            }
    }
    delete fs;
}

bool gw_FsServes(uint16_t category, uint16_t function)
{
    if (gw_fsRootFd < 0)
        return false; // no served tree (in-process tests of the session)
    switch (category) {
    case CAT_FILESYS:
        switch (function) {
        case FN_FS_ACCTNAMETOCODE:
        case FN_FS_CLOSE:
        case FN_FS_CLOSEDIR:
        case FN_FS_CONVERTNAMESTOIDS:
        case FN_FS_FILEGETATTRIBUTES:
        case FN_FS_FILEGETXATTRIBUTES:
        case FN_FS_FILESETATTRIBUTES:
        case FN_FS_FPREALLOCATE:
        case FN_FS_FSTAT:
        case FN_FS_GETACCT:
        case FN_FS_GETCWD:
        case FN_FS_GETLISTATTRS:
        case FN_FS_GETUNIQUEREQUESTID:
        case FN_FS_LSEEK:
        case FN_FS_LSTAT:
        case FN_FS_MKDIR:
        case FN_FS_OPEN:
        case FN_FS_OPENDIR:
        case FN_FS_READATTRS:
        case FN_FS_RENAME:
        case FN_FS_SETACCT:
        case FN_FS_SETACCTBYNAME:
        case FN_FS_SETFILEOFFSET:
        case FN_FS_STAT:
        case FN_FS_UMASK:
        case FN_FS_UNLINK: return true;
        default: return false;
        }
    case CAT_USER: return function == FN_USER_GETPWENT || function == FN_USER_LOOKUPHOMEDIR;
    case CAT_COS: return function == FN_COS_SELECTCOS;
    case CAT_UDA: return function == FN_UDA_SETEXPIRATION;
    case CAT_LFX:
        return function == FN_LFX_GETCWD || function == FN_LFX_STAT || function == FN_LFX_MKDIR ||
               function == FN_LFX_UNLINK;
    default: return false;
    }
}

namespace {

// Runs the calling thread with a user's file-system identity until
// destroyed (only when the daemon runs as root; otherwise a no-op).
class FsIdentity {
public:
    explicit FsIdentity(const gw_user_t *u)
    {
        if (!gw_fsAsRoot || u == nullptr)
            return;
        active_ = true;
        std::vector<gid_t> g(u->groups.begin(), u->groups.end());
        if (g.empty())
            g.push_back(u->gid);
        syscall(SYS_setgroups, g.size(), g.data());
        setfsgid(u->gid);
        setfsuid(u->uid);
    }
    ~FsIdentity() { end(); }
    FsIdentity(const FsIdentity &) = delete;
    FsIdentity &operator=(const FsIdentity &) = delete;
    // Back to the daemon's identity.
    void end()
    {
        if (!active_)
            return;
        active_ = false;
        setfsuid(0);
        setfsgid(0);
        syscall(SYS_setgroups, static_cast<size_t>(gw_fsDaemonGroupCount), gw_fsDaemonGroups);
    }

private:
    bool active_ = false;
};

bool gw_MetaOn()
{
    return gw_fsMeta != nullptr && gw_fsMeta[0] != '\0';
}

// Copies s into a fixed field of size bytes, NUL-terminated.
void gw_Copy(char *dst, size_t size, const std::string &s)
{
    size_t n = std::min(s.size(), size - 1);
    memcpy(dst, s.data(), n);
    dst[n] = '\0';
}

const gw_costable_t *gw_Cos()
{
    return gw_ConfigCos(gw_ProtoConfig());
}

// Normalises a client path; fault deny/notdir apply here.
int gw_Resolve(const gw_conn_t *c, const gw_fs_t *fs, const char *path, std::string *out) KYL_REQUIRES(fs->mu)
{
    int rc = gw_NsNormalize(fs->cwd.c_str(), path, out);
    if (rc != 0)
        return rc;
    const std::string &deny = c->faults.denyPrefix;
    if (!deny.empty() && (*out == deny || (out->rfind(deny, 0) == 0 && (deny == "/" || (*out)[deny.size()] == '/')))) {
        gw_FaultFired(c, "deny", nullptr);
        return -EACCES;
    }
    const std::string &nd = c->faults.notdirPath;
    if (!nd.empty() && out->rfind(nd + "/", 0) == 0) {
        gw_FaultFired(c, "notdir", nullptr);
        return -ENOTDIR;
    }
    return 0;
}

// Status of a normalised path (follow: stat, else lstat).
int gw_StatPath(const std::string &ns, bool follow, struct stat *st)
{
    int fd = gw_NsOpen(gw_fsRootFd, ns, O_PATH, 0, follow);
    if (fd < 0)
        return fd;
    int rc = fstatat(fd, "", st, AT_EMPTY_PATH) == 0 ? 0 : -errno;
    close(fd);
    return rc;
}

void gw_ToStat(const struct stat &st, quor_stat_t *q)
{
    *q = quor_stat_t{};
    q->st_dev = static_cast<uint32_t>(st.st_dev);
    q->st_ino = st.st_ino;
    q->st_nlink = static_cast<uint16_t>(std::min<nlink_t>(st.st_nlink, UINT16_MAX));
    q->st_uid = st.st_uid;
    q->st_gid = st.st_gid;
    q->st_rdev = static_cast<uint32_t>(st.st_rdev);
    q->st_ssize = static_cast<uint64_t>(st.st_size);
    q->quor_st_atime = static_cast<uint32_t>(st.st_atime);
    q->quor_st_mtime = static_cast<uint32_t>(st.st_mtime);
    q->quor_st_ctime = static_cast<uint32_t>(st.st_ctime);
    q->st_blksize = static_cast<uint32_t>(st.st_blksize);
    q->st_blocks = static_cast<uint32_t>(st.st_blocks);
    q->st_size = static_cast<uint64_t>(st.st_size);
    q->st_mode = st.st_mode;
}

// The metadata of an object, or its defaults.
gw_meta_t gw_MetaOf(const gw_fs_t *fs, const std::string &ns, const struct stat &st) KYL_REQUIRES(fs->mu)
{
    gw_meta_t m;
    if (gw_MetaOn() && gw_MetaRead(gw_fsMeta, ns, &m) == 0)
        return m;
    m = gw_meta_t{};
    m.COSId = gw_CosDefault(gw_Cos())->id;
    m.SubSystemId = GW_DEFAULT_SUBSYSTEM;
    m.Account = fs->curAcct;
    m.UID = st.st_uid;
    m.GID = st.st_gid;
    m.TimeCreated = static_cast<uint32_t>(st.st_mtime);
    m.ObjId = st.st_ino;
    return m;
}

void gw_ToAttrs(const struct stat &st, const gw_meta_t &m, quor_Attrs_t *a)
{
    memset(a, 0, sizeof *a);
    a->Account = m.Account;
    a->COSId = gw_fsRunMode == GW_RUNMODE_STORAGE ? m.COSId : 0;
    a->DataLength = static_cast<uint64_t>(st.st_size);
    a->FamilyId = m.FamilyId;
    a->SubSystemId = m.SubSystemId;
    a->UID = st.st_uid;
    a->GID = st.st_gid;
    a->LinkCount = static_cast<uint32_t>(st.st_nlink);
    a->TimeCreated = m.TimeCreated;
    a->TimeLastRead = static_cast<uint32_t>(st.st_atime);
    a->TimeLastWritten = static_cast<uint32_t>(st.st_mtime);
    a->TimeModified = static_cast<uint32_t>(st.st_mtime);
    kylgw_ModeToAttrs(st.st_mode, a);
    a->CompositePerms = a->UserPerms;
    a->RealmId = 1;
}

void gw_ToHandle(const struct stat &st, const quor_Attrs_t &a, ns_ObjHandle_t *h)
{
    memset(h, 0, sizeof *h);
    h->ObjId = st.st_ino;
    h->FileId = st.st_ino;
    h->Type = static_cast<decltype(h->Type)>(a.Type);
}

gw_fsfile_t *gw_File(gw_fs_t *fs, int32_t d) KYL_REQUIRES(fs->mu)
{
    if (d < 0 || d >= GW_FS_MAX_FILES || fs->files[d].fd < 0)
        return nullptr;
    return &fs->files[d];
}

int gw_Reply(gw_conn_t *c, const gw_request_t *req, int32_t rc)
{
    return gw_SendReply(c, req, rc, nullptr, nullptr);
}

#define GW_REPLY(T, fn, value) gw_SendReply(c, req, 0, KYL_XDRPROC(T, fn), value)

// Chooses the class a new file is created in: a requested class that
// exists, the default for an unknown one, else by the size hints.
const gw_cos_t *gw_ChooseCos(const quor_cos_hints_t &h, const quor_cos_priorities_t &p)
{
    const gw_costable_t *t = gw_Cos();
    if (p.COSIdPriority > 0 && h.COSId != 0) {
        const gw_cos_t *c = gw_CosFind(t, h.COSId);
        return c != nullptr ? c : gw_CosDefault(t);
    }
    if (p.MinFileSizePriority > 0 || p.MaxFileSizePriority > 0)
        return gw_CosForSize(t, p.MaxFileSizePriority > 0 ? h.MaxFileSize : h.MinFileSize);
    return gw_CosDefault(t);
}

// The result of a non-blocking open in the served tree, kept only when it
// is a regular file, switched back to blocking I/O.  The descriptor, or a
// negative code (the descriptor closed).
int servedRegularFile(int fd, struct stat *stOut = nullptr)
{
    if (fd == -ENXIO)
        fd = -EINVAL;
    if (fd < 0)
        return fd;
    struct stat st {};
    int e = fstat(fd, &st) != 0 ? -errno : S_ISDIR(st.st_mode) ? -EISDIR : !S_ISREG(st.st_mode) ? -EINVAL : 0;
    if (e == 0) {
        int fl = fcntl(fd, F_GETFL);
        if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)
            e = -errno;
    }
    if (e != 0) {
        close(fd);
        return e;
    }
    if (stOut != nullptr)
        *stOut = st;
    return fd;
}

// Opens a data file for Open and OpenX: the session descriptor (a table
// slot) with *hintsOut filled, or -errno.
int gw_OpenFile(gw_conn_t *c, gw_fs_t *fs, const api_msghdr_t *hdr, const char *path, uint32_t o, uint32_t reqMode,
                const quor_cos_hints_t &hintsIn, const quor_cos_priorities_t &hintsPri, quor_cos_hints_t *hintsOut)
    KYL_REQUIRES(fs->mu)
{
    if (c->faults.busyOpen > fs->busyOpenFired) {
        fs->busyOpenFired++;
        gw_FaultFired(c, "busy_open", hdr);
        return -EAGAIN;
    }
    std::string ns;
    int rc = gw_Resolve(c, fs, path, &ns);
    if (rc != 0)
        return rc;
    int slot = -1;
    for (int i = 0; i < GW_FS_MAX_FILES && slot < 0; i++)
        if (fs->files[i].fd < 0)
            slot = i;
    if (slot < 0)
        return -EMFILE;
    int flags = (o & QUOR_OFLAG_RDWR) ? O_RDWR : (o & QUOR_OFLAG_WRONLY) ? O_WRONLY : O_RDONLY;
    if (o & QUOR_OFLAG_APPEND)
        flags |= O_APPEND;
    if (o & QUOR_OFLAG_TRUNC)
        flags |= O_TRUNC;
    const bool creat = (o & QUOR_OFLAG_CREAT) != 0;
    bool created = false;
    int fd;
    {
        FsIdentity id(c->user.load());
        const mode_t mode = static_cast<mode_t>(reqMode & 07777 & ~fs->umask);
        if (creat) {
            fd = gw_NsOpen(gw_fsRootFd, ns, flags | O_CREAT | O_EXCL, mode, true);
            created = fd >= 0;
            if (fd == -EEXIST && (o & QUOR_OFLAG_EXCL) == 0)
                fd = gw_NsOpen(gw_fsRootFd, ns, flags, 0, true);
        } else {
            fd = gw_NsOpen(gw_fsRootFd, ns, flags, 0, true);
        }
    }
    // The open did not block (gw_NsOpen); only a regular file is served,
    // with blocking I/O again.  A FIFO no one reads fails the open itself.
    struct stat st {};
    if ((fd = servedRegularFile(fd, &st)) < 0)
        return fd;
    gw_meta_t m;
    if (created) {
        const gw_user_t *u = c->user.load();
        m.COSId = gw_ChooseCos(hintsIn, hintsPri)->id;
        m.FamilyId = hintsPri.FamilyIdPriority > 0 ? hintsIn.FamilyId : 0;
        m.SubSystemId = GW_DEFAULT_SUBSYSTEM;
        m.Account = fs->curAcct;
        m.UID = u != nullptr ? u->uid : st.st_uid;
        m.GID = u != nullptr ? u->gid : st.st_gid;
        m.TimeCreated = static_cast<uint32_t>(time(nullptr));
        m.ObjId = st.st_ino;
        if (gw_MetaOn() && gw_MetaWrite(gw_fsMeta, ns, m) != 0)
            gw_Log("session %llu: cannot write the metadata of %s", static_cast<unsigned long long>(c->id), ns.c_str());
    } else {
        m = gw_MetaOf(fs, ns, st);
    }
    fs->files[slot].fd = fd;
    fs->files[slot].path = ns;
    fs->files[slot].cos = m.COSId;
    const gw_cos_t *cos = gw_CosFind(gw_Cos(), m.COSId);
    if (cos == nullptr)
        cos = gw_CosDefault(gw_Cos());
    if (gw_fsRunMode == GW_RUNMODE_STORAGE)
        gw_CosToHints(cos, hintsOut);
    hintsOut->FamilyId = m.FamilyId;
    return slot;
}

int gw_ServeOpen(gw_conn_t *c, gw_fs_t *fs, const gw_request_t *req) KYL_REQUIRES(fs->mu)
{
    const auto *rq = static_cast<const api_quor_Open_req_t *>(req->body);
    api_quor_Open_rply_t r{};
    int slot = gw_OpenFile(c, fs, &req->hdr, rq->Path, rq->Oflag, rq->Mode, rq->HintsIn, rq->HintsPri, &r.HintsOut);
    if (slot < 0)
        return gw_Reply(c, req, slot);
    return gw_SendReply(c, req, slot, KYL_XDRPROC(api_quor_Open_rply_t, xdr_api_quor_Open_rply_t), &r);
}

int gw_ServeSeek(gw_conn_t *c, gw_fs_t *fs, const gw_request_t *req) KYL_REQUIRES(fs->mu)
{
    if (req->hdr.function == FN_FS_LSEEK) {
        const auto *rq = static_cast<const api_quor_Lseek_req_t *>(req->body);
        gw_fsfile_t *f = gw_File(fs, rq->Fildes);
        if (f == nullptr)
            return gw_Reply(c, req, -EBADF);
        off_t pos = lseek(f->fd, static_cast<off_t>(rq->Offset), rq->Whence);
        if (pos < 0)
            return gw_Reply(c, req, -errno);
        api_quor_Lseek_rply_t r{static_cast<int64_t>(pos)};
        return GW_REPLY(api_quor_Lseek_rply_t, xdr_api_quor_Lseek_rply_t, &r);
    }
    const auto *rq = static_cast<const api_quor_SetFileOffset_req_t *>(req->body);
    gw_fsfile_t *f = gw_File(fs, rq->Fildes);
    if (f == nullptr)
        return gw_Reply(c, req, -EBADF);
    if (c->faults.enospcSeek > fs->enospcSeekFired) {
        fs->enospcSeekFired++;
        gw_FaultFired(c, "enospc_seek", &req->hdr);
        return gw_Reply(c, req, -ENOSPC);
    }
    if (rq->Direction != 0 && rq->Direction != 1)
        return gw_Reply(c, req, -EINVAL);
    off_t base = lseek(f->fd, 0, rq->Whence == SEEK_SET ? SEEK_SET : rq->Whence);
    if (rq->Whence == SEEK_SET)
        base = 0;
    if (base < 0)
        return gw_Reply(c, req, -errno);
    const uint64_t b = static_cast<uint64_t>(base);
    uint64_t target;
    if (rq->Direction == 0) {
        if (rq->OffsetIn > static_cast<uint64_t>(INT64_MAX) - b)
            return gw_Reply(c, req, -EINVAL);
        target = b + rq->OffsetIn;
    } else {
        if (rq->OffsetIn > b)
            return gw_Reply(c, req, -EINVAL);
        target = b - rq->OffsetIn;
    }
    if (lseek(f->fd, static_cast<off_t>(target), SEEK_SET) < 0)
        return gw_Reply(c, req, -errno);
    api_quor_SetFileOffset_rply_t r{target};
    return GW_REPLY(api_quor_SetFileOffset_rply_t, xdr_api_quor_SetFileOffset_rply_t, &r);
}

// Stat, Lstat, GetListAttrs, FileGetAttributes, FileGetXAttributes.
int gw_ServeStatLike(gw_conn_t *c, gw_fs_t *fs, const gw_request_t *req) KYL_REQUIRES(fs->mu)
{
    const uint16_t fn = req->hdr.function;
    const char *path = fn == FN_FS_FILEGETXATTRIBUTES
                           ? static_cast<const api_quor_FileGetXAttributes_req_t *>(req->body)->Path
                           : static_cast<const api_quor_path_req_t *>(req->body)->Path;
    if (path[0] == '\0')
        return gw_Reply(c, req, -ENOENT);
    std::string ns;
    int rc = gw_Resolve(c, fs, path, &ns);
    if (rc != 0)
        return gw_Reply(c, req, rc);
    struct stat st {};
    {
        FsIdentity id(c->user.load());
        rc = gw_StatPath(ns, fn != FN_FS_LSTAT && fn != FN_FS_GETLISTATTRS, &st);
    }
    if (rc != 0)
        return gw_Reply(c, req, rc);
    if (fn == FN_FS_STAT || fn == FN_FS_LSTAT) {
        quor_stat_t q;
        gw_ToStat(st, &q);
        return GW_REPLY(quor_stat_t, xdr_quor_stat_t, &q);
    }
    const gw_meta_t m = gw_MetaOf(fs, ns, st);
    if (fn == FN_FS_GETLISTATTRS) {
        quor_Attrs_t a;
        gw_ToAttrs(st, m, &a);
        return GW_REPLY(quor_Attrs_t, xdr_quor_Attrs_t, &a);
    }
    if (fn == FN_FS_FILEGETATTRIBUTES) {
        quor_fileattr_t fa;
        gw_ToAttrs(st, m, &fa.Attrs);
        gw_ToHandle(st, fa.Attrs, &fa.ObjectHandle);
        return GW_REPLY(quor_fileattr_t, xdr_quor_fileattr_t, &fa);
    }
    quor_xfileattr_t xa;
    memset(&xa, 0, sizeof xa);
    gw_ToAttrs(st, m, &xa.Attrs);
    gw_ToHandle(st, xa.Attrs, &xa.ObjectHandle);
    const gw_cos_t *cos = gw_CosFind(gw_Cos(), m.COSId);
    if (cos == nullptr)
        cos = gw_CosDefault(gw_Cos());
    quor_levelattrs_t &l0 = xa.LevelAttrs[0];
    l0.BytesAtLevel = static_cast<uint64_t>(st.st_size);
    l0.StripeWidth = cos->width;
    l0.StripeLength = cos->block * cos->width;
    l0.OptimumAccessSize = static_cast<uint32_t>(std::min<uint64_t>(l0.StripeLength, UINT32_MAX));
    l0.Flags = (cos->tape ? 0 : QUOR_LEVEL_DISK) | (st.st_size > 0 ? QUOR_LEVEL_HAS_DATA : 0);
    return GW_REPLY(quor_xfileattr_t, xdr_quor_xfileattr_t, &xa);
}

int gw_ServeFd(gw_conn_t *c, gw_fs_t *fs, const gw_request_t *req) KYL_REQUIRES(fs->mu)
{
    const uint16_t fn = req->hdr.function;
    if (fn == FN_FS_FPREALLOCATE) {
        const auto *rq = static_cast<const api_quor_Fpreallocate_req_t *>(req->body);
        gw_fsfile_t *f = gw_File(fs, rq->Fildes);
        if (f == nullptr)
            return gw_Reply(c, req, -EBADF);
        if (rq->Length > static_cast<uint64_t>(INT64_MAX))
            return gw_Reply(c, req, -EINVAL);
        int e = posix_fallocate(f->fd, 0, static_cast<off_t>(rq->Length));
        return gw_Reply(c, req, e == 0 ? 0 : -e);
    }
    const auto *rq = static_cast<const api_quor_fildes_req_t *>(req->body);
    gw_fsfile_t *f = gw_File(fs, rq->Fildes);
    if (f == nullptr)
        return gw_Reply(c, req, -EBADF);
    if (fn == FN_FS_CLOSE) {
        int rc = close(f->fd) == 0 ? 0 : -errno;
        f->fd = -1;
        if (f->stream >= 0)
            close(f->stream);
        f->stream = -1;
        f->path.clear();
        return gw_Reply(c, req, rc);
    }
    struct stat st {};
    if (fstat(f->fd, &st) != 0)
        return gw_Reply(c, req, -errno);
    quor_stat_t q;
    gw_ToStat(st, &q);
    return GW_REPLY(quor_stat_t, xdr_quor_stat_t, &q);
}

// Mkdir, Unlink, Rename, and the local-file Mkdir and Unlink.
int gw_ServeTreeChange(gw_conn_t *c, gw_fs_t *fs, const gw_request_t *req) KYL_REQUIRES(fs->mu)
{
    const uint16_t cat = req->hdr.category, fn = req->hdr.function;
    const bool isMkdir = (cat == CAT_FILESYS && fn == FN_FS_MKDIR) || (cat == CAT_LFX && fn == FN_LFX_MKDIR);
    const bool isRename = cat == CAT_FILESYS && fn == FN_FS_RENAME;
    const char *path = nullptr;
    const char *newPath = nullptr;
    uint32_t mode = 0;
    if (cat == CAT_LFX && fn == FN_LFX_MKDIR) {
        path = static_cast<const api_lfx_Mkdir_req_t *>(req->body)->path;
        mode = static_cast<const api_lfx_Mkdir_req_t *>(req->body)->mode;
    } else if (cat == CAT_LFX) {
        path = static_cast<const lfx_Unlink_req_t *>(req->body)->path;
    } else if (isMkdir) {
        path = static_cast<const api_quor_Mkdir_req_t *>(req->body)->Path;
        mode = static_cast<const api_quor_Mkdir_req_t *>(req->body)->Mode;
    } else if (isRename) {
        path = static_cast<const api_quor_Rename_req_t *>(req->body)->Old;
        newPath = static_cast<const api_quor_Rename_req_t *>(req->body)->New;
    } else {
        path = static_cast<const api_quor_path_req_t *>(req->body)->Path;
    }
    if (isMkdir && cat == CAT_FILESYS && c->faults.mkdirEagain > fs->mkdirEagainFired) {
        fs->mkdirEagainFired++;
        gw_FaultFired(c, "mkdir_eagain", &req->hdr);
        return gw_Reply(c, req, -EAGAIN);
    }
    if (isRename && cat == CAT_FILESYS && c->faults.failRename > 0 && ++fs->renamesSeen == c->faults.failRename) {
        gw_FaultFired(c, "fail_rename", &req->hdr);
        return gw_Reply(c, req, -EIO);
    }
    std::string ns, ns2;
    int rc = gw_Resolve(c, fs, path, &ns);
    if (rc == 0 && newPath != nullptr)
        rc = gw_Resolve(c, fs, newPath, &ns2);
    if (rc != 0)
        return gw_Reply(c, req, rc);
    struct stat st {};
    {
        FsIdentity id(c->user.load());
        std::string leaf, leaf2;
        int d = gw_NsOpenParent(gw_fsRootFd, ns, &leaf);
        if (d < 0)
            return gw_Reply(c, req, d == -EBUSY ? -EBUSY : d);
        if (isMkdir) {
            rc = mkdirat(d, leaf.c_str(), static_cast<mode_t>(mode & 07777 & ~fs->umask)) == 0 ? 0 : -errno;
            if (rc == 0 && fstatat(d, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                rc = -errno;
        } else if (isRename) {
            int d2 = gw_NsOpenParent(gw_fsRootFd, ns2, &leaf2);
            if (d2 < 0) {
                close(d);
                return gw_Reply(c, req, d2);
            }
            rc = renameat(d, leaf.c_str(), d2, leaf2.c_str()) == 0 ? 0 : -errno;
            close(d2);
        } else {
            if (fstatat(d, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                rc = -errno;
            else
                rc = unlinkat(d, leaf.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0 ? 0 : -errno;
        }
        close(d);
    }
    if (rc != 0)
        return gw_Reply(c, req, rc);
    if (gw_MetaOn()) {
        int mrc = 0;
        if (isMkdir) {
            gw_meta_t m = gw_MetaOf(fs, ns, st);
            m.TimeCreated = static_cast<uint32_t>(time(nullptr));
            mrc = gw_MetaWrite(gw_fsMeta, ns, m);
        } else if (isRename) {
            mrc = gw_MetaRename(gw_fsMeta, ns, ns2);
        } else {
            mrc = gw_MetaRemove(gw_fsMeta, ns);
        }
        if (mrc != 0)
            gw_Log("session %llu: metadata of %s not kept in step: %s", static_cast<unsigned long long>(c->id),
                   ns.c_str(), strerror(-mrc));
    }
    return gw_Reply(c, req, 0);
}

int gw_ServeDir(gw_conn_t *c, gw_fs_t *fs, const gw_request_t *req) KYL_REQUIRES(fs->mu)
{
    const uint16_t fn = req->hdr.function;
    if (fn == FN_FS_OPENDIR) {
        std::string ns;
        int rc = gw_Resolve(c, fs, static_cast<const api_quor_path_req_t *>(req->body)->Path, &ns);
        if (rc != 0)
            return gw_Reply(c, req, rc);
        int slot = -1;
        for (int i = 0; i < GW_FS_MAX_DIRS && slot < 0; i++)
            if (!fs->dirs[i].used)
                slot = i;
        if (slot < 0)
            return gw_Reply(c, req, -EMFILE);
        std::vector<std::string> names;
        {
            FsIdentity id(c->user.load());
            int fd = gw_NsOpen(gw_fsRootFd, ns, O_RDONLY | O_DIRECTORY, 0, true);
            if (fd < 0)
                return gw_Reply(c, req, fd);
            DIR *dir = fdopendir(fd);
            if (dir == nullptr) {
                int e = errno;
                close(fd);
                return gw_Reply(c, req, -e);
            }
            while (struct dirent *e = readdir(dir)) {
                if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                    continue;
                if (names.size() == GW_FS_MAX_DIR_NAMES)
                    break;
                names.push_back(e->d_name);
            }
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        fs->dirs[slot].used = true;
        fs->dirs[slot].path = ns;
        fs->dirs[slot].names = std::move(names);
        return gw_Reply(c, req, slot);
    }
    if (fn == FN_FS_CLOSEDIR) {
        int32_t d = static_cast<const api_quor_Closedir_req_t *>(req->body)->Dirdes;
        if (d < 0 || d >= GW_FS_MAX_DIRS || !fs->dirs[d].used)
            return gw_Reply(c, req, -EBADF);
        fs->dirs[d] = gw_fsdir_t{};
        return gw_Reply(c, req, 0);
    }
    const auto *rq = static_cast<const api_quor_ReadAttrs_req_t *>(req->body);
    if (rq->Dirdes < 0 || rq->Dirdes >= GW_FS_MAX_DIRS || !fs->dirs[rq->Dirdes].used)
        return gw_Reply(c, req, -EBADF);
    const gw_fsdir_t &dir = fs->dirs[rq->Dirdes];
    const uint64_t total = dir.names.size();
    uint64_t pos = std::min<uint64_t>(rq->OffsetIn, total);
    const uint32_t want = std::min<uint32_t>(rq->EntryCount, KYLGW_MAX_DIRENTRIES);
    // Status of each entry with the user's identity, then the sidecars with
    // the daemon's.
    std::vector<std::pair<std::string, struct stat>> found;
    {
        FsIdentity id(c->user.load());
        while (pos < total && found.size() < want) {
            const std::string &name = dir.names[pos++];
            std::string ns = dir.path == "/" ? "/" + name : dir.path + "/" + name;
            struct stat st {};
            if (gw_StatPath(ns, false, &st) != 0)
                continue; // removed since the directory was opened
            found.emplace_back(name, st);
        }
    }
    std::vector<ns_DirEntry_t> out(found.size());
    uint64_t after = rq->OffsetIn;
    for (size_t i = 0; i < found.size(); i++) {
        const std::string &name = found[i].first;
        const struct stat &st = found[i].second;
        std::string ns = dir.path == "/" ? "/" + name : dir.path + "/" + name;
        ns_DirEntry_t &e = out[i];
        memset(&e, 0, sizeof e);
        gw_Copy(e.Name, sizeof e.Name, name);
        // Position after this entry in the sorted listing.
        after = static_cast<uint64_t>(std::upper_bound(dir.names.begin(), dir.names.end(), name) - dir.names.begin());
        e.ObjOffset = after;
        gw_ToAttrs(st, rq->GetAttributes != 0 ? gw_MetaOf(fs, ns, st) : gw_meta_t{}, &e.Attrs);
        gw_ToHandle(st, e.Attrs, &e.ObjHandle);
    }
    if (c->faults.readattrsCountPlusOne && !out.empty() && out.size() < KYLGW_MAX_DIRENTRIES) {
        gw_FaultFired(c, "readattrs_count", &req->hdr);
        out.push_back(out.back()); // one entry more than the client asked for
    }
    api_quor_ReadAttrs_rply_t r{};
    r.entryCount = static_cast<uint32_t>(out.size());
    r.End = pos >= total ? 1 : 0;
    r.OffsetOut = pos;
    r.DirEntries = out.data();
    return GW_REPLY(api_quor_ReadAttrs_rply_t, xdr_api_quor_ReadAttrs_rply_t, &r);
}

const gw_account_t *gw_FindAcct(const gw_user_t *u, uint32_t code, const char *name)
{
    if (u == nullptr)
        return nullptr;
    for (const gw_account_t &a : u->accounts)
        if (name != nullptr ? a.name == name : a.code == code)
            return &a;
    return nullptr;
}

const gw_user_t *gw_FindUser(const char *name)
{
    return gw_UserFind(gw_ProtoConfig()->users, name);
}

int gw_ServeAccounts(gw_conn_t *c, gw_fs_t *fs, const gw_request_t *req) KYL_REQUIRES(fs->mu)
{
    const gw_user_t *u = c->user.load();
    switch (req->hdr.function) {
    case FN_FS_GETACCT: {
        api_quor_GetAcct_rply_t r{fs->defAcct, fs->curAcct};
        return GW_REPLY(api_quor_GetAcct_rply_t, xdr_api_quor_GetAcct_rply_t, &r);
    }
    case FN_FS_SETACCT: {
        uint32_t code = static_cast<const api_quor_SetAcct_req_t *>(req->body)->NewCurAcct;
        if (gw_FindAcct(u, code, nullptr) == nullptr)
            return gw_Reply(c, req, -EACCES);
        fs->curAcct = code;
        return gw_Reply(c, req, 0);
    }
    case FN_FS_SETACCTBYNAME: {
        const auto *rq = static_cast<const api_quor_SetAcctByName_req_t *>(req->body);
        std::string name(rq->AcctName, strnlen(rq->AcctName, sizeof rq->AcctName));
        const gw_account_t *a = gw_FindAcct(u, 0, name.c_str());
        if (a == nullptr)
            return gw_Reply(c, req, -EACCES);
        fs->curAcct = a->code;
        return gw_Reply(c, req, 0);
    }
    default: { // AcctNameToCode: any user's account of that name
        const auto *rq = static_cast<const api_quor_AcctNameToCode_req_t *>(req->body);
        std::string name(rq->AcctName, strnlen(rq->AcctName, sizeof rq->AcctName));
        const gw_userlist_t *list = gw_ProtoConfig()->users;
        if (list != nullptr)
            for (const gw_user_t &x : list->users)
                if (const gw_account_t *a = gw_FindAcct(&x, 0, name.c_str())) {
                    api_AcctNameToCode_rply_t r{a->code};
                    return GW_REPLY(api_AcctNameToCode_rply_t, xdr_api_AcctNameToCode_rply_t, &r);
                }
        return gw_Reply(c, req, -ENOENT);
    }
    }
}

int gw_ServeNames(gw_conn_t *c, const gw_request_t *req)
{
    const auto *rq = static_cast<const api_quor_ConvertNamesToIds_req_t *>(req->body);
    if (rq->NumEntries < 0 || static_cast<uint32_t>(rq->NumEntries) > KYLGW_MAX_NAMESPECS)
        return gw_Reply(c, req, -EINVAL);
    std::vector<api_namespec_t> nameList(rq->Names, rq->Names + rq->NumEntries);
    for (api_namespec_t &s : nameList) {
        std::string name(s.Name, strnlen(s.Name, sizeof s.Name));
        bool found = false;
        if (s.Type == QUOR_NAMESPEC_USER) {
            if (const gw_user_t *u = gw_FindUser(name.c_str())) {
                s.Id = u->uid;
                found = true;
            }
        } else if (s.Type == QUOR_NAMESPEC_GROUP) {
            // Group names come from the host's group database.
            struct group gr {};
            struct group *res = nullptr;
            char buf[4096];
            if (getgrnam_r(name.c_str(), &gr, buf, sizeof buf, &res) == 0 && res != nullptr) {
                s.Id = res->gr_gid;
                found = true;
            }
        }
        if (!found)
            return gw_Reply(c, req, -ENOENT);
    }
    int32_t count = rq->NumEntries;
    if (c->faults.namesCountMinusOne && count > 0) {
        gw_FaultFired(c, "names_count", &req->hdr);
        count--;
    }
    api_quor_ConvertNamesToIds_rply_t r{count, nameList.data()};
    return GW_REPLY(api_quor_ConvertNamesToIds_rply_t, xdr_api_quor_ConvertNamesToIds_req_t, &r);
}

int gw_ServeUsers(gw_conn_t *c, const gw_request_t *req)
{
    const gw_user_t *self = c->user.load();
    if (req->hdr.function == FN_USER_GETPWENT) {
        const char *name = static_cast<const api_getpwent_req_t *>(req->body)->uname;
        const gw_user_t *u = name[0] == '\0' ? self : gw_FindUser(name);
        if (u == nullptr)
            return gw_Reply(c, req, -ENOENT);
        api_getpwent_rply_t r{};
        gw_Copy(r.pw_name, sizeof r.pw_name, u->name);
        gw_Copy(r.pw_passwd, sizeof r.pw_passwd, "x");
        r.pw_uid = u->uid;
        r.pw_gid = u->gid;
        gw_Copy(r.pw_gecos, sizeof r.pw_gecos, u->name);
        gw_Copy(r.pw_dir, sizeof r.pw_dir, u->home.empty() ? "/" : u->home);
        gw_Copy(r.pw_shell, sizeof r.pw_shell, "/bin/sh");
        return GW_REPLY(api_getpwent_rply_t, xdr_api_getpwent_rply_t, &r);
    }
    const char *name = static_cast<const api_lookup_homedir_req_t *>(req->body)->principal;
    const gw_user_t *u = gw_FindUser(name);
    if (u == nullptr)
        return gw_Reply(c, req, -ENOENT);
    api_lookup_homedir_rply_t r{};
    gw_Copy(r.homeDir, sizeof r.homeDir, u->home.empty() ? "/" : u->home);
    return GW_REPLY(api_lookup_homedir_rply_t, xdr_api_lookup_homedir_rply_t, &r);
}

int gw_ServeSelectCos(gw_conn_t *c, const gw_request_t *req)
{
    const auto *rq = static_cast<const api_selectcos_req_t *>(req->body);
    const gw_cos_t *cos = gw_CosForSize(gw_Cos(), rq->fileSize);
    api_selectcos_rply_t r{};
    gw_CosToHints(cos, &r.HintsIn);
    r.HintPriorities.COSIdPriority = GW_PRIORITY_REQUIRED;
    return GW_REPLY(api_selectcos_rply_t, xdr_api_selectcos_rply_t, &r);
}

int gw_ServeExpiration(gw_conn_t *c, gw_fs_t *fs, const gw_request_t *req) KYL_REQUIRES(fs->mu)
{
    const auto *rq = static_cast<const uda_set_expiration_req_t *>(req->body);
    std::string ns;
    int rc = gw_Resolve(c, fs, rq->Path, &ns);
    if (rc != 0)
        return gw_Reply(c, req, rc);
    struct stat st {};
    {
        FsIdentity id(c->user.load());
        rc = gw_StatPath(ns, true, &st);
    }
    if (rc != 0)
        return gw_Reply(c, req, rc);
    if (!gw_MetaOn())
        return gw_Reply(c, req, 0);
    gw_meta_t m = gw_MetaOf(fs, ns, st);
    m.Expiration = rq->ExpireTime;
    return gw_Reply(c, req, gw_MetaWrite(gw_fsMeta, ns, m));
}

int gw_ServeSetAttrs(gw_conn_t *c, gw_fs_t *fs, const gw_request_t *req) KYL_REQUIRES(fs->mu)
{
    const auto *rq = static_cast<const api_quor_FileSetAttributes_req_t *>(req->body);
    std::string ns;
    int rc = gw_Resolve(c, fs, rq->Path, &ns);
    if (rc != 0)
        return gw_Reply(c, req, rc);
    struct stat st {};
    {
        FsIdentity id(c->user.load());
        rc = gw_StatPath(ns, true, &st);
        if (rc == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
            rc = -EINVAL;
        // Changing attributes takes the right to write the object.
        if (rc == 0) {
            int fd = gw_NsOpen(gw_fsRootFd, ns, S_ISDIR(st.st_mode) ? O_RDONLY : O_WRONLY, 0, true);
            if (fd < 0 && !S_ISDIR(st.st_mode))
                rc = fd;
            if (fd >= 0)
                close(fd);
        }
    }
    if (rc != 0)
        return gw_Reply(c, req, rc);
    gw_meta_t m = gw_MetaOf(fs, ns, st);
    if (rq->SelFlags & QUOR_ATTRSEL_FAMILYID)
        m.FamilyId = rq->AttrIn.Attrs.FamilyId;
    if (rq->SelFlags & QUOR_ATTRSEL_ACCOUNT)
        m.Account = rq->AttrIn.Attrs.Account;
    if (gw_MetaOn() && (rc = gw_MetaWrite(gw_fsMeta, ns, m)) != 0)
        return gw_Reply(c, req, rc);
    quor_fileattr_t out;
    gw_ToAttrs(st, m, &out.Attrs);
    gw_ToHandle(st, out.Attrs, &out.ObjectHandle);
    return GW_REPLY(quor_fileattr_t, xdr_quor_fileattr_t, &out);
}

int gw_ServeLfxStat(gw_conn_t *c, gw_fs_t *fs, const gw_request_t *req) KYL_REQUIRES(fs->mu)
{
    std::string ns;
    int rc = gw_Resolve(c, fs, static_cast<const lfx_Stat_req_t *>(req->body)->path, &ns);
    if (rc != 0)
        return gw_Reply(c, req, rc);
    struct stat st {};
    {
        FsIdentity id(c->user.load());
        rc = gw_StatPath(ns, true, &st);
    }
    if (rc != 0)
        return gw_Reply(c, req, rc);
    lfx_Stat_rply_t r{};
    r.hst_mode = st.st_mode;
    r.hst_nlink = static_cast<uint32_t>(st.st_nlink);
    r.hst_uid = st.st_uid;
    r.hst_gid = st.st_gid;
    r.hst_mtime = static_cast<uint32_t>(st.st_mtime);
    r.hst_atime = static_cast<uint32_t>(st.st_atime);
    r.hst_ctime = static_cast<uint32_t>(st.st_ctime);
    r.hst_size = static_cast<uint64_t>(st.st_size);
    return GW_REPLY(lfx_Stat_rply_t, xdr_lfx_Stat_rply_t, &r);
}

int gw_Dispatch(gw_conn_t *c, gw_fs_t *fs, const gw_request_t *req) KYL_REQUIRES(fs->mu)
{
    const uint16_t cat = req->hdr.category, fn = req->hdr.function;
    if (req->body == nullptr &&
        !(cat == CAT_FILESYS && (fn == FN_FS_GETCWD || fn == FN_FS_GETACCT || fn == FN_FS_GETUNIQUEREQUESTID)) &&
        !(cat == CAT_LFX && fn == FN_LFX_GETCWD))
        return gw_Reply(c, req, -EINVAL);
    if (cat == CAT_USER)
        return gw_ServeUsers(c, req);
    if (cat == CAT_COS)
        return gw_ServeSelectCos(c, req);
    if (cat == CAT_UDA)
        return gw_ServeExpiration(c, fs, req);
    if (cat == CAT_LFX) {
        if (fn == FN_LFX_GETCWD) {
            api_lfx_Getcwd_rply_t r{};
            gw_Copy(r.path, sizeof r.path, fs->cwd);
            return GW_REPLY(api_lfx_Getcwd_rply_t, xdr_api_lfx_Getcwd_rply_t, &r);
        }
        if (fn == FN_LFX_STAT)
            return gw_ServeLfxStat(c, fs, req);
        return gw_ServeTreeChange(c, fs, req);
    }
    switch (fn) {
    case FN_FS_OPEN: return gw_ServeOpen(c, fs, req);
    case FN_FS_LSEEK:
    case FN_FS_SETFILEOFFSET: return gw_ServeSeek(c, fs, req);
    case FN_FS_STAT:
    case FN_FS_LSTAT:
    case FN_FS_GETLISTATTRS:
    case FN_FS_FILEGETATTRIBUTES:
    case FN_FS_FILEGETXATTRIBUTES: return gw_ServeStatLike(c, fs, req);
    case FN_FS_CLOSE:
    case FN_FS_FSTAT:
    case FN_FS_FPREALLOCATE: return gw_ServeFd(c, fs, req);
    case FN_FS_MKDIR:
    case FN_FS_UNLINK:
    case FN_FS_RENAME: return gw_ServeTreeChange(c, fs, req);
    case FN_FS_OPENDIR:
    case FN_FS_READATTRS:
    case FN_FS_CLOSEDIR: return gw_ServeDir(c, fs, req);
    case FN_FS_FILESETATTRIBUTES: return gw_ServeSetAttrs(c, fs, req);
    case FN_FS_UMASK: {
        api_quor_Umask_rply_t r{fs->umask};
        fs->umask = static_cast<const api_quor_Umask_req_t *>(req->body)->CMask & 0777;
        return GW_REPLY(api_quor_Umask_rply_t, xdr_api_quor_Umask_rply_t, &r);
    }
    case FN_FS_GETCWD: {
        api_quor_Getcwd_rply_t r{};
        gw_Copy(r.Buf, sizeof r.Buf, fs->cwd);
        return GW_REPLY(api_quor_Getcwd_rply_t, xdr_api_quor_Getcwd_rply_t, &r);
    }
    case FN_FS_GETUNIQUEREQUESTID: {
        api_quor_GetUniqueRequestID_rply_t r{};
        unsigned char b[16];
        if (getrandom(b, sizeof b, 0) != static_cast<ssize_t>(sizeof b))
            return gw_Reply(c, req, -EIO);
        kyl_uuid_t &u = r.RetReqid;
        u.time_low = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
                     static_cast<uint32_t>(b[2]) << 8 | b[3];
        u.time_mid = static_cast<uint16_t>(b[4] << 8 | b[5]);
        u.time_hi_and_version = static_cast<uint16_t>(((b[6] & 0x0f) | 0x40) << 8 | b[7]); // version 4
        u.clock_seq_hi_and_reserved = static_cast<uint8_t>((b[8] & 0x3f) | 0x80);          // RFC 4122 variant
        u.clock_seq_low = b[9];
        memcpy(u.node, b + 10, sizeof u.node);
        return GW_REPLY(api_quor_GetUniqueRequestID_rply_t, xdr_api_quor_GetUniqueRequestID_rply_t, &r);
    }
    case FN_FS_CONVERTNAMESTOIDS: return gw_ServeNames(c, req);
    default: return gw_ServeAccounts(c, fs, req);
    }
}

} // namespace

// The session's state at its first file operation: home directory,
// site umask, default account.
static void gw_FsStart(const gw_conn_t *c, gw_fs_t *fs) KYL_REQUIRES(fs->mu)
{
    if (fs->started)
        return;
    const gw_user_t *u = c->user.load();
    fs->started = true;
    fs->cwd = u != nullptr && !u->home.empty() ? u->home : "/";
    fs->umask = gw_ProtoConfig()->site.umask & 0777;
    fs->defAcct = fs->curAcct = u != nullptr ? u->defaultAccount : 0;
}

int gw_FsServe(gw_conn_t *c, const gw_request_t *req)
{
    gw_fs_t *fs = c->fs;
    kyl_lock_guard g(fs->mu);
    gw_FsStart(c, fs);
    return gw_Dispatch(c, fs, req);
}

int gw_FsTransferFile(gw_conn_t *c, int32_t fildes, bool forWrite, gw_fsxfer_t *out)
{
    gw_fs_t *fs = c->fs;
    if (fs == nullptr || fildes < 0 || fildes >= GW_FS_MAX_FILES)
        return -EBADF;
    kyl_lock_guard g(fs->mu);
    const gw_fsfile_t &f = fs->files[fildes];
    if (f.fd < 0)
        return -EBADF;
    int fl = fcntl(f.fd, F_GETFL);
    if (fl < 0)
        return -errno;
    const int acc = fl & O_ACCMODE;
    if (forWrite ? acc == O_RDONLY : acc == O_WRONLY)
        return -EBADF;
    const gw_cos_t *cos = gw_CosFind(gw_Cos(), f.cos);
    if (cos == nullptr)
        cos = gw_CosDefault(gw_Cos());
    int fd = fcntl(f.fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    out->fd = fd;
    out->path = f.path;
    out->width = cos != nullptr ? cos->width : 1;
    out->block = cos != nullptr ? cos->block : 0;
    return 0;
}

int gw_FsLfxOpen(gw_conn_t *c, const char *path, bool forWrite, uint32_t mode)
{
    gw_fs_t *fs = c->fs;
    if (fs == nullptr)
        return -EBADF;
    kyl_lock_guard g(fs->mu);
    gw_FsStart(c, fs);
    std::string ns;
    int rc = gw_Resolve(c, fs, path, &ns);
    if (rc != 0)
        return rc;
    int fd;
    {
        FsIdentity id(c->user.load());
        fd = forWrite ? gw_NsOpen(gw_fsRootFd, ns, O_WRONLY | O_CREAT, mode & 07777 & ~fs->umask, true)
                      : gw_NsOpen(gw_fsRootFd, ns, O_RDONLY, 0, true);
    }
    if ((fd = servedRegularFile(fd)) < 0)
        return fd;
    return fd;
}

int gw_FsOpenX(gw_conn_t *c, const gw_request_t *req, quor_cos_hints_t *hintsOut)
{
    gw_fs_t *fs = c->fs;
    const auto *rq = static_cast<const api_quor_OpenX_req_t *>(req->body);
    if (fs == nullptr || rq == nullptr)
        return -EINVAL;
    kyl_lock_guard g(fs->mu);
    gw_FsStart(c, fs);
    return gw_OpenFile(c, fs, &req->hdr, rq->Path, rq->Oflag, rq->Mode, rq->HintsIn, rq->HintsPri, hintsOut);
}

int gw_FsSetStream(gw_conn_t *c, int32_t fildes, int sock)
{
    gw_fs_t *fs = c->fs;
    kyl_lock_guard g(fs->mu);
    gw_fsfile_t *f = gw_File(fs, fildes);
    if (f == nullptr || f->stream >= 0) {
        close(sock);
        return -EBADF;
    }
    f->stream = sock;
    return 0;
}

void gw_FsCloseFile(gw_conn_t *c, int32_t fildes)
{
    gw_fs_t *fs = c->fs;
    kyl_lock_guard g(fs->mu);
    if (gw_fsfile_t *f = gw_File(fs, fildes)) {
        close(f->fd);
        f->fd = -1;
        f->path.clear();
    }
}

int gw_FsTransferStream(gw_conn_t *c, int32_t fildes, bool forWrite, int *file, int *sock)
{
    gw_fsxfer_t x{};
    int rc = gw_FsTransferFile(c, fildes, forWrite, &x);
    if (rc != 0)
        return rc;
    {
        kyl_lock_guard g(c->fs->mu);
        const gw_fsfile_t *f = gw_File(c->fs, fildes);
        *sock = f != nullptr && f->stream >= 0 ? fcntl(f->stream, F_DUPFD_CLOEXEC, 0) : -1;
        rc = f == nullptr || f->stream < 0 ? -EBADF : *sock < 0 ? -errno : 0;
    }
    if (rc != 0) {
        close(x.fd);
        return rc;
    }
    *file = x.fd;
    return 0;
}

int gw_FsOpenForMover(const std::string &nsPath, bool forWrite, uint32_t uid, uint32_t gid,
                      const std::vector<uint32_t> &groups)
{
    if (gw_fsRootFd < 0)
        return -EBADF;
    gw_user_t u;
    u.uid = uid;
    u.gid = gid;
    u.groups = groups;
    int fd;
    {
        FsIdentity id(&u);
        fd = gw_NsOpen(gw_fsRootFd, nsPath, (forWrite ? O_WRONLY : O_RDONLY) | O_CLOEXEC, 0, true);
    }
    return servedRegularFile(fd);
}
