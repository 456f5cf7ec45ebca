#include "velk_gwsession.h"

#include <sys/stat.h>
#include <unistd.h>

namespace velktest {

void VelkGatewayTest::startGateway(const std::string &extraConfig)
{
    RunOptions o;
    o.input = "demo-password\n";
    auto h = run({kylgwdBinary(), "--hash-password"}, o);
    ASSERT_EQ(h.status, 0) << h.err;
    std::string hash = h.out.substr(0, h.out.size() - 1);
    writeFile(dir / "demo.kt", "keytab bytes of demo");
    ASSERT_EQ(chmod((dir / "demo.kt").c_str(), 0600), 0);
    writeFile(dir / "kylgwd.conf", "Users = {\n  demo = {\n    password = " + hash + "\n    uid = " +
                                       std::to_string(getuid()) + "\n    gid = " + std::to_string(getgid()) +
                                       "\n    home = /home/demo\n    keytab = " + (dir / "demo.kt") + "\n  }\n}\n" +
                                       extraConfig);
    ASSERT_EQ(mkdir(root().c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root() + "/home").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(home().c_str(), 0755), 0);
    ASSERT_TRUE(gw.start({"--config", dir / "kylgwd.conf"}));
}

RunResult VelkGatewayTest::velk(const std::vector<std::string> &args, const std::map<std::string, std::string> &env,
                                const std::string &input)
{
    return runVelk(args, velkOptions(env, input));
}

RunOptions VelkGatewayTest::velkOptions(const std::map<std::string, std::string> &env, const std::string &input)
{
    RunOptions o;
    o.env = {{"HOME", dir.path()},
             {"TZ", "UTC"},
             {"QUOR_CFG_FILE_PATH", dir.path()},
             {"QUOR_SERVER_HOST", "127.0.0.1/" + std::to_string(gw.port())},
             {"QUOR_HOSTNAME", "127.0.0.1"},
             {"QUOR_AUTH_METHOD", "keytab"},
             {"QUOR_PRINCIPAL", "demo"},
             {"QUOR_KEYTAB_PATH", dir / "demo.kt"}};
    for (const auto &[k, v] : env)
        o.env[k] = v;
    o.cwd = dir.path();
    o.input = input;
    return o;
}

} // namespace velktest
