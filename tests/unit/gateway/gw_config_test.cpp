// kylgwd's configuration file: the built-in site values, each key read in
// its number forms, and the errors (unknown section or key, a value that is
// not a number, a syntax error) with their file and line.

#include <gtest/gtest.h>

#include <ostream>

#include <string>

#include "gw_config.h"
#include "velk_testsupport.h"

namespace {

TEST(GwConfig, DefaultsFollowTheRunMode)
{
    gw_config_t cfg;
    gw_ConfigDefaults(&cfg, 2);
    EXPECT_EQ(cfg.site.server_runmode, 2u);
    EXPECT_EQ(cfg.site.sv_prot_major, 67u);
    EXPECT_EQ(cfg.site.sv_prot_minor, 2u);
    EXPECT_EQ(cfg.site.umask, 022u);
    EXPECT_EQ(cfg.site.startupCOS, 11u);
    EXPECT_EQ(cfg.site.app_copies, 1u);
    EXPECT_EQ(cfg.site.auth_crypto_card, 0u);
    EXPECT_EQ(cfg.site.max_mbytes_per_iod, 0u);
}

TEST(GwConfig, ReadsEverySiteKeyInDecimalHexAndOctal)
{
    gw_config_t cfg;
    gw_ConfigDefaults(&cfg, 1);
    std::string err;
    ASSERT_EQ(gw_ConfigLoadText("t.conf",
                                "# site values\n"
                                "Site = {\n"
                                "  server_runmode = 2\n"
                                "  auth_crypto_card = 0x3\n"
                                "  max_mbytes_per_iod = 16\n"
                                "  app_copies = 4\n"
                                "  umask = 077\n"
                                "  startupCOS = 8\n"
                                "  sv_prot_major = 68\n"
                                "  sv_prot_minor = 0\n"
                                "  sv_major = 7\n"
                                "  sv_minor = 4\n"
                                "  sv_patch = 4294967295\n"
                                "}\n",
                                &cfg, &err),
              0)
        << err;
    EXPECT_EQ(cfg.site.server_runmode, 2u);
    EXPECT_EQ(cfg.site.auth_crypto_card, 3u);
    EXPECT_EQ(cfg.site.max_mbytes_per_iod, 16u);
    EXPECT_EQ(cfg.site.app_copies, 4u);
    EXPECT_EQ(cfg.site.umask, 63u);
    EXPECT_EQ(cfg.site.startupCOS, 8u);
    EXPECT_EQ(cfg.site.sv_prot_major, 68u);
    EXPECT_EQ(cfg.site.sv_prot_minor, 0u);
    EXPECT_EQ(cfg.site.sv_major, 7u);
    EXPECT_EQ(cfg.site.sv_minor, 4u);
    EXPECT_EQ(cfg.site.sv_patch, 4294967295u);
}

struct BadCase {
    const char *name;
    const char *text;
    const char *message; // expected in the error, after "bad.conf:"
};


// Test names carry the case's name, not its bytes, so they stay the same
// from build to build.
void PrintTo(const BadCase &c, std::ostream *os)
{
    *os << c.name;
}
class GwConfigError : public ::testing::TestWithParam<BadCase> {};

TEST_P(GwConfigError, NamesFileAndLineAndKeepsTheValues)
{
    gw_config_t cfg;
    gw_ConfigDefaults(&cfg, 1);
    std::string err;
    EXPECT_EQ(gw_ConfigLoadText("bad.conf", GetParam().text, &cfg, &err), -1);
    EXPECT_EQ(err.rfind("bad.conf:", 0), 0u) << err;
    EXPECT_NE(err.find(GetParam().message), std::string::npos) << err;
    // A failed load changes nothing, not even the keys before the error.
    EXPECT_EQ(cfg.site.umask, 022u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GwConfigError,
    ::testing::Values(BadCase{"UnknownKey", "Site = {\n umask = 0\n colour = red\n}\n", "3: unknown key 'colour'"},
                      BadCase{"UnknownSection", "Site = {\n umask = 0\n}\nUsers2 = {\n}\n", "4: unknown section"},
                      BadCase{"NotANumber", "Site = {\n umask = 0\n app_copies = two\n}\n", "3: 'app_copies'"},
                      BadCase{"Negative", "Site = {\n umask = 0\n app_copies = -1\n}\n", "3: 'app_copies'"},
                      BadCase{"TooLarge", "Site = {\n umask = 0\n sv_patch = 4294967296\n}\n", "3: 'sv_patch'"},
                      BadCase{"FlagKey", "Site = {\n umask = 0\n app_copies\n}\n", "3: 'app_copies'"},
                      BadCase{"SiteNotASection", "Site = 1\n", "1: 'Site' must be a section"},
                      BadCase{"Syntax", "Site = {\n umask = 0\n", "1: "}),
    [](const ::testing::TestParamInfo<BadCase> &c) { return std::string(c.param.name); });

TEST(GwConfig, LoadsFromFileAndReportsAMissingOne)
{
    velktest::ScratchDir dir;
    velktest::writeFile(dir / "k.conf", "Site = {\n  app_copies = 3\n}\n");
    gw_config_t cfg;
    gw_ConfigDefaults(&cfg, 1);
    std::string err;
    ASSERT_EQ(gw_ConfigLoad((dir / "k.conf").c_str(), &cfg, &err), 0) << err;
    EXPECT_EQ(cfg.site.app_copies, 3u);
    EXPECT_EQ(gw_ConfigLoad((dir / "none.conf").c_str(), &cfg, &err), -1);
    EXPECT_NE(err.find("none.conf"), std::string::npos) << err;
}

} // namespace
