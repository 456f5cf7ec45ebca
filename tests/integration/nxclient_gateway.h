#ifndef NXCLIENT_GATEWAY_H
#define NXCLIENT_GATEWAY_H

// The gateway the client library's integration tests talk to: one real
// kylgwd for the whole program, started by a gtest Environment that also
// makes the first client call (the session is process-wide), with two
// keytab users (ivan, who logs in, and bob), accounts and classes of
// service of our own.  Each test works in a directory of its own under
// ivan's home.  The scratch directory is kept when a test failed.

#include <gtest/gtest.h>

#include <algorithm>

#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

#include "kylgwd_fixture.h"
#include "quor_api.h"
#include "velk_testsupport.h"

namespace nxtest {

// The classes of service kylgwd is configured with: id, name, stripe width,
// block size, the file sizes it is chosen for (max 0: no bound), tape or
// not.  20 is the default; 11, the client's fallback, is ordinary here.
struct CosRow {
    uint32_t id;
    const char *name;
    uint32_t width;
    uint64_t block;
    uint64_t minSize;
    uint64_t maxSize;
    bool tape;
    bool isDefault;
};
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;
constexpr CosRow kCosTable[] = {
    {1, "small", 1, kMiB, 0, kMiB, false, false},
    {4, "wide", 4, kMiB, kMiB + 1, kGiB, false, false},
    {8, "tapeish", 8, 768 * 1024, kGiB + 1, 16 * kGiB, true, false},
    {11, "fallback", 2, kMiB, 16 * kGiB + 1, 64 * kGiB, false, false},
    {20, "house", 3, 512 * 1024, 0, 0, false, true},
};
constexpr uint32_t kDefaultCos = 20;

// Expects hints to describe class id as kylgwd is configured with it.
inline void expectClass(const quor_cos_hints_t &hints, uint32_t id)
{
    const CosRow *row = std::find_if(std::begin(kCosTable), std::end(kCosTable), [id](auto &r) { return r.id == id; });
    ASSERT_NE(row, std::end(kCosTable)) << id;
    EXPECT_EQ(hints.COSId, id);
    EXPECT_STREQ(hints.COSName, row->name);
    EXPECT_EQ(hints.StripeWidth, row->width);
    EXPECT_EQ(hints.StripeLength, row->width * row->block);
}

// Accounts: ivan has 1 (alpha, his default) and 2 (beta); bob has 7 (gamma).
constexpr uint32_t kIvanDefaultAcct = 1;

// The umask kylgwd starts every session with.
constexpr mode_t kSiteUmask = 022;

class NxGateway : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;

    velktest::KylgwdProcess &daemon() { return *gw_; }
    const std::string &dir() const { return dir_; }
    // The served tree and the sidecar tree on disk.
    std::string rootPath() const { return dir_ + "/root"; }
    std::string metaPath() const { return dir_ + "/meta"; }
    std::string eventsPath() const { return dir_ + "/events"; }
    uid_t ivanUid() const { return ivanUid_; }
    gid_t ivanGid() const { return ivanGid_; }
    uid_t bobUid() const { return bobUid_; }
    gid_t bobGid() const { return bobGid_; }

private:
    std::unique_ptr<velktest::ScratchDir> scratch_;
    std::string dir_;
    std::unique_ptr<velktest::KylgwdProcess> gw_;
    uid_t ivanUid_ = 0, bobUid_ = 0;
    gid_t ivanGid_ = 0, bobGid_ = 0;
};

// The environment registered for this program (set before the first test).
NxGateway &gateway();

// A test with its own directory under ivan's home, owned by ivan.
class NxClientTest : public ::testing::Test {
protected:
    void SetUp() override;

    // The namespace path of rel inside the test's directory ("" for the
    // directory itself).
    std::string ns(const std::string &rel = "") const;
    // Where ns(rel) is on disk.
    std::string disk(const std::string &rel = "") const;
    // Where the sidecar of ns(rel) is on disk.
    std::string sidecarPath(const std::string &rel) const;
    // The sidecar of ns(rel) as key/value pairs; empty when there is none.
    std::map<std::string, std::string> sidecar(const std::string &rel) const;
    // Makes a file on disk (owned by ivan) with the given contents and mode.
    void makeFile(const std::string &rel, const std::string &contents, mode_t mode = 0644) const;

    std::string name_; // the directory's name under the home
};

// Counts the lines of kylgwd's event log that contain needle, once every
// request this thread sent so far has its line.  kylgwd serves these
// operations on the session's reader thread and writes a request's line
// after its reply, before it reads the next request; so after the replies
// to two more requests, the lines of everything before them are there.
size_t settledEvents(const std::string &needle);

// lstat of a path on disk; a failure fails the test.
struct stat diskStat(const std::string &path);

} // namespace nxtest

#endif
