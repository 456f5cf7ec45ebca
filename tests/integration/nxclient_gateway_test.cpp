// The gateway of the integration tests (see nxclient_gateway.h) and the
// session it gives: the client logs in by keytab on its first call and
// starts in the user's home.

#include "nxclient_gateway.h"

#include "quor_api.h"
#include "velk_testsupport.h"

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace nxtest {

namespace {

NxGateway *registered = nullptr; // owned by gtest once registered

const char kIvanKeytab[] = "keytab of ivan\x01\x02\x03";
const char kBobKeytab[] = "keytab of bob\x04\x05";

std::string cosSection()
{
    std::string s = "COS = {\n";
    for (const CosRow &c : kCosTable) {
        s += "  " + std::to_string(c.id) + " = {\n    name = " + c.name + "\n    width = " + std::to_string(c.width) +
             "\n    block = " + std::to_string(c.block) + "\n    min = " + std::to_string(c.minSize) + "\n    max = " +
             std::to_string(c.maxSize) + "\n    tape = " + (c.tape ? "yes" : "no") + "\n    default = " +
             (c.isDefault ? "yes" : "no") + "\n  }\n";
    }
    return s + "}\n";
}

std::string userSection(const std::string &name, uid_t uid, gid_t gid, const std::string &keytab,
                        const std::string &accounts, uint32_t defaultAcct)
{
    return "  " + name + " = {\n    uid = " + std::to_string(uid) + "\n    gid = " + std::to_string(gid) +
           "\n    home = /home/" + name + "\n    keytab = " + keytab + "\n    default_account = " +
           std::to_string(defaultAcct) + "\n    accounts = " + accounts + "\n  }\n";
}

} // namespace

void NxGateway::SetUp()
{
    scratch_ = std::make_unique<velktest::ScratchDir>();
    dir_ = scratch_->path();

    // As root kylgwd takes each user's identity, so the users get ids of
    // their own and ownership on disk shows whose identity a request ran
    // with; unprivileged, every user acts as the daemon's own user.
    const bool root = geteuid() == 0;
    ivanUid_ = root ? 61011 : getuid();
    ivanGid_ = root ? 61011 : getgid();
    bobUid_ = root ? 61012 : getuid();
    bobGid_ = root ? 61012 : getgid();

    velktest::writeFile(dir_ + "/ivan.kt", std::string(kIvanKeytab, sizeof kIvanKeytab - 1));
    velktest::writeFile(dir_ + "/bob.kt", std::string(kBobKeytab, sizeof kBobKeytab - 1));
    for (const char *kt : {"/ivan.kt", "/bob.kt"})
        ASSERT_EQ(chmod((dir_ + kt).c_str(), 0600), 0);
    velktest::writeFile(dir_ + "/kylgwd.conf",
                        "Users = {\n" +
                            userSection("ivan", ivanUid_, ivanGid_, dir_ + "/ivan.kt", "1:alpha 2:beta",
                                        kIvanDefaultAcct) +
                            userSection("bob", bobUid_, bobGid_, dir_ + "/bob.kt", "7:gamma", 7) + "}\n" +
                            cosSection());
    for (const char *d : {"/root", "/root/home", "/root/home/ivan", "/root/home/bob"})
        ASSERT_EQ(mkdir((dir_ + d).c_str(), 0755), 0) << d;
    ASSERT_EQ(chown((dir_ + "/root/home/ivan").c_str(), ivanUid_, ivanGid_), 0);
    ASSERT_EQ(chown((dir_ + "/root/home/bob").c_str(), bobUid_, bobGid_), 0);

    gw_ = std::make_unique<velktest::KylgwdProcess>(dir_);
    ASSERT_TRUE(gw_->start({"--config", dir_ + "/kylgwd.conf", "--events", eventsPath()}));

    // The client reads these when its first call opens the session.
    for (const auto &[name, value] : std::map<std::string, std::string>{
             {"HOME", dir_}, {"QUOR_CFG_FILE_PATH", dir_}, {"QUOR_SERVER_HOST", "127.0.0.1/" + std::to_string(gw_->port())},
             {"QUOR_HOSTNAME", "127.0.0.1"}, {"QUOR_AUTH_METHOD", "keytab"}, {"QUOR_PRINCIPAL", "ivan"},
             {"QUOR_KEYTAB_PATH", dir_ + "/ivan.kt"}})
        setenv(name.c_str(), value.c_str(), 1);

    char cwd[1025] = {};
    ASSERT_EQ(quor_Getcwd(cwd, sizeof cwd), 0) << "the session did not open:\n" << gw_->logText();
    ASSERT_STREQ(cwd, "/home/ivan");
}

void NxGateway::TearDown()
{
    if (gw_ != nullptr) {
        EXPECT_EQ(gw_->stop(), 0) << gw_->stderrText();
        // Every request reached its handler, and the sidecars kept up.
        const std::string log = gw_->logText();
        for (const char *trouble : {"not served by this build", "not kept in step", "cannot write the metadata"})
            EXPECT_EQ(log.find(trouble), std::string::npos) << trouble << "\n" << log;
        gw_.reset();
    }
    scratch_.reset();
}

NxGateway &gateway()
{
    return *registered;
}

void NxClientTest::SetUp()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    name_ = std::string(info->test_suite_name()) + "_" + info->name();
    ASSERT_EQ(mkdir(disk().c_str(), 0755), 0) << disk() << ": " << strerror(errno);
    ASSERT_EQ(chown(disk().c_str(), gateway().ivanUid(), gateway().ivanGid()), 0);
}

std::string NxClientTest::ns(const std::string &rel) const
{
    return "/home/ivan/" + name_ + (rel.empty() ? "" : "/" + rel);
}

std::string NxClientTest::disk(const std::string &rel) const
{
    return gateway().rootPath() + ns(rel);
}

std::string NxClientTest::sidecarPath(const std::string &rel) const
{
    return gateway().metaPath() + ns(rel) + "#meta";
}

std::map<std::string, std::string> NxClientTest::sidecar(const std::string &rel) const
{
    std::map<std::string, std::string> kv;
    std::istringstream in(velktest::readFile(sidecarPath(rel)));
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos)
            kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return kv;
}

struct stat diskStat(const std::string &path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
    return st;
}

void NxClientTest::makeFile(const std::string &rel, const std::string &contents, mode_t mode) const
{
    velktest::writeFile(disk(rel), contents);
    ASSERT_EQ(chmod(disk(rel).c_str(), mode), 0);
    ASSERT_EQ(chown(disk(rel).c_str(), gateway().ivanUid(), gateway().ivanGid()), 0);
}

size_t settledEvents(const std::string &needle)
{
    for (int i = 0; i < 2; i++) {
        kyl_uuid_t id = quor_GetUniqueRequestID();
        const kyl_uuid_t zero = {};
        EXPECT_NE(memcmp(&id, &zero, sizeof id), 0) << "no reply from the gateway";
    }
    return velktest::countOccurrences(velktest::readFile(gateway().eventsPath()), needle);
}

} // namespace nxtest

// Registered before main runs; gtest owns and deletes it.
static ::testing::Environment *const nxtest_environment = [] {
    auto *env = new nxtest::NxGateway;
    nxtest::registered = env;
    return ::testing::AddGlobalTestEnvironment(env);
}();

namespace {

// The environment's first call found the session in /home/ivan.
TEST(NxSession, KeytabLoginStartsInTheHome)
{
    // "/home/ivan" and its NUL need 11 bytes.
    char small[10] = {};
    EXPECT_EQ(quor_Getcwd(small, sizeof small), -34);
    char exact[11] = {};
    EXPECT_EQ(quor_Getcwd(exact, sizeof exact), 0);
    EXPECT_STREQ(exact, "/home/ivan");
}

} // namespace
