#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "install_tree.h"
#include "common/handles.h"

using namespace testsupport;

// Each test uses a product of its own, so tests running side by side never
// share a data folder or a log.

// extrun-check, run first with the same arguments, names what the launcher then does (the line it
// logs, or the call, which gets the whole command line, and the exit code --exitcode=1 asks for)
// and leaves no trace itself, but for the switch file it makes and removes when asked.
TEST(ExtensionJob, EachRefusalLogsItsLineAndACallGetsTheWholeCommandLineAsExtrunCheckForetold) {
    InstallTree tree(L"Cindrew.exe", RoamingData(L"Cindrew"));
    ASSERT_TRUE(tree.Add(L"e2e_ext_unsigned.dll", L"ext\\unsigned.dll"));
    ASSERT_TRUE(tree.Add(L"ext_record_tampered.dll", L"ext\\tampered.dll"));
    ASSERT_TRUE(tree.Add(L"ext_record_case.dll", L"ext\\near.dll"));
    ASSERT_TRUE(tree.Add(L"ext_record_ca_unaccepted.dll", L"ext\\far.dll"));
    ASSERT_TRUE(tree.Add(L"ext_record32.dll", L"ext\\x86.dll"));
    ASSERT_TRUE(tree.Add(L"e2e_ext_importing.dll", L"ext\\importing.dll"));
    // The DLL that e2e_dep.dll imports lies in a folder of PATH, where both programs look for it.
    wchar_t path[4096] = L"";
    GetEnvironmentVariableW(L"PATH", path, 4096);
    SetEnvironmentVariableW(L"PATH", (tree.Path(L"lib") + L";" + path).c_str());
    ASSERT_TRUE(MakeDirs(tree.Path(L"lib")) && tree.Add(L"e2e_dep2.dll", L"lib\\e2e_dep2.dll"));
    // Also under names the loader reads otherwise, beside the unsigned DLL it would take instead.
    const std::wstring blank = L"\\\\?\\" + tree.Path(L"ext\\blank.dll ");
    for (const wchar_t* name :
         {L"held.dll", L"e2e_ext.dll", L"LaunchModule.tpi", L"plugin", L"version.dll",
          L"msimg32.dll", L"comctl32.dll", L"extrun.exe", L"extrun-check.exe"})
        ASSERT_TRUE(tree.Add(L"e2e_ext.dll", std::wstring(L"ext\\") + name));
    ASSERT_TRUE(CopyTo(BinPath(L"e2e_ext.dll"), blank));
    for (const wchar_t* name : {L"ext\\plugin.dll", L"ext\\blank.dll"})
        ASSERT_TRUE(tree.Add(L"ext_record_unsigned.dll", name));
    ASSERT_TRUE(MakeDirs(tree.Path(L"ext\\folder.dll")));
    ASSERT_TRUE(WriteBytes(tree.Path(L"ext\\text.dll"), "not an image"));
    std::string output;
    EXPECT_EQ(tree.Check(L"", &output) + tree.Check(L"--log=maybe", &output), 4u);
    EXPECT_EQ(
        tree.Check(L"--help", &output) + tree.Check(L"-h", &output) + tree.Check(L"/?", &output),
        0u);
    EXPECT_EQ(output.find("usage: extrun-check --dll=PATH"), 0u) << output;
    EXPECT_EQ(tree.Check(L"--signers", &output), 0u);
    EXPECT_EQ(SplitLines(output).size(), 23u) << output;
    EXPECT_EQ(SplitLines(output)[22], "Galwick Digital Office Systems Co., Ltd.");
    EXPECT_EQ(tree.Check(L"--param=AAAA --dll=ext\\e2e_ext.dll --entry=Run", &output), 2u);
    EXPECT_NE(output.find("extrun-pack --dump"), std::string::npos) << output;
    EXPECT_EQ(tree.Check(L"--dll=ext\\e2e_ext.dll --entry=Run", &output), 0u);
    EXPECT_FALSE(Exists(RoamingData(L"Cindrew"))) << output;
    EXPECT_NE(output.find("\r\nproduct: Cindrew (70), recognised by its main program "),
              std::string::npos);
    EXPECT_EQ(tree.Check(L"--log=on", &output), 0u);
    const std::string root = ToUtf8(tree.Root());
    const std::wstring longPath = tree.Path(L"ext\\") + std::wstring(300, L'y');
    const std::wstring exact = longPath.substr(0, 255) + L".dll";
    ASSERT_TRUE(tree.Add(L"e2e_ext.dll", exact.substr(tree.Root().size() + 1)));
    struct Case {
        std::wstring arguments;
        std::string line;     // none: the launcher logs nothing,
        std::string verdict;  // and extrun-check's verdict says what happens
        std::string shown;    // steps extrun-check also shows, parted by |
        bool held = false;    // open for writing by another process all along
        std::wstring dep;     // where e2e_dep.dll lies meanwhile, places parted by |
    } cases[] = {
        // The logger's level commands are the extension's: the launcher's log goes on. Only
        // --exitcode=1 gives the outcome's exit code (every case but this one has it added).
        {L"--dll=ext\\missing.dll --entry=Run --set_log_lev=3 --reload_log_switch --exitcode=yes",
         "[I][  32][runner] PathFileExists: " + root + "\\ext\\missing.dll", "",
         "signature: not checked: no such file\r\nsigner: not read\r\nimage: not read: no file\r\n"
         "exit code: 0 (with --exitcode=1: 11)|uploader: " +
             root.substr(0, root.rfind('\\')) + "\\FaultSend.exe (not there"},
        {L"--dll=ext\\unsigned.dll --entry=Run",
         "[I][  37][runner] HasMsSign Failed: " + root + "\\ext\\unsigned.dll", "",
         "signature: 0x800B0100 TRUST_E_NOSIGNATURE, refused\r\n"
         "signer: not read, as the status refuses the file\r\n"},
        {L"--dll=ext\\tampered.dll --entry=Run",
         "[I][  37][runner] HasMsSign Failed: " + root + "\\ext\\tampered.dll", "",
         "signature: 0x80096010 TRUST_E_BAD_DIGEST, refused"},
        {L"--dll=ext\\near.dll --entry=Run",
         "[I][  37][runner] HasMsSign Failed: " + root + "\\ext\\near.dll", "",
         "signer: \"Tessaly Software Technology Co., LTD.\", not accepted; nearest accepted "
         "\"Tessaly Software Technology Co., Ltd.\" differs in letter case (2 edits)\r\n"
         "pin: none: this build pins no publisher keys, names alone decide\r\n"},
        {L"--dll=ext\\far.dll --entry=Run",
         "[I][  37][runner] HasMsSign Failed: " + root + "\\ext\\far.dll", "",
         "signer: \"Tessaly Test Laboratory\", not accepted; no accepted name is near it"},
        // A line break in a path cannot start a log line of its own.
        {L"\"--dll=ext\\no.dll\n12-07 09:00:00.000 [ 4321][  876][I][  44][runner] x\" --entry=Run",
         "[I][  32][runner] PathFileExists: " + root +
             "\\ext\\no.dll<U+000A>12-07 09:00:00.000 [ 4321][  876][I][  44][runner] x"},
        {L"--dll=ext\\held.dll --entry=Run",
         "[I][  37][runner] HasMsSign Failed: " + root + "\\ext\\held.dll", "",
         "image: 64-bit (AMD64), a DLL|open for writing)\r\nsigner: not read\r\n", true},
        {L"--dll=ext\\folder.dll --entry=Run",
         "[I][  37][runner] HasMsSign Failed: " + root + "\\ext\\folder.dll", "",
         "image: not read: no file that can be opened|folder.dll (a folder)\r\n"},
        {L"--dll=ext\\text.dll --entry=Run",
         "[I][  37][runner] HasMsSign Failed: " + root + "\\ext\\text.dll", "",
         "image: not loadable: shorter than a DOS header"},
        {L"--dll=ext\\x86.dll --entry=Run",
         "[I][  44][runner] LoadLibrary Failed: " + root + "\\ext\\x86.dll", "",
         "image: 32-bit (i386)"},
        // Reported in UTF-8, whatever the launcher looked for in the ANSI code page.
        {L"--dll=ext\\e2e_ext.dll --entry=R\u00fcn", "", "no export " + ToUtf8(L"R\u00fcn")},
        {L"--dll=ext\\e2e_ext.dll", "", "nothing (empty --dll or --entry)",
         "image: not read: nothing to run\r\n"},
        // The extension sees the whole command line; the name loads without its final ".".
        {L"--dll=ext\\e2e_ext.dll. --entry=Run --own-option=\"x y\" --dumpid=", "", "call Run",
         "e2e_ext.dll\r\nimage: 64-bit (AMD64), a DLL; exports \"Run\"\r\nimports: system DLLs "
         "only\r\n|\", accepted\r\n"},
        // The legacy name is replaced by the new one, case-sensitively.
        {L"--dll=ext\\LNCH.tpi --entry=Run", "", "call Run",
         "ext\\LaunchModule.tpi (the legacy name LNCH.tpi replaced) -> " + root +
             "\\ext\\LaunchModule.tpi (exists)\r\n"},
        {L"--dll=ext\\lnch.tpi --entry=Run",
         "[I][  32][runner] PathFileExists: " + root + "\\ext\\lnch.tpi"},
        {L"--dll=ext\\" + std::wstring(300, L'z') + L" --entry=Run",
         "[I][  32][runner] PathFileExists: ", "",
         " -> nothing (joined to the install folder it passes 259 units) (missing)"},
        // An absolute path is cut after 259 units.
        {L"--dll=" + longPath + L" --entry=Run",
         "[I][  32][runner] PathFileExists: " + ToUtf8(longPath.substr(0, 259)), "",
         " (cut to 259 units) (missing)"},
        {L"--dll=" + exact + L"x --entry=Run", "", "call Run", " (cut to 259 units)"},
        // A final "." keeps the loader from adding ".dll"; Win32 drops a trailing blank that only
        // a literal "\\?\" name keeps.
        {L"--dll=ext\\plugin --entry=Run", "", "call Run", "load: " + root + "\\ext\\plugin.\r\n"},
        {L"\"--dll=\\\"" + blank + L"\\\"\" --entry=Run",
         "[I][  37][runner] HasMsSign Failed: " + ToUtf8(blank), "",
         "load: refused: the name, read as the loader reads it, opens another file or none"},
        // Wine hands out the loaded version.dll, and maps its own msimg32.dll for the file, where
        // Windows loads the file its full path names.
        {L"--dll=ext\\version.dll --entry=Run",
         "[I][  44][runner] LoadLibrary Failed: " + root + "\\ext\\version.dll", "",
         "load: refused: a module of that name is already loaded"},
        {L"--dll=ext\\msimg32.dll --entry=Run",
         IsWine() ? "[I][  44][runner] LoadLibrary Failed: " + root + "\\ext\\msimg32.dll" : "",
         "call Run"},
        // The launcher's own modules decide, not extrun-check's: the launcher itself, and the
        // common controls it loads at start.
        {L"--dll=ext\\extrun.exe --entry=Run",
         "[I][  44][runner] LoadLibrary Failed: " + root + "\\ext\\extrun.exe"},
        {L"--dll=ext\\comctl32.dll --entry=Run",
         "[I][  44][runner] LoadLibrary Failed: " + root + "\\ext\\comctl32.dll"},
        {L"--dll=ext\\extrun-check.exe --entry=Run", "", "call Run"},
        // The extension's own DLL is looked for beside the launcher, not beside the extension.
        {L"--dll=ext\\importing.dll --entry=Run",
         "[I][  44][runner] LoadLibrary Failed: " + root + "\\ext\\importing.dll", "",
         "import: e2e_dep.dll: missing: not in the launcher's folder, the system or Windows "
         "folders, the current folder or a folder of PATH; " +
             root + "\\ext\\e2e_dep.dll lies beside the extension, where the loader does not look",
         false, L"ext\\e2e_dep.dll"},
        {L"--dll=ext\\importing.dll --entry=Run", "", "call Run",
         "import: e2e_dep.dll: " + root + "\\bin\\e2e_dep.dll (the launcher's folder)\r\n" +
             "import: e2e_dep2.dll (for e2e_dep.dll): " + root +
             "\\lib\\e2e_dep2.dll (a folder of PATH)\r\n",
         false, L"bin\\e2e_dep.dll|C:\\windows\\e2e_dep.dll"},
        {L"--dll=ext\\importing.dll --entry=Run", "", "call Run",
         "import: e2e_dep.dll: " + root + "\\e2e_dep.dll (the current folder)\r\n", false,
         L"e2e_dep.dll"},
        {L"--dll=ext\\importing.dll --entry=Run", "", "call Run",
         "import: e2e_dep.dll: C:\\windows\\e2e_dep.dll (the Windows folder)\r\n", false,
         L"C:\\windows\\e2e_dep.dll"},
        // The uploader gets 259 units of a longer source name, even one unit longer.
        {L"--dll=ext\\e2e_ext.dll --entry=Run --dumpid=" + std::wstring(260, L'd'), "", "call Run",
         "\r\ncrash source: " + std::string(259, 'd') +
             " (from --dumpid; the uploader gets its first 259 of 260 units)\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToUtf8(c.arguments));
        DeleteFileW(tree.LogPath().c_str());
        std::vector<std::wstring> deps;
        for (const std::string& dep : SplitLines(ToUtf8(c.dep), "|"))
            deps.push_back(dep.find(':') == std::string::npos ? tree.Path(FromUtf8(dep))
                                                              : FromUtf8(dep));
        for (const std::wstring& dep : deps) ASSERT_TRUE(CopyTo(BinPath(L"e2e_dep.dll"), dep));
        // The verdict names the log line as it stands after the record's prefix.
        const std::string logged =
            c.line.empty() ? "" : "refused " + c.line.substr(c.line.find("] ") + 2);
        const std::string verdict = c.verdict.empty() ? logged : c.verdict;
        const bool askCode = c.arguments.find(L"--exitcode") == std::wstring::npos;
        const std::wstring arguments = c.arguments + (askCode ? L" --exitcode=1" : L"");
        // The code --exitcode=1 asks for, by what a verdict says: extrun-check's, and the
        // launcher's, which is the same but where it logs a refusal extrun-check did not foresee.
        const auto codeOf = [askCode](const std::string& said) -> DWORD {
            const std::string outcome = said.substr(0, said.find_first_of(":("));
            return !askCode                                  ? 0
                   : outcome == "call Run"                   ? 0
                   : outcome == "nothing "                   ? 10
                   : outcome == "refused PathFileExists"     ? 11
                   : outcome == "refused HasMsSign Failed"   ? 12
                   : outcome == "refused LoadLibrary Failed" ? 13
                                                             : 14;
        };
        const DWORD code = codeOf(c.line.empty() ? verdict : logged);
        UniqueFileHandle writer(
            c.held ? CreateFileW(tree.Path(L"ext\\held.dll").c_str(), GENERIC_ALL,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr)
                   : INVALID_HANDLE_VALUE);
        const bool called = c.line.empty() && c.verdict == "call Run";
        EXPECT_EQ(tree.Check(arguments, &output), c.verdict == "call Run" ? 0u : 1u);
        EXPECT_FALSE(Exists(tree.LogPath()));
        EXPECT_EQ(tree.Run(arguments), code);
        EXPECT_NE(output.find("\r\nexit code: " + std::to_string(codeOf(verdict))),
                  std::string::npos);

        std::vector<std::string> expected{"-------log start", c.line, "-------log end"};
        if (c.line.empty()) expected.erase(expected.begin() + 1);
        EXPECT_EQ(LogBodies(tree.ReadLog()), expected);
        const std::wstring received = tree.Path(L"ext\\received.txt");
        EXPECT_EQ(ReadWide(received),
                  called ? L"\"" + tree.Launcher() + L"\" " + arguments : L"<missing>");
        DeleteFileW(received.c_str());
        EXPECT_NE(output.find("\r\nverdict: " + verdict + "\r\n"), std::string::npos) << output;
        for (const std::string& shown : SplitLines(c.shown, "|"))
            EXPECT_NE(output.find(shown), std::string::npos) << output;
        for (const std::wstring& dep : deps) DeleteFileW(dep.c_str());
    }
    // Switched off, the launcher writes no log.
    DeleteFileW(tree.LogPath().c_str());
    EXPECT_EQ(tree.Check(L"--log=off", &output), 0u);
    EXPECT_EQ(tree.Check(L"--log=off", &output), 0u) << "off already: " << output;
    EXPECT_EQ(tree.Run(L"--dll=ext\\missing.dll --entry=Run"), 0u);
    EXPECT_FALSE(Exists(tree.LogPath())) << output;
}

// Pinned to the test CA's key, only a DLL signed under an accepted name through a chain that
// reaches that CA keeping every rule loads, and only itself, never the unsigned x.dll beside it
// that the loader would take for it by another name; extrun-check names the certificate and the
// rule that refuse one. The launcher without pins loads the others too (see the refusal table).
TEST(ExtensionJob, APinnedLauncherLoadsOnlyWhatItsPublishersKeySigned) {
    const std::tuple<const wchar_t*, const wchar_t*, bool, const char*> cases[] = {
        {L"ext_record_ca.dll", L"y.dll", true,
         " matched, of 2 pinned\r\nchain: every certificate from the signer's (0) to the pinned "
         "one (1) keeps every rule\r\n"},
        {L"ext_record.dll", L"y.dll", false, "none of the 2 pinned keys matched"},
        {L"ext_record_ca_other.dll", L"y.dll", false, "none of the 2 pinned keys matched"},
        // Through sub-CAs, and through chains that break a rule (chain.sh).
        {L"ext_record_sub_ca.dll", L"y.dll", true, "(0) to the pinned one (2) keeps every rule"},
        {L"ext_record_two_sub_cas.dll", L"y.dll", true, "(0) to the pinned one (3) keeps every"},
        {L"ext_record_forged.dll", L"y.dll", false,
         "(the signer's is 0, the pinned one 1) breaks the rule: signed by the key of the "
         "certificate above it, and naming that one's subject as its issuer; refused\r\n"},
        {L"ext_record_claims_self.dll", L"y.dll", false,
         "1 \"Extrun Sub-CA 2\" (the signer's is 0, the pinned one 3) breaks the rule: signed by"},
        {L"ext_record_leaf_issued.dll", L"y.dll", false,
         "1 \"Extrun Sub-CA 1\" (the signer's is 0, the pinned one 2) breaks the rule: a CA ("},
        {L"ext_record_path_len.dll", L"y.dll", false,
         "1 \"Extrun Sub-CA 2\" (the signer's is 0, the pinned one 3) breaks the rule: within the "
         "path length that every CA above it allows (CAs"},
        {L"ext_record_self_issued.dll", L"y.dll", true, "(0) to the pinned one (3) keeps every"},
        {L"ext_record_ca_server_eku.dll", L"y.dll", false,
         "1 \"Extrun Sub-CA 1\" (the signer's is 0, the pinned one 2) breaks the rule: an extended "
         "key usage allowing code signing"},
        {L"ext_record_leaf_server_eku.dll", L"y.dll", false,
         "(the signer's is 0, the pinned one 1) breaks the rule: an extended key usage"},
        {L"ext_record_leaf_no_eku.dll", L"y.dll", false, "one 2) breaks the rule: an extended key"},
        {L"ext_record_ca_no_cert_sign.dll", L"y.dll", false, "one 2) breaks the rule: a key usage"},
        {L"ext_record_name_constraints.dll", L"y.dll", false, "one 2) breaks the rule: name cons"},
        {L"ext_record_nc_within.dll", L"y.dll", true, "(0) to the pinned one (2) keeps every"},
        {L"ext_record_org_name.dll", L"y.dll", true, "(0) to the pinned one (2) keeps every"},
        {L"ext_record_nc_33.dll", L"y.dll", false, "one 2) breaks the rule: name cons"},
        {L"ext_record_nc_dns.dll", L"y.dll", false, "one 2) breaks the rule: name cons"},
        {L"ext_record_nc_alt_name.dll", L"y.dll", false,
         "1 \"Extrun Sub-CA 2\" (the signer's is 0, the pinned one 3) breaks the rule: name cons"},
        {L"ext_record_nc_32.dll", L"y.dll", true, "(0) to the pinned one (2) keeps every"},
        {L"ext_record_nc_multi_rdn.dll", L"y.dll", false, "one 2) breaks the rule: name cons"},
        {L"ext_record_nc_bounds.dll", L"y.dll", false, "one 2) breaks the rule: name cons"},
        {L"ext_record_nc_self_signer.dll", L"y.dll", false, "one 2) breaks the rule: name cons"},
        {L"ext_record_pin_path_len.dll", L"y.dll", false, "one 2) breaks the rule: within the"},
        {L"ext_record_pin_nc.dll", L"y.dll", false, "one 1) breaks the rule: name cons"},
        {L"ext_record_nc_first_rdn.dll", L"y.dll", false, "one 2) breaks the rule: name cons"},
        {L"ext_record_nc_excluded_bmp.dll", L"y.dll", false, "one 2) breaks the rule: name cons"},
        {L"ext_record_nc_malformed.dll", L"y.dll", false,
         "Sub-CA 1\" (the signer's is 0, the "
         "pinned one 2) breaks the rule: no critical"},
        {L"ext_record_ku_bit13.dll", L"y.dll", false,
         "1 \"Extrun Sub-CA 1\" (the signer's is 0, "
         "the pinned one 2) breaks the rule: a key usage"},
        {L"ext_record_ku_decipher.dll", L"y.dll", true, "(0) to the pinned one (2) keeps every"},
        {L"ext_record_unknown_critical.dll", L"y.dll", false, "2) breaks the rule: no critical"},
        {L"ext_record_md5.dll", L"y.dll", false,
         "(the signer's is 0, the pinned one 2) breaks the rule: signed with SHA-256"},
        {L"ext_record_sha1.dll", L"y.dll", false,
         "1 \"Extrun Sub-CA 1\" (the signer's is 0, the pinned one 2) breaks the rule: signed "
         "with"},
        {L"ext_record_rsa_1024.dll", L"y.dll", false,
         "(the signer's is 0, the pinned one 2) breaks the rule: an RSA key of at least 2048 bits"},
        {L"ext_record_nc_excluded_universal.dll", L"y.dll", false,
         "one 2) breaks the rule: name cons"},
        {L"ext_record_k256_sub_ca.dll", L"y.dll", false,
         "1 \"Extrun Sub-CA 1\" (the signer's is 0, the pinned one 2) breaks the rule: an RSA key"},
        {L"ext_record_rsa_2041_sub_ca.dll", L"y.dll", false,
         "1 \"Extrun Sub-CA 1\" (the signer's is 0, the pinned one 2) breaks the rule: an RSA key"},
        {L"ext_record_digest_md5.dll", L"y.dll", false,
         "(the signer's is 0, the pinned one 2) breaks the rule: a signature digesting the file"},
        {L"ext_record_digest_sha1.dll", L"y.dll", false, "one 2) breaks the rule: a signature dig"},
        {L"ext_record_leaf_key_encipherment.dll", L"y.dll", false,
         "(the signer's is 0, the pinned one 2) breaks the rule: a key usage, where it has one"},
        {L"ext_record_leaf_cert_sign.dll", L"y.dll", false,
         "(the signer's is 0, the pinned one 2) breaks the rule: a key usage, where it has one"},
        {L"ext_record_leaf_ca.dll", L"y.dll", false,
         "(the signer's is 0, the pinned one 2) breaks the rule: a CA (basic"},
        {L"ext_record_policy_required.dll", L"y.dll", false,
         "1 \"Extrun Sub-CA 1\" (the signer's is 0, the pinned one 2) breaks the rule: no policy"},
        {L"ext_record_policy_other.dll", L"y.dll", false, "one 2) breaks the rule: no policy"},
        {L"ext_record_policy_mappings.dll", L"y.dll", false, "one 2) breaks the rule: no policy"},
        {L"ext_record_inhibit_any.dll", L"y.dll", false, "one 2) breaks the rule: no policy"},
        {L"ext_record_ca.dll", L"x", true, "\\ext\\x.\r\n"},
        {L"ext_record_ca.dll", L"x.dll ", false, "load: refused: the name, read as the loader"},
    };
    int notCheckedOnWindows = 0;
    for (const auto& [extension, name, loads, shown] : cases) {
        InstallTree tree(L"Tessaly.exe", RoamingData(L"Tessaly"), L"extrun_pinned.exe");
        // Made and given by its literal name, which keeps a trailing blank.
        const std::wstring dll = L"\\\\?\\" + tree.Path(L"ext\\") + name;
        SCOPED_TRACE(ToUtf8(extension) + " as " + ToUtf8(dll));
        ASSERT_TRUE(CopyTo(BinPath(extension), dll));
        ASSERT_TRUE(tree.Add(L"ext_record_unsigned.dll", L"ext\\x.dll"));
        // extrun-check built with the same pins tells which key matched, if any.
        ASSERT_TRUE(tree.Add(L"extrun-check_pinned.exe", L"bin\\extrun-check.exe"));
        const std::wstring arguments = L"\"--dll=\\\"" + dll + L"\\\"\" --entry=Run";
        std::string output;
        EXPECT_EQ(tree.Check(arguments, &output), loads ? 0u : 1u);
        // Windows refuses a chain that breaks a rule too, but may do so in WinVerifyTrust, with a
        // status not known here, before extrun-check reaches the rule.
        if (!IsWine() && std::string(shown).find("breaks the rule") != std::string::npos)
            ++notCheckedOnWindows;
        else
            EXPECT_NE(output.find(shown), std::string::npos) << output;
        tree.EnableLog();
        EXPECT_EQ(tree.Run(arguments), 0u);
        std::vector<std::string> log = {"-------log start", "-------log end"};
        if (!loads)
            log.insert(log.begin() + 1, "[I][  37][runner] HasMsSign Failed: " + ToUtf8(dll));
        EXPECT_EQ(LogBodies(tree.ReadLog()), log);
        EXPECT_EQ(loads, Exists(dll + L".attached"));
        EXPECT_FALSE(Exists(tree.Path(L"ext\\x.dll.attached")));
    }
    if (notCheckedOnWindows > 0)
        GTEST_SKIP() << "not checked on Windows: the rule extrun-check names for "
                     << notCheckedOnWindows << " chains that break one";
}

// Signed images whose tables are made to fool a reader of them (hostile_image.py): extrun-check
// foretells what the launcher then does, the loader's own faults included, shows what it read
// of the file with its controls escaped, and says "call" only where the entry is called.
TEST(ExtensionJob, ExtrunCheckForetellsWhatTheLoaderDoesWithImagesMadeToFoolIt) {
    const std::tuple<const wchar_t*, DWORD, const char*, const char*> cases[] = {
        {L"e2e_forward_text.dll", 14, "no export Run",
         "forwarded -> x.y<U+000D><U+000A>signature: 0x00000000 ERROR_SUCCESS, tolerated<U+000D>"
         "<U+000A>verdict: call Run: x.dll is missing"},
        {L"e2e_forward_missing.dll", 14, "no export Run",
         "forwarded -> extrun_nosuch.Run: extrun_nosuch.dll is missing"},
        {L"e2e_forward_report.dll", 0, "call Run", "forwarded -> e2e_forward_report.Report (in "},
        {L"e2e_forward_self.dll", 0xC00000FD, "crash in the loader",
         "forwarded -> e2e_forward_self.Run: back at an export already followed|exit code: "
         "none: the process ends in 0xC00000FD"},
        {L"e2e_imports_1025.dll", 13,
         "refused LoadLibrary Failed: ", "import: extrun_nosuch.dll: missing"},
        {L"e2e_imports_outside.dll", 0xC0000005, "crash in the loader",
         "imports: the import directory or a name in it lies outside the image|exit code: none: "
         "the process ends in 0xC0000005"},
    };
    for (const auto& [file, code, verdict, shown] : cases) {
        InstallTree tree(L"Zemprow.exe", RoamingData(L"Zemprow"));
        SCOPED_TRACE(ToUtf8(file));
        ASSERT_TRUE(tree.Add(file, std::wstring(L"ext\\") + file));
        const std::wstring arguments =
            std::wstring(L"--dll=ext\\") + file + L" --entry=Run --exitcode=1";
        std::string output;
        EXPECT_EQ(tree.Check(arguments, &output), code == 0 ? 0u : 1u);
        EXPECT_EQ(tree.Run(arguments), code);
        // One verdict, on the last line, whatever the file's texts hold.
        EXPECT_EQ(output.find("\r\nverdict: "), output.rfind("\r\nverdict: ")) << output;
        EXPECT_NE(output.find("\r\nverdict: " + std::string(verdict)), std::string::npos) << output;
        for (const std::string& line : SplitLines(shown, "|"))
            EXPECT_NE(output.find(line), std::string::npos) << output;
    }
}

TEST(ExtensionJob, WithoutTheSwitchFileNoLogIsWrittenAndALogOver100MiBStartsOver) {
    InstallTree tree(L"Galwick.exe", RoamingData(L"Galwick"));
    EXPECT_EQ(tree.Run(L"--dll=ext\\missing.dll --entry=Run"), 0u);
    EXPECT_FALSE(Exists(tree.LogPath()));

    // A sparse log just under the limit: this run's first line takes it over.
    tree.EnableLog();
    UniqueFileHandle file(
        CreateFileW(tree.LogPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    LARGE_INTEGER end;
    end.QuadPart = 100 * 1024 * 1024 - 10;
    ASSERT_TRUE(file && SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) &&
                SetEndOfFile(file.get()));
    file.reset();
    EXPECT_EQ(tree.Run(L"--dll=ext\\missing.dll --entry=Run"), 0u);
    EXPECT_EQ(LogBodies(tree.ReadLog()),
              (std::vector<std::string>{"-------log full reset", "-------log end"}));
}

TEST(ExtensionJob, WithNoProductRecognisedTheLogGoesToTheRootOfTheCurrentDrive) {
    InstallTree tree(L"not-a-product.exe", L"C:\\Log-unused");
    const std::wstring log = L"C:\\Log\\extrun.log";
    MakeDirs(L"C:\\Log");
    DeleteFileW(log.c_str());
    WriteBytes(log + L".on", "");
    EXPECT_EQ(tree.Run(L"--dll=ext\\missing.dll --entry=Run"), 0u);
    std::string text;
    EXPECT_EQ(tree.Check(L"--log=on", &text), 1u);
    EXPECT_EQ(tree.Check(L"--dll=ext\\missing.dll --entry=Run", &text), 1u);
    EXPECT_NE(text.find(ToUtf8(tree.Root()) + "\r\ndata folder: none, as no product is recognised"),
              std::string::npos)
        << text;
    // A product folder at the top of a drive: the last place for the uploader is C:\\FaultSend.exe.
    const std::wstring rootCheck = L"C:\\Log\\bin\\extrun-check.exe";
    MakeDirs(L"C:\\Log\\bin");
    CopyTo(BinPath(L"extrun-check.exe"), rootCheck);
    RunProcess(rootCheck + L" --dll=x --entry=Run", L"C:\\Log", 60000, rootCheck, &text);
    EXPECT_NE(text.find("\r\nuploader: C:\\\\FaultSend.exe (not there"), std::string::npos) << text;
    ReadBytes(log, &text);
    RemoveTree(L"C:\\Log");
    ASSERT_EQ(LogBodies(text).size(), 3u);
    EXPECT_EQ(LogBodies(text)[1],
              "[I][  32][runner] PathFileExists: " + ToUtf8(tree.Root()) + "\\ext\\missing.dll");
}
