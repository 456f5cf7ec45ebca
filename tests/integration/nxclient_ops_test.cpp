// The client library's file operations against the real kylgwd, checked on
// the server's side: results of every operation on a prepared tree (errors,
// the ways out of the served tree), files on disk with their modes, owners,
// sizes and inodes, the sidecar metadata kylgwd keeps, the daemon's open
// descriptors and its event log.

#include "nxclient_gateway.h"

#include "quor_api.h"
#include "velk_testsupport.h"

#include <array>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

using nxtest::diskStat;
using nxtest::gateway;
using nxtest::NxClientTest;
using velktest::exists;

// Descriptors of process pid that refer to path; -1 when they cannot be read.
int openCount(pid_t pid, const std::string &path)
{
    std::error_code ec, gone;  // a descriptor closed while looking is not counted
    std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", ec);
    int n = 0;
    for (const auto &e : fds)
        n += std::filesystem::read_symlink(e.path(), gone) == path ? 1 : 0;
    return ec ? -1 : n;
}

// Opens ns path, creating it with mode in class cos (0: no hints); returns
// the descriptor and the hints reported back.
int create(const std::string &path, uint32_t cos, mode_t mode = 0644, quor_cos_hints_t *out = nullptr)
{
    quor_cos_hints_t h = {};
    quor_cos_priorities_t p = {};
    h.COSId = cos;
    p.COSIdPriority = 30;
    return quor_Open(path.c_str(), O_RDWR | O_CREAT, mode, cos ? &h : nullptr, cos ? &p : nullptr, out);
}

enum class Op {
    OpenRead, OpenWrite, Create, CreateExcl, Stat, Mkdir, Unlink, ListAttrs, FileAttrs, XAttrs, SetFamily, LfxStat,
    LfxMkdir, LfxUnlink
};

struct OpCase {
    Op op;
    const char *path;   // see NxOps::resolve
    int want;           // the result; a descriptor is closed again
    bool notAsRoot = false;  // the kernel lets root through
};

class NxOps : public NxClientTest {
protected:
    // "name": inside the test's directory; "=text": text as it is; "^name":
    // name reached with ".." from the test's directory out of the served
    // tree; "#N": a path of N characters (empty components) naming "f".
    std::string resolve(const char *p) const
    {
        if (p[0] == '=')
            return strcmp(p, "=null") == 0 ? p : p + 1;
        if (p[0] == '^')
            return ns() + "/../../../../outside_" + name_ + "/" + (p + 1);
        if (p[0] == '#')
            return std::string(static_cast<size_t>(atoi(p + 1)) - ns("f").size(), '/') + ns("f");
        return ns(p);
    }

    int run(Op op, const std::string &a)
    {
        const char *pa = a == "=null" ? nullptr : a.c_str();
        quor_stat_t st = {};
        quor_Attrs_t attrs = {};
        quor_fileattr_t fa = {};
        quor_xfileattr_t xa = {};
        lfx_Stat_rply_t lst = {};
        int rc = 0;
        switch (op) {
        case Op::OpenRead: rc = quor_Open(pa, O_RDONLY, 0, nullptr, nullptr, nullptr); break;
        case Op::OpenWrite: rc = quor_Open(pa, O_WRONLY, 0, nullptr, nullptr, nullptr); break;
        case Op::Create: rc = quor_Open(pa, O_WRONLY | O_CREAT, 0644, nullptr, nullptr, nullptr); break;
        case Op::CreateExcl: rc = quor_Open(pa, O_WRONLY | O_CREAT | O_EXCL, 0644, nullptr, nullptr, nullptr); break;
        case Op::Stat: return quor_Stat(pa, &st);
        case Op::Mkdir: return quor_Mkdir(pa, 0755);
        case Op::Unlink: return quor_Unlink(pa);
        case Op::ListAttrs: return quor_GetListAttrs(pa, &attrs);
        case Op::FileAttrs: return quor_FileGetAttributes(pa, &fa);
        case Op::XAttrs:
            rc = quor_FileGetXAttributes(pa, 8, 0, &xa);
            quor_FreeXAttributes(&xa);
            return rc;
        case Op::SetFamily: return quor_FileSetAttributes(pa, QUOR_ATTRSEL_FAMILYID, &fa, nullptr);
        case Op::LfxStat: return kylgw_LfxStat(pa, &lst);
        case Op::LfxMkdir: return kylgw_LfxMkdir(pa, 0755);
        case Op::LfxUnlink: return kylgw_LfxUnlink(pa);
        }
        if (rc >= 0) {
            EXPECT_EQ(quor_Close(rc), 0);
        }
        return rc >= 0 ? 0 : rc;
    }
};

TEST_F(NxOps, ResultsOnAPreparedTree)
{
    const std::string outside = gateway().dir() + "/outside_" + name_;
    ASSERT_EQ(mkdir(outside.c_str(), 0777), 0);
    velktest::writeFile(outside + "/secret", "s");
    ASSERT_EQ(chmod((outside + "/secret").c_str(), 0666), 0);
    ASSERT_EQ(symlink(outside.c_str(), disk("abs").c_str()), 0);
    ASSERT_EQ(symlink("/", disk("slash").c_str()), 0);
    ASSERT_EQ(symlink("f", disk("lnk").c_str()), 0);
    makeFile("f", "0123456789");
    makeFile("ro", "x", 0444);
    ASSERT_EQ(quor_Mkdir(ns("full").c_str(), 0755), 0);
    makeFile("full/inner", "i");

    const OpCase cases[] = {
        // Opens: what is not there, not a file, not writable, checked by the client.
        {Op::OpenRead, "absent", -2}, {Op::Create, "no/such/file", -2}, {Op::OpenRead, "", -21},
        {Op::OpenRead, "=null", -14}, {Op::OpenRead, "=", -2}, {Op::OpenRead, "#1025", -36},
        {Op::OpenRead, "#1024", 0}, {Op::OpenWrite, "ro", -13, true}, {Op::CreateExcl, "f", -17},
        {Op::OpenRead, "abs/secret", -13}, {Op::Create, "abs/new", -13}, {Op::Create, "^new2", -13},
        // Status: links followed; ".." and links out of the tree refused.
        {Op::Stat, "absent", -2}, {Op::Stat, "=", -2}, {Op::Stat, "#1024", 0}, {Op::Stat, "#1025", -36},
        {Op::Stat, "lnk", 0}, {Op::Stat, "abs/../f", 0}, {Op::Stat, "=/home/ivan/../ivan/../../home/ivan", 0},
        {Op::Stat, "^secret", -13}, {Op::Stat, "=/..", -13}, {Op::Stat, "=../../../..", -13},
        {Op::Stat, "abs/secret", -13}, {Op::Stat, "abs", -13}, {Op::Stat, "slash/etc/passwd", -13},
        {Op::Stat, "slash", -13},
        // Directories and names.
        {Op::Mkdir, "full", -17}, {Op::Mkdir, "missing/d", -2}, {Op::Mkdir, "f/d", -20}, {Op::Mkdir, "=", -2},
        {Op::Mkdir, "slash/tmp/made", -13}, {Op::Mkdir, "abs/made", -13}, {Op::Unlink, "absent", -2},
        {Op::Unlink, "nodir/f", -2}, {Op::Unlink, "full", -39}, {Op::Unlink, "abs/secret", -13},
        // Attributes.
        {Op::ListAttrs, "none", -2}, {Op::ListAttrs, "abs/secret", -13}, {Op::FileAttrs, "none", -2},
        {Op::XAttrs, "none", -2}, {Op::SetFamily, "none", -2}, {Op::SetFamily, "abs/secret", -13},
        // Files of the gateway host: paths may be four times as long.
        {Op::LfxStat, "none", -2}, {Op::LfxStat, "#4096", 0}, {Op::LfxStat, "#4097", -36},
        {Op::LfxStat, "slash/etc/passwd", -13}, {Op::LfxMkdir, "abs/lfxmade", -13}, {Op::LfxMkdir, "x/y", -2},
        {Op::LfxMkdir, "full", -17}, {Op::LfxUnlink, "abs/secret", -13}, {Op::LfxUnlink, "=", -2},
    };
    for (const OpCase &c : cases) {
        if (c.notAsRoot && gateway().ivanUid() == 0)
            continue;
        SCOPED_TRACE(std::to_string(static_cast<int>(c.op)) + " " + c.path);
        EXPECT_EQ(run(c.op, resolve(c.path)), c.want);
    }

    // Nothing was made, changed or removed; no descriptor was left open.
    EXPECT_EQ(velktest::readFile(outside + "/secret"), "s");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), std::filesystem::directory_iterator()), 1);
    for (const char *name : {"f", "ro", "full/inner"})
        EXPECT_TRUE(exists(disk(name))) << name;
    for (const char *name : {"no", "missing", "made", "new2"})
        EXPECT_FALSE(exists(disk(name))) << name;
    EXPECT_EQ(diskStat(disk("f")).st_size, 10);
    EXPECT_TRUE(exists(sidecarPath("full")));
    EXPECT_FALSE(exists(sidecarPath("none")));
    EXPECT_EQ(openCount(gateway().daemon().pid(), disk()), 0);
    EXPECT_EQ(openCount(gateway().daemon().pid(), disk("f")), 0);
}

TEST_F(NxOps, CreateInTheClassAskedForByIdOrBySize)
{
    struct Case {
        const char *name;
        uint32_t cos;      // asked for by id (0: none)
        uint64_t maxSize;  // size hint (0: none)
        bool noHints;
        uint32_t want;
    } cases[] = {
        {"wide", 4, 0, false, 4},   {"unknown", 99, 0, false, nxtest::kDefaultCos},
        {"eleven", 11, 0, false, 11}, {"sized", 0, 2 * nxtest::kGiB, false, 8},
        {"plain", 0, 0, true, nxtest::kDefaultCos},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        quor_cos_hints_t h = {}, out = {};
        quor_cos_priorities_t p = {};
        h.COSId = c.cos;
        p.COSIdPriority = c.cos ? 30 : 0;
        h.MaxFileSize = c.maxSize;
        p.MaxFileSizePriority = c.maxSize ? 20 : 0;
        int fd = quor_Open(ns(c.name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0640, c.noHints ? nullptr : &h,
                           c.noHints ? nullptr : &p, &out);
        ASSERT_GE(fd, 0);
        nxtest::expectClass(out, c.want);
        struct stat st = diskStat(disk(c.name));
        EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFREG | 0640));
        EXPECT_EQ(st.st_uid, gateway().ivanUid());
        EXPECT_EQ(st.st_gid, gateway().ivanGid());
        auto meta = sidecar(c.name);
        EXPECT_EQ(meta["COSId"], std::to_string(c.want));
        EXPECT_EQ(meta["Account"], std::to_string(nxtest::kIvanDefaultAcct));
        EXPECT_EQ(meta["UID"], std::to_string(gateway().ivanUid()));
        EXPECT_EQ(meta["ObjId"], std::to_string(st.st_ino));
        EXPECT_EQ(quor_Close(fd), 0);
    }
    // Reopening reports the class the file was made in, whatever is asked.
    quor_cos_hints_t out = {};
    int fd = create(ns("wide"), 8, 0644, &out);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(out.COSId, 4u);
    EXPECT_EQ(sidecar("wide")["COSId"], "4");
    EXPECT_EQ(quor_Close(fd), 0);
}

TEST_F(NxOps, StatSeekSetOffsetPreallocateAndClose)
{
    int fd = create(ns("data"), 0, 0640);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(quor_Fpreallocate(fd, 5000), 0);
    struct stat on = diskStat(disk("data"));
    EXPECT_EQ(on.st_size, 5000);
    quor_stat_t st = {};
    ASSERT_EQ(quor_Stat(ns("data").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5000u);
    EXPECT_EQ(st.st_mode, static_cast<uint32_t>(S_IFREG | 0640));
    EXPECT_EQ(st.st_ino, on.st_ino);
    EXPECT_EQ(st.st_uid, gateway().ivanUid());
    EXPECT_EQ(st.quor_st_mtime, static_cast<uint32_t>(on.st_mtime));

    // Each answer is the server's real position; refusals keep it.
    struct Move {
        bool lseek;
        int64_t offset;
        int whence;
        int backward;
        int64_t want;  // position, or the error
    } moves[] = {
        {true, -100, SEEK_END, 0, 4900}, {true, 50, SEEK_CUR, 0, 4950},   {true, 10, SEEK_SET, 0, 10},
        {true, -11, SEEK_CUR, 0, -22},   {false, 1000, SEEK_CUR, 0, 1010}, {false, 100, SEEK_END, 1, 4900},
        {false, 900, SEEK_CUR, 1, 4000}, {false, 7, SEEK_SET, 0, 7},       {false, 8, SEEK_CUR, 1, -22},
        {true, 0, SEEK_CUR, 0, 7},       {false, 1000, SEEK_END, 0, 6000}, {true, 0, SEEK_CUR, 0, 6000},
    };
    for (const Move &m : moves) {
        SCOPED_TRACE(std::to_string(m.offset) + " from " + std::to_string(m.whence));
        if (m.lseek) {
            EXPECT_EQ(quor_Lseek(fd, m.offset, m.whence), m.want);
            continue;
        }
        uint64_t off = 12345;
        int rc = quor_SetFileOffset(fd, static_cast<uint64_t>(m.offset), m.whence, m.backward, &off);
        EXPECT_EQ(m.want < 0 ? rc : static_cast<int64_t>(off), m.want);
    }
    // Checked by the client: no request goes out.
    const std::string setOffsets = "\"category\":1280,\"function\":4869,";
    const size_t sent = nxtest::settledEvents(setOffsets);
    uint64_t off = 0;
    EXPECT_EQ(quor_SetFileOffset(fd, 1, SEEK_SET, 2, &off), -22);
    EXPECT_EQ(quor_SetFileOffset(fd, 1, SEEK_SET, 0, nullptr), -14);
    EXPECT_EQ(nxtest::settledEvents(setOffsets), sent);

    // Closed: the server's descriptor is gone and the client's entry free.
    EXPECT_EQ(openCount(gateway().daemon().pid(), disk("data")), 1);
    EXPECT_EQ(quor_Close(fd), 0);
    EXPECT_EQ(openCount(gateway().daemon().pid(), disk("data")), 0);
    EXPECT_EQ(quor_Close(fd), -9);
    EXPECT_EQ(quor_Lseek(fd, 0, SEEK_SET), -2);
    EXPECT_EQ(quor_SetFileOffset(fd, 0, SEEK_SET, 0, &off), -2);
    EXPECT_EQ(quor_Close(250), -9);
    EXPECT_EQ(quor_Close(-1), -9);
    // Truncation reaches the server.
    fd = quor_Open(ns("data").c_str(), O_WRONLY | O_TRUNC, 0, nullptr, nullptr, nullptr);
    EXPECT_EQ(diskStat(disk("data")).st_size, 0);
    EXPECT_EQ(quor_Close(fd), 0);
}

TEST_F(NxOps, TableHolds250OpenFilesAndReusesEntries)
{
    constexpr int kTable = 250;
    const std::string opens = "\"category\":1280,\"function\":3840,";
    const size_t opensBefore = nxtest::settledEvents(opens);
    makeFile("f", "content");
    const pid_t daemon = gateway().daemon().pid();
    std::set<int> fds;
    for (int i = 0; i < kTable; i++)
        fds.insert(quor_Open(ns("f").c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr));
    EXPECT_EQ(fds.size(), static_cast<size_t>(kTable));
    EXPECT_EQ(*fds.begin(), 0);
    EXPECT_EQ(*fds.rbegin(), kTable - 1);
    EXPECT_EQ(openCount(daemon, disk("f")), kTable);
    // The 251st is refused by the client, without asking the server.
    EXPECT_EQ(quor_Open(ns("f").c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr), -24);
    EXPECT_EQ(openCount(daemon, disk("f")), kTable);
    // A closed entry is the lowest free one and is taken again.
    EXPECT_EQ(quor_Close(100), 0);
    EXPECT_EQ(quor_Open(ns("f").c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr), 100);
    EXPECT_EQ(quor_Lseek(100, 3, SEEK_SET), 3);
    for (int fd : fds)
        EXPECT_EQ(quor_Close(fd), 0);
    EXPECT_EQ(openCount(daemon, disk("f")), 0);
    EXPECT_EQ(nxtest::settledEvents(opens) - opensBefore, static_cast<size_t>(kTable + 1));
}

TEST_F(NxOps, SessionUmaskShapesCreatedFilesAndDirectories)
{
    EXPECT_EQ(quor_Umask(027), static_cast<int>(nxtest::kSiteUmask));
    int fd = quor_Open(ns("f").c_str(), O_WRONLY | O_CREAT, 0666, nullptr, nullptr, nullptr);
    EXPECT_EQ(quor_Close(fd), 0);
    EXPECT_EQ(diskStat(disk("f")).st_mode & 07777, 0640u);
    ASSERT_EQ(quor_Mkdir(ns("d").c_str(), 0777), 0);
    EXPECT_EQ(diskStat(disk("d")).st_mode, static_cast<mode_t>(S_IFDIR | 0750));
    ASSERT_EQ(quor_Mkdir(ns("sticky").c_str(), 01777), 0);  // set-id and sticky bits pass
    EXPECT_EQ(diskStat(disk("sticky")).st_mode & 07777, 01750u);
    ASSERT_EQ(kylgw_LfxMkdir(ns("lfx").c_str(), 0777), 0);
    EXPECT_EQ(diskStat(disk("lfx")).st_mode & 07777, 0750u);
    EXPECT_EQ(quor_Umask(static_cast<int>(nxtest::kSiteUmask)), 027);
    ASSERT_EQ(quor_Mkdir((name_ + "/rel").c_str(), 0777), 0);  // relative to the home
    struct stat st = diskStat(disk("rel"));
    EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFDIR | 0755));
    EXPECT_EQ(st.st_uid, gateway().ivanUid());
    EXPECT_EQ(sidecar("rel")["ObjId"], std::to_string(st.st_ino));
}

TEST_F(NxOps, AttributesLevelsAndTheSelectedFamily)
{
    int fd = create(ns("f"), 4, 04751);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(quor_Fpreallocate(fd, 777), 0);
    struct stat on = diskStat(disk("f"));
    ASSERT_EQ(on.st_mode & 07777, 04751u & ~nxtest::kSiteUmask);
    quor_fileattr_t fa = {};
    ASSERT_EQ(quor_FileGetAttributes(ns("f").c_str(), &fa), 0);
    EXPECT_EQ(fa.ObjectHandle.ObjId, on.st_ino);
    EXPECT_EQ(fa.Attrs.Type, 129u);
    EXPECT_EQ(fa.Attrs.DataLength, 777u);
    EXPECT_EQ(fa.Attrs.COSId, 4u);
    EXPECT_EQ(fa.Attrs.Account, nxtest::kIvanDefaultAcct);
    EXPECT_EQ(fa.Attrs.UID, gateway().ivanUid());
    EXPECT_EQ(fa.Attrs.GID, gateway().ivanGid());
    EXPECT_EQ(std::to_string(fa.Attrs.TimeCreated), sidecar("f")["TimeCreated"]);
    // Permission bits on the wire are r 32, w 64, x 128 per class, then the
    // set-id and sticky bits: 04751 less the site's 022.
    const quor_Attrs_t &fat = fa.Attrs;
    EXPECT_EQ((std::array<uint32_t, 4>{fat.UserPerms, fat.GroupPerms, fat.OtherPerms, fat.ModePerms}),
              (std::array<uint32_t, 4>{32 + 64 + 128, 32 + 128, 128, 32}));
    // Object types; GetListAttrs does not follow a link, FileGetAttributes does.
    ASSERT_EQ(symlink("f", disk("lnk").c_str()), 0);
    for (auto [rel, type] : {std::pair<const char *, uint32_t>{"f", 129}, {"lnk", 130}, {"", 132}}) {
        quor_Attrs_t a = {};
        ASSERT_EQ(quor_GetListAttrs(ns(rel).c_str(), &a), 0);
        EXPECT_EQ(a.Type, type) << rel;
    }
    ASSERT_EQ(quor_FileGetAttributes(ns("lnk").c_str(), &fa), 0);
    EXPECT_EQ(fa.ObjectHandle.ObjId, on.st_ino);

    // Storage levels: disk or tape by class, data flag once there are bytes.
    for (auto [name, cos, width, block, diskFlag] :
         {std::tuple<const char *, uint32_t, uint32_t, uint64_t, uint32_t>{"disk", 4, 4, nxtest::kMiB, 0x1},
          {"tape", 8, 8, 768 * 1024, 0}}) {
        SCOPED_TRACE(name);
        int lfd = create(ns(name), cos);
        for (uint64_t size : {uint64_t{0}, uint64_t{4096}}) {
            ASSERT_EQ(size ? quor_Fpreallocate(lfd, size) : 0, 0);
            quor_xfileattr_t xa = {};
            ASSERT_EQ(quor_FileGetXAttributes(ns(name).c_str(), 8, 0, &xa), 0);
            EXPECT_EQ(xa.Attrs.COSId, cos);
            EXPECT_EQ(xa.LevelAttrs[0].Flags, diskFlag | (size ? 0x4u : 0));
            EXPECT_EQ(xa.LevelAttrs[0].BytesAtLevel, size);
            EXPECT_EQ(xa.LevelAttrs[0].StripeWidth, width);
            EXPECT_EQ(xa.LevelAttrs[0].StripeLength, width * block);
            for (size_t i = 1; i < QUOR_MAX_LEVELS; i++)
                EXPECT_EQ(xa.LevelAttrs[i].Flags | xa.LevelAttrs[i].NumberOfVVs, 0u) << i;
            quor_FreeXAttributes(&xa);
        }
        EXPECT_EQ(quor_Close(lfd), 0);
    }

    // Setting the family changes only the family, also for a file without sidecar.
    auto before = sidecar("f");
    quor_fileattr_t in = {}, out = {};
    in.Attrs.FamilyId = 42;
    in.Attrs.COSId = 99;
    in.Attrs.UID = 12345;
    ASSERT_EQ(quor_FileSetAttributes(ns("f").c_str(), QUOR_ATTRSEL_FAMILYID, &in, &out), 0);
    EXPECT_EQ(out.Attrs.FamilyId, 42u);
    EXPECT_EQ(out.Attrs.COSId, 4u);
    EXPECT_EQ(out.Attrs.UID, gateway().ivanUid());
    auto after = sidecar("f");
    EXPECT_EQ(after["FamilyId"], "42");
    after["FamilyId"] = before["FamilyId"];
    EXPECT_EQ(after, before);
    makeFile("bare", "");
    in.Attrs.FamilyId = 7;
    ASSERT_EQ(quor_FileSetAttributes(ns("bare").c_str(), QUOR_ATTRSEL_FAMILYID, &in, nullptr), 0);
    EXPECT_EQ(sidecar("bare")["FamilyId"], "7");
    EXPECT_EQ(sidecar("bare")["COSId"], std::to_string(nxtest::kDefaultCos));
    EXPECT_EQ(quor_Close(fd), 0);
}

} // namespace
