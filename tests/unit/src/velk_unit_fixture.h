// Shared pieces of the archiver's unit tests.  RunGlobals gives each test a
// fresh run context (run), records the run's remaining globals and I/O hooks
// that tests change and sets quiet defaults; at its end it releases the
// context and what a test left behind and restores what it recorded.

#pragma once

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <tuple>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "velk_Env.h"
#include "velk_ArchiveFile.h"
#include "velk_Consistency.h"
#include "velk_Context.h"
#include "velk_FileAccess.h"
#include "velk_FileList.h"
#include "velk_Globals.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_LocalArchiveWriter.h"
#include "velk_MemberStatus.h"
#include "velk_Memory.h"
#include "velk_RemoveLocal.h"
#include "velk_Run.h"
#include "velk_TarHeader.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace velkunit {

class RunGlobals {
public:
    RunGlobals()
        : flags_(velk_option_flags.load()),
          saved_(velk_debug_level, velk_function, velk_filetype,
                 velk_archive_stripewidth, velk_index_filename, velk_archive)
    {
        velk_RunInit(&run);
        velk_exit_code.store(0);
        velk_debug_level = 0;
        velk_option_flags = 0;
        clearLayout();
    }
    ~RunGlobals()
    {
        velk_RunRelease(&run);
        velk_shutdown_signalled.store(0);
        velk_ReleaseMemberFileLists();
        if (velk_archive_fd >= 0)
            close(velk_archive_fd);
        velk_archive_fd = -1;
        clearLayout();
        std::tie(velk_debug_level, velk_function, velk_filetype,
                 velk_archive_stripewidth, velk_index_filename, velk_archive) = saved_;
        velk_SetEnv(nullptr);
        velk_option_flags = flags_;
        velk_exit_code.store(0);
    }
    RunGlobals(const RunGlobals &) = delete;
    RunGlobals &operator=(const RunGlobals &) = delete;

    velk_run_t run; // the context a test hands to the units it calls

private:
    // The layout of a create: nothing laid out, no consistency file.
    static void clearLayout()
    {
        velk_archive_blocks = 0;
        velk_index_entries = 0;
        memset(&velk_index_hdr, 0, sizeof velk_index_hdr);
    }
    uint32_t flags_;
    std::tuple<int, int, int, int, char *, char *> saved_;
};

// A scratch directory that is the working directory and TMPDIR meanwhile.
class InScratchDir : public velktest::ScratchDir {
public:
    InScratchDir() : hadTmpdir_(getenv("TMPDIR") != nullptr), tmpdir_(hadTmpdir_ ? getenv("TMPDIR") : ""),
                     cwd_(open(".", O_RDONLY | O_DIRECTORY))
    {
        EXPECT_EQ(setenv("TMPDIR", path().c_str(), 1), 0);
        EXPECT_EQ(chdir(path().c_str()), 0);
    }
    ~InScratchDir()
    {
        EXPECT_EQ(fchdir(cwd_), 0);
        close(cwd_);
        if (hadTmpdir_)
            setenv("TMPDIR", tmpdir_.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

private:
    bool hadTmpdir_;
    std::string tmpdir_;
    int cwd_;
};

inline bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// Text of a fixed-width field up to its first NUL.
inline std::string field(const void *p, size_t n)
{
    const char *c = static_cast<const char *>(p);
    return std::string(c, strnlen(c, n));
}

// n bytes that differ from block to block, so a misplaced block shows.
inline std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * 31 + seed + (i >> 9)) & 0xff);
    return s;
}

inline uint32_t crcOf(const std::string &data)
{
    uint32_t crc;
    velk_ChecksumInit(&crc);
    velk_ChecksumBuffer(data.data(), data.size(), &crc);
    return velk_ChecksumFinalize(&crc);
}

inline bool allZero(const std::string &s, size_t from, size_t n)
{
    return s.size() >= from + n && s.compare(from, n, std::string(n, '\0')) == 0;
}

// A sane index entry of the given kind, name (may fill the field), size,
// archive block offset and length in blocks.
inline hif_entry_t entryOf(uint32_t type, const std::string &name, uint64_t size = 0, uint64_t offset = 0,
                           uint32_t blocks = 1)
{
    hif_entry_t e;
    memset(&e, 0, sizeof e);
    memcpy(e.hent_sanity, HENT_SANITY, 8);
    velk_Put32(e.hent_type, type);
    memcpy(e.hent_name, name.data(), std::min(name.size(), sizeof e.hent_name));
    velk_Put64(e.hent_fsize, size);
    velk_Put64(e.hent_offset, offset);
    velk_Put32(e.hent_blocks, blocks);
    velk_Put32(e.hent_mode, 0644);
    return e;
}

// The record points at path's characters: path must outlive it.
velk_FileSpec_t memberFromLstat(std::string &&path) = delete;
inline velk_FileSpec_t memberFromLstat(const std::string &path)
{
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    velk_FileSpec_t member;
    memset(&member, 0, sizeof member);
    member.haveStatInfo = 1;
    member.filename = const_cast<char *>(path.c_str());
    member.objectType = S_ISDIR(st.st_mode) ? VTO_DIRECTORY : S_ISLNK(st.st_mode) ? VTO_SYMLINK : VTO_FILE;
    member.size = static_cast<uint64_t>(st.st_size);
    member.mode = st.st_mode & 07777;
    member.ctime = static_cast<uint64_t>(st.st_ctime);
    member.mtime = static_cast<uint64_t>(st.st_mtime);
    member.uid = st.st_uid;
    member.gid = st.st_gid;
    member.nlink = st.st_nlink;
    member.dev = st.st_dev;
    member.ino = st.st_ino;
    member.ctimeNsec = static_cast<uint32_t>(st.st_ctim.tv_nsec);
    member.mtimeNsec = static_cast<uint32_t>(st.st_mtim.tv_nsec);
    return member;
}

// The create sequence up to the copy, as the create action runs it: the
// temporary index with a placeholder header, one entry per path, the
// consistency record, file and entry, the closing block and the final
// header.  Returns the entries written, the consistency file's last.
inline std::vector<hif_entry_t> layOutCreate(velk_run_t *run, const std::vector<std::string> &paths)
{
    velk_index_t *index = &run->index;
    std::vector<hif_entry_t> out;
    EXPECT_EQ(velk_CreateTmpIndexFile(index), 0);
    EXPECT_EQ(velk_WriteIndexHeader(index->tmpFd, VELK_LOCAL_FILE, index->tmpName, &velk_index_hdr), 0);
    for (const std::string &p : paths) {
        velk_FileSpec_t member = memberFromLstat(p);
        hif_entry_t e;
        EXPECT_EQ(velk_IndexFromFileSpec(static_cast<int64_t>(out.size()), &member, &e), 0) << p;
        EXPECT_EQ(write(index->tmpFd, &e, sizeof e), static_cast<ssize_t>(sizeof e));
        velk_archive_blocks += velk_Get32(e.hent_blocks);
        out.push_back(e);
    }
    velk_index_entries = static_cast<int64_t>(out.size()) + 1;
    velk_archive_blocks += VELK_CF_BLOCKS + 1;
    EXPECT_EQ(velk_BuildConsistencyHeader(), 2);
    EXPECT_EQ(velk_WriteConsistencyFile(&run->archive), 0);
    velk_index_entries -= 1;
    velk_archive_blocks -= VELK_CF_BLOCKS + 1;
    EXPECT_EQ(velk_WriteConsFileIndexEntry(&run->archive, index->tmpFd, index->tmpName), 0);
    velk_archive_blocks += 1;
    velk_BuildIndexHeader(index);
    EXPECT_EQ(velk_WriteIndexHeader(index->tmpFd, VELK_LOCAL_FILE, index->tmpName, &velk_index_hdr), 0);
    hif_entry_t cf;
    EXPECT_EQ(pread(index->tmpFd, &cf, sizeof cf, static_cast<off_t>(HIF_HDR_SIZE + 512 * out.size())),
              static_cast<ssize_t>(sizeof cf));
    out.push_back(cf);
    return out;
}

} // namespace velkunit
