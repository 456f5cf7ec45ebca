// Accounts, password entries, home directories and the umask against an
// in-process peer: each request's fields as the peer decoded them and the
// reply delivered to the caller, and the failure values.

#include "fileops_testutil.h"

namespace {

using fileopstest::Peer;
using fileopstest::runInSession;
using fileopstest::step;

TEST(Accounts, GetSetAndNameToCode)
{
    runInSession([](Peer &peer) {
        const kyl_xdrproc_t acctRply = KYL_XDRPROC(api_quor_GetAcct_rply_t, xdr_api_quor_GetAcct_rply_t);
        peer.expect(step<char>(CAT_FILESYS, FN_FS_GETACCT, nullptr, 0, acctRply, [] {
            static api_quor_GetAcct_rply_t r = {12, 34};
            return static_cast<void *>(&r);
        }));
        uint32_t def = 0, cur = 0;
        FCHECK(quor_GetAcct(&def, &cur) == 0);
        FCHECK(def == 12 && cur == 34);
        peer.expect(step<char>(CAT_FILESYS, FN_FS_GETACCT, nullptr, -EPERM, acctRply, [] {
            static api_quor_GetAcct_rply_t r = {1, 2};
            return static_cast<void *>(&r);
        }));
        FCHECK(quor_GetAcct(&def, &cur) == -EPERM && def == 12 && cur == 34);
        FCHECK(quor_GetAcct(nullptr, &cur) == -EFAULT);

        peer.expect(step<api_quor_SetAcct_req_t>(
            CAT_FILESYS, FN_FS_SETACCT,
            [](const api_quor_SetAcct_req_t *r, std::string &fail) { PCHECK(r->NewCurAcct == 0xFEDCBA98u); },
            -EACCES));
        FCHECK(quor_SetAcct(0xFEDCBA98u) == -EACCES);
        peer.expect(step<api_quor_SetAcctByName_req_t>(
            CAT_FILESYS, FN_FS_SETACCTBYNAME,
            [](const api_quor_SetAcctByName_req_t *r, std::string &fail) {
                PCHECK(strcmp(r->AcctName, "proj-x") == 0);
            },
            0));
        FCHECK(quor_SetAcctByName("proj-x") == 0);
        std::string tooLong(QUOR_ACCTNAME_SIZE, 'a');
        FCHECK(quor_SetAcctByName(tooLong.c_str()) == -ENAMETOOLONG);

        peer.expect(step<api_quor_AcctNameToCode_req_t>(
            CAT_FILESYS, FN_FS_ACCTNAMETOCODE,
            [](const api_quor_AcctNameToCode_req_t *r, std::string &fail) {
                PCHECK(strcmp(r->AcctName, "proj-y") == 0 && r->Site == 3);
            },
            0, KYL_XDRPROC(api_AcctNameToCode_rply_t, xdr_api_AcctNameToCode_rply_t), [] {
                static api_AcctNameToCode_rply_t r = {4711};
                return static_cast<void *>(&r);
            }));
        uint32_t code = 0;
        FCHECK(quor_AcctNameToCode("proj-y", 3, &code) == 0 && code == 4711);
        FCHECK(quor_AcctNameToCode("proj-y", 3, nullptr) == -EFAULT);
        FCHECK(peer.served() == 5);
        return 0;
    });
}

TEST(Accounts, PasswordEntryHomeDirectoryAndUmask)
{
    runInSession([](Peer &peer) {
        peer.expect(step<api_getpwent_req_t>(
            CAT_USER, FN_USER_GETPWENT,
            [](const api_getpwent_req_t *r, std::string &fail) { PCHECK(r->uname[0] == '\0'); }, 0,
            KYL_XDRPROC(api_getpwent_rply_t, xdr_api_getpwent_rply_t), [] {
                static api_getpwent_rply_t r = {};
                snprintf(r.pw_name, sizeof r.pw_name, "%s", "carol");
                snprintf(r.pw_passwd, sizeof r.pw_passwd, "%s", "x");
                r.pw_uid = 1234;
                r.pw_gid = 99;
                snprintf(r.pw_gecos, sizeof r.pw_gecos, "%s", "Carol C");
                snprintf(r.pw_dir, sizeof r.pw_dir, "%s", "/home/carol");
                snprintf(r.pw_shell, sizeof r.pw_shell, "%s", "/bin/sh");
                return static_cast<void *>(&r);
            }));
        quor_passwd_t pw;
        memset(&pw, 0x55, sizeof pw);
        FCHECK(quor_GetPwent("", &pw) == 0);
        FCHECK(strcmp(pw.pw_name, "carol") == 0 && strcmp(pw.pw_passwd, "x") == 0);
        FCHECK(pw.pw_uid == 1234 && pw.pw_gid == 99);
        FCHECK(strcmp(pw.pw_gecos, "Carol C") == 0 && strcmp(pw.pw_dir, "/home/carol") == 0);
        FCHECK(strcmp(pw.pw_shell, "/bin/sh") == 0);
        peer.expect(step<api_getpwent_req_t>(
            CAT_USER, FN_USER_GETPWENT,
            [](const api_getpwent_req_t *r, std::string &fail) { PCHECK(strcmp(r->uname, "nobody9") == 0); },
            -ENOENT));
        FCHECK(quor_GetPwent("nobody9", &pw) == -ENOENT);
        FCHECK(quor_GetPwent(nullptr, &pw) == -EFAULT);

        const kyl_xdrproc_t homeRply = KYL_XDRPROC(api_lookup_homedir_rply_t, xdr_api_lookup_homedir_rply_t);
        auto home = [] {
            static api_lookup_homedir_rply_t r = {};
            snprintf(r.homeDir, sizeof r.homeDir, "%s", "/u/dave");
            return static_cast<void *>(&r);
        };
        auto checkPrincipal = [](const api_lookup_homedir_req_t *r, std::string &fail) {
            PCHECK(strcmp(r->principal, "dave") == 0);
        };
        peer.expect(step<api_lookup_homedir_req_t>(CAT_USER, FN_USER_LOOKUPHOMEDIR, checkPrincipal, 0, homeRply, home));
        char buf[32] = {};
        FCHECK(quor_LookupHomeDir("dave", buf, sizeof buf) == 0 && strcmp(buf, "/u/dave") == 0);
        peer.expect(step<api_lookup_homedir_req_t>(CAT_USER, FN_USER_LOOKUPHOMEDIR, checkPrincipal, 0, homeRply, home));
        char tiny[7];
        FCHECK(quor_LookupHomeDir("dave", tiny, sizeof tiny) == -ERANGE);

        const kyl_xdrproc_t umaskRply = KYL_XDRPROC(api_quor_Umask_rply_t, xdr_api_quor_Umask_rply_t);
        peer.expect(step<api_quor_Umask_req_t>(
            CAT_FILESYS, FN_FS_UMASK,
            [](const api_quor_Umask_req_t *r, std::string &fail) { PCHECK(r->CMask == 027); }, 0, umaskRply, [] {
                static api_quor_Umask_rply_t r = {022};
                return static_cast<void *>(&r);
            }));
        FCHECK(quor_Umask(027) == 022);
        // A failed request gives 0, even when the reply carries a mask.
        peer.expect(step<api_quor_Umask_req_t>(CAT_FILESYS, FN_FS_UMASK, nullptr, -EIO, umaskRply, [] {
            static api_quor_Umask_rply_t r = {022};
            return static_cast<void *>(&r);
        }));
        FCHECK(quor_Umask(077) == 0);
        FCHECK(peer.served() == 6);
        return 0;
    });
}

} // namespace
