// The member path rules of extract (leading slashes and ".." components),
// where the deferred directory attributes land and which targets a hard
// link may reach.

#include "velk_ExtractWriter.h"
#include "velk_HardLink.h"
#include "velk_unit_fixture.h"

namespace {

TEST(ExtractPaths, LeadingSlashesAndDotDotComponents)
{
    struct Case {
        const char *in;
        int rc;
        const char *out;
        int stripped;
    } cases[] = {
        {"a/b", VELK_XPATH_OK, "a/b", 0},          {"/etc/x", VELK_XPATH_OK, "etc/x", 1},
        {"///etc//x", VELK_XPATH_OK, "etc//x", 1}, {"/", VELK_XPATH_ROOT_ONLY, nullptr, 1},
        {"////", VELK_XPATH_ROOT_ONLY, nullptr, 1}, {"..", VELK_XPATH_DOTDOT, nullptr, 0},
        {"../a", VELK_XPATH_DOTDOT, nullptr, 0},   {"/../a", VELK_XPATH_DOTDOT, nullptr, 1},
        {"a/../b", VELK_XPATH_DOTDOT, nullptr, 0}, {"a/..", VELK_XPATH_DOTDOT, nullptr, 0},
        {"a/../", VELK_XPATH_DOTDOT, nullptr, 0},  {"a//..//b", VELK_XPATH_DOTDOT, nullptr, 0},
        {"..a/b..", VELK_XPATH_OK, "..a/b..", 0},  {"a/.../b", VELK_XPATH_OK, "a/.../b", 0},
        {"./a/.", VELK_XPATH_OK, "./a/.", 0},      {"dir/", VELK_XPATH_OK, "dir/", 0},
    };
    for (const auto &c : cases) {
        char out[64];
        memset(out, 'X', sizeof out);
        int stripped = -1;
        EXPECT_EQ(velk_ExtractFormPath(c.in, out, sizeof out, &stripped), c.rc) << c.in;
        EXPECT_EQ(stripped, c.stripped) << c.in;
        if (c.out != nullptr) {
            EXPECT_STREQ(out, c.out) << c.in;
        }
    }
    char small[4];
    EXPECT_EQ(velk_ExtractFormPath("/abcd", small, sizeof small, nullptr), VELK_XPATH_TOO_LONG);
    EXPECT_EQ(velk_ExtractFormPath("abc", small, sizeof small, nullptr), VELK_XPATH_OK);
    EXPECT_STREQ(small, "abc");
}

TEST(ExtractDirectories, AttributesNeverFollowALinkSwappedInForTheDirectory)
{
    velkunit::RunGlobals globals;
    velktest::ScratchDir dir;
    int cwd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(chdir(dir.path().c_str()) == 0 && mkdir("victim", 0700) == 0 && mkdir("d", 0755) == 0);
    struct stat before, victim, moved;
    ASSERT_EQ(stat("victim", &before), 0);

    velk_option_flags |= VELK_OPT_EXACT_PERMS;
    velk_extract_writer_t xs;
    velk_ExtractWriterPrepare(&xs);
    hif_entry_t e{};
    velk_Put32(e.hent_mode, 0750);
    velk_Put32(e.hent_mtime, 1709647620);
    velk_Put32(e.hent_uid, getuid());
    velk_Put32(e.hent_gid, getgid());
    ASSERT_EQ(velk_DeferDirectory(&xs, "d", &e), 0);
    // The directory just opened is moved away and a symbolic link to
    // "victim" takes its name, as a racing user could.
    velk_env_t env = velk_Env();
    env.dirOpened = [](const char *path) {
        EXPECT_EQ(rename(path, (std::string(path) + ".moved").c_str()), 0);
        EXPECT_EQ(symlink("victim", path), 0);
    };
    velk_SetEnv(&env);
    velk_FinishDirectories(&xs);
    velk_SetEnv(nullptr);
    velk_ExtractRestoreUmask(&xs);

    ASSERT_TRUE(stat("victim", &victim) == 0 && stat("d.moved", &moved) == 0);
    EXPECT_EQ(fchdir(cwd), 0);
    close(cwd);
    EXPECT_EQ(victim.st_mode & 07777, 0700u);
    EXPECT_EQ(victim.st_mtime, before.st_mtime);
    EXPECT_EQ(moved.st_mode & 07777, 0750u);
    EXPECT_EQ(moved.st_mtime, 1709647620);
}

// A hard link is made only to the very file this run extracted at its
// target path: not to a file renamed over it, a symbolic link put in its
// place or a path the run never extracted.
TEST(ExtractHardLinks, OnlyToTheFileThisRunExtracted)
{
    velkunit::RunGlobals globals;
    velktest::ScratchDir dir;
    int cwd = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const struct {
        const char *change; // done to the target between its extraction and the link
        const char *linkName;
        int made;
    } cases[] = {{"", "t", 1}, {"", "/t", 1}, {"", "u", 0}, {"rename", "t", 0}, {"symlink", "t", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.change) + " " + c.linkName);
        velk_extracted_files_t made;
        unlink("l");
        unlink("t");
        velktest::writeFile("t", "target");
        velktest::writeFile("other", "other");
        velk_hardlink_member_t file{VTO_FILE, "t", "", -1, true, 022};
        EXPECT_EQ(velk_HardLinkMember(&made, &file), 0);
        if (std::string(c.change) == "rename") {
            ASSERT_EQ(rename("other", "t"), 0); // same device, another inode
        }
        if (std::string(c.change) == "symlink") {
            ASSERT_TRUE(unlink("t") == 0 && symlink("other", "t") == 0);
        }
        velk_hardlink_member_t link{VTO_HARDLINK, "l", c.linkName, -1, false, 022};
        EXPECT_EQ(velk_HardLinkMember(&made, &link), c.made);
        struct stat l, t;
        EXPECT_EQ(lstat("l", &l) == 0 && lstat("t", &t) == 0 && l.st_ino == t.st_ino, c.made == 1);
    }
    EXPECT_EQ(fchdir(cwd), 0);
    close(cwd);
}

} // namespace
