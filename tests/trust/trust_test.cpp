#include <gtest/gtest.h>

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mssip.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "test_support.h"
#include "trust/fault_guard.h"
#include "trust/publisher_check.h"
#include "trust/trust_call.h"

// The test CA's pins (tests/fixtures/pinned.cmake): a retired key, then the CA's.
extern const trust::PublisherPins kTestCaPublisherPins;

namespace {

using testsupport::BinPath;
using testsupport::IsWine;
using testsupport::ToUtf8;

__attribute__((noinline)) void WriteThroughNull() {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

// A certificate that a fixture's signature carries (the first, or the one whose subject holds
// `subject`), kept until the process ends; null for an unsigned file.
PCCERT_CONTEXT Signer(const wchar_t* fixture, const wchar_t* subject = nullptr) {
    HCERTSTORE store = nullptr;
    CryptQueryObject(CERT_QUERY_OBJECT_FILE, BinPath(fixture).c_str(),
                     CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                     nullptr, nullptr, nullptr, &store, nullptr, nullptr);
    if (!store) return nullptr;
    PCCERT_CONTEXT certificate =
        subject ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR,
                                             subject, nullptr)
                : CertEnumCertificatesInStore(store, nullptr);
    CertCloseStore(store, 0);
    return certificate;
}

std::string Hex(const trust::PublisherKey& key) {
    std::string hex;
    for (unsigned char byte : key.bytes)
        hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
    return hex;
}

// Stands in for WinVerifyTrust while it lives: checks and counts every request, and hands it to
// the platform or, with `platform` false, answers `status` with `provider` as the trust state.
struct Seam {
    Seam() {
        active = this;
        trust::SetTrustCallForTesting(&Call);
    }
    ~Seam() { trust::SetTrustCallForTesting(nullptr); }

    bool platform = true;
    LONG status = ERROR_SUCCESS;
    HANDLE provider = nullptr;
    void (*inVerify)() = nullptr;  // run inside the verify call
    void (*inClose)() = nullptr;
    int calls = 0;
    LONG verifyStatus = 0;
    HANDLE verifiedState = nullptr;

    static inline Seam* active = nullptr;

    static LONG WINAPI Call(HWND window, GUID* action, LPVOID data) {
        Seam& seam = *active;
        auto* request = static_cast<WINTRUST_DATA*>(data);
        const bool verify = request->dwStateAction == WTD_STATEACTION_VERIFY;
        const GUID generic = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        EXPECT_TRUE(window == nullptr && IsEqualGUID(generic, *action));
        WINTRUST_DATA expected;
        std::memset(&expected, 0, sizeof(expected));
        expected.cbStruct = 80;
        expected.dwStateAction = verify ? WTD_STATEACTION_VERIFY : WTD_STATEACTION_CLOSE;
        expected.hWVTStateData = verify ? nullptr : seam.verifiedState;
        if (verify) {
            expected.dwUIChoice = WTD_UI_NONE;
            expected.fdwRevocationChecks = WTD_REVOKE_NONE;
            expected.dwUnionChoice = WTD_CHOICE_FILE;
            expected.pFile = request->pFile;
            expected.dwProvFlags = 0x1080;
            expected.dwUIContext = WTD_UICONTEXT_EXECUTE;
            const WINTRUST_FILE_INFO* file = request->pFile;
            EXPECT_TRUE(file && file->cbStruct == 32 && !file->hFile && !file->pgKnownSubject);
        }
        EXPECT_EQ(0, std::memcmp(&expected, request, 80)) << "request " << seam.calls;
        ++seam.calls;

        if (void (*body)() = verify ? seam.inVerify : seam.inClose) body();
        LONG result = seam.status;
        if (seam.platform)
            result = WinVerifyTrust(window, action, data);
        else if (verify)
            request->hWVTStateData = seam.provider;
        if (verify) {
            seam.verifyStatus = result;
            seam.verifiedState = request->hWVTStateData;
        }
        return result;
    }
};

// Signed under an accepted Chinese name, the longest accepted name (read whole), that name in
// other case or with a blank after it, not at all, then changed; by the test CA, another CA under
// that name, the test CA under a name not accepted, and through the chains of chain.sh, which
// reach the test CA's certificate: through one or two sub-CAs, from a key of anyone's under its
// name and key identifier, and through certificates that break a rule of certificate paths.
// Pinned to the test CA, only its sound chains under an accepted name pass.
TEST(VerifyPublisherSignature, AcceptsOnlyIntactSignaturesUnderAnAcceptedName) {
    const struct {
        const wchar_t* file;
        int result;
        LONG platformStatus;
        int calls;
        bool testCa;  // the test CA's key is in the chain
        bool broken = false;
    } cases[] = {
        {L"ext_record.dll", 1, ERROR_SUCCESS, 2},
        {L"ext_record_en.dll", 1, ERROR_SUCCESS, 2},
        {L"ext_record32.dll", 1, ERROR_SUCCESS, 2},
        {L"ext_record_case.dll", 0, ERROR_SUCCESS, 2},
        {L"ext_record_blank.dll", 0, ERROR_SUCCESS, 2},
        {L"ext_record_unsigned.dll", 0, TRUST_E_NOSIGNATURE, 1},
        {L"ext_record_tampered.dll", 0, TRUST_E_BAD_DIGEST, 1},
        {L"absent.dll", 0, ERROR_SUCCESS, 0},
        {L"ext_record_ca.dll", 1, ERROR_SUCCESS, 2, true},
        {L"ext_record_ca_other.dll", 1, ERROR_SUCCESS, 2},
        {L"ext_record_ca_unaccepted.dll", 0, ERROR_SUCCESS, 2, true},
        {L"ext_record_sub_ca.dll", 1, ERROR_SUCCESS, 2, true},
        {L"ext_record_two_sub_cas.dll", 1, ERROR_SUCCESS, 2, true},
        {L"ext_record_forged.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_leaf_issued.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_path_len.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_ca_server_eku.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_leaf_server_eku.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_leaf_no_eku.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_ca_no_cert_sign.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_name_constraints.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_unknown_critical.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_md5.dll", 1, CERT_E_UNTRUSTEDROOT, 2, true, true},
        {L"ext_record_sha1.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_nc_first_rdn.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_nc_excluded_bmp.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_nc_malformed.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_ku_bit13.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_ku_decipher.dll", 1, ERROR_SUCCESS, 2, true},
        {L"ext_record_self_issued.dll", 1, ERROR_SUCCESS, 2, true},
        {L"ext_record_nc_within.dll", 1, ERROR_SUCCESS, 2, true},
        {L"ext_record_org_name.dll", 1, ERROR_SUCCESS, 2, true},
        {L"ext_record_nc_33.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_nc_dns.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_claims_self.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_nc_alt_name.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_nc_32.dll", 1, ERROR_SUCCESS, 2, true},
        {L"ext_record_nc_multi_rdn.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_nc_bounds.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_nc_self_signer.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_pin_path_len.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_pin_nc.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_rsa_1024.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_rsa_2041_sub_ca.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_nc_excluded_universal.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_digest_md5.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_digest_sha1.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_leaf_key_encipherment.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_leaf_cert_sign.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_leaf_ca.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_policy_required.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_policy_other.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_policy_mappings.dll", 1, ERROR_SUCCESS, 2, true, true},
        {L"ext_record_inhibit_any.dll", 1, ERROR_SUCCESS, 2, true, true},
    };
    const trust::PublisherPins* const modes[] = {nullptr, &kTestCaPublisherPins};
    // Wine accepts every chain; Windows ends these at a root it does not trust, and what it says
    // of a chain that breaks a rule is not known here (README.md, Wine and Windows).
    int notCheckedOnWindows = 0;
    for (const auto& c : cases) {
        if (!IsWine() && c.broken) {
            ++notCheckedOnWindows;
            continue;
        }
        const LONG platformStatus = !IsWine() && c.calls == 2 && c.platformStatus == ERROR_SUCCESS
                                        ? CERT_E_UNTRUSTEDROOT
                                        : c.platformStatus;
        for (const trust::PublisherPins* pinned : modes) {
            SCOPED_TRACE(ToUtf8(c.file) + (pinned ? " pinned" : ""));
            trust::ScopedPublisherPinsForTesting pins(pinned);
            Seam seam;
            PublisherCheckDetails details;
            EXPECT_EQ(pinned ? c.result && c.testCa && !c.broken : c.result,
                      CheckPublisherSignature(BinPath(c.file).c_str(), nullptr, &details));
            EXPECT_EQ(c.calls, seam.calls);
            EXPECT_EQ(platformStatus, seam.verifyStatus);
            EXPECT_EQ(pinned ? 2 : 0, details.pinCount);
            EXPECT_EQ(pinned && c.testCa ? Hex(kTestCaPublisherPins.keys[1]) : "",
                      ToUtf8(details.matchedPin));
        }
    }
    Seam seam;
    EXPECT_EQ(0, VerifyPublisherSignature(nullptr) + VerifyPublisherSignature(L""));
    EXPECT_EQ(0, seam.calls);
    if (notCheckedOnWindows > 0)
        GTEST_SKIP() << "not checked on Windows: " << notCheckedOnWindows
                     << " chains that break a rule, whose status Windows' WinVerifyTrust does not "
                        "document";
}

// Trust state laid out as the platform lays it out, from the state handle to
// element 0 of simple chain 0 of signer 0; each case breaks one thing.
struct Provider {
    Provider() {
        element[0].pCertContext = Signer(L"ext_record.dll");
        signer.pChainContext = &chain;
        signer.psSigner = &signerInfo;
        sip.psIndirectData = &indirect;
        data.pPDSip = &sip;
        data.csSigners = 1;
        data.pasSigners = &signer;
    }
    // The signature's digests: of the signed attributes, and of the file.
    CMSG_SIGNER_INFO signerInfo = {0, {}, {}, {const_cast<char*>(szOID_NIST_sha256)}};
    SIP_INDIRECT_DATA indirect = {{}, {const_cast<char*>(szOID_NIST_sha512)}};
    PROVDATA_SIP sip = {};
    CERT_CHAIN_ELEMENT element[3] = {};
    PCERT_CHAIN_ELEMENT elements[3] = {&element[0], &element[1], &element[2]};
    CERT_SIMPLE_CHAIN simple = {0, {}, 1, elements};  // size, status, count, elements
    PCERT_SIMPLE_CHAIN simples[1] = {&simple};
    CERT_CHAIN_CONTEXT chain = {0, {}, 1, simples};
    CRYPT_PROVIDER_SGNR signer = {};
    CRYPT_PROVIDER_DATA data = {};
};

// The chain of ext_record_ca.dll: its signer's certificate and, as element `at` of a chain of
// `count`, the test CA's, the elements between them left without a certificate; element `marked`
// carries the chain engine's `marks` (by default, those of a signature that is not valid).
template <int at, int count, int marked = -1, DWORD marks = CERT_TRUST_IS_NOT_SIGNATURE_VALID>
void PinnedIssuerAt(Seam&, Provider& p) {
    p.element[0].pCertContext = Signer(L"ext_record_ca.dll", L"北京");
    p.element[at].pCertContext = Signer(L"ext_record_ca.dll", L"Extrun Test CA");
    p.simple.cElement = count;
    if (marked >= 0) p.element[marked].TrustStatus.dwErrorStatus = marks;
}

// Element 0's certificate copied with its details changed; kept until the process ends.
void ChangeSigner(Provider& p, void (*change)(CERT_INFO&)) {
    auto* info = new CERT_INFO(*p.element[0].pCertContext->pCertInfo);
    change(*info);
    auto* copy = new CERT_CONTEXT(*p.element[0].pCertContext);
    copy->pCertInfo = info;
    p.element[0].pCertContext = copy;
}

// The signer's certificate under a name `units` long.
template <size_t units>
void SignerNamed(Seam&, Provider& p) {
    ChangeSigner(p, [](CERT_INFO& info) {
        static BYTE encoded[1024];
        DWORD size = sizeof(encoded);
        CertStrToNameW(X509_ASN_ENCODING, (L"CN=" + std::wstring(units, L'n')).c_str(),
                       CERT_X500_NAME_STR, nullptr, encoded, &size, nullptr);
        info.Subject = {size, encoded};
    });
}

// Statuses and chains Windows gives and Wine never does, faults inside the guarded region, and
// which of them still close the trust state. A name filling the 512 units kept for it was cut:
// it counts as unread, not as the shorter name.
TEST(VerifyPublisherSignature, RefusesAnyOtherStatusABrokenChainOrAFault) {
    const struct {
        const char* what;
        void (*change)(Seam&, Provider&);
        int result;
        int calls;
        const trust::PublisherPins* pins;
        int signerUnits = -1;  // the name's length as read, unread as 0
    } cases[] = {
        {"success", [](Seam&, Provider&) {}, 1, 2},
        {"a name of 510 units", &SignerNamed<510>, 0, 2, nullptr, 510},
        {"a name of 511 units", &SignerNamed<511>, 0, 2, nullptr, 0},
        {"CERT_E_EXPIRED", [](Seam& s, Provider&) { s.status = CERT_E_EXPIRED; }, 1, 2},
        {"CERT_E_UNTRUSTEDROOT", [](Seam& s, Provider&) { s.status = CERT_E_UNTRUSTEDROOT; }, 1, 2},
        {"CERT_E_CHAINING", [](Seam& s, Provider&) { s.status = CERT_E_CHAINING; }, 0, 1},
        {"TRUST_E_BAD_DIGEST", [](Seam& s, Provider&) { s.status = TRUST_E_BAD_DIGEST; }, 0, 1},
        {"status 1", [](Seam& s, Provider&) { s.status = 1; }, 0, 1},
        {"no provider data", [](Seam& s, Provider&) { s.provider = nullptr; }, 0, 2},
        {"no signer", [](Seam&, Provider& p) { p.data.csSigners = 0; }, 0, 2},
        {"signer array", [](Seam&, Provider& p) { p.data.pasSigners = nullptr; }, 0, 2},
        {"chain", [](Seam&, Provider& p) { p.signer.pChainContext = nullptr; }, 0, 2},
        {"simple chains", [](Seam&, Provider& p) { p.chain.rgpChain = nullptr; }, 0, 2},
        {"simple chain count", [](Seam&, Provider& p) { p.chain.cChain = 0; }, 0, 2},
        {"simple chain 0", [](Seam&, Provider& p) { p.simples[0] = nullptr; }, 0, 2},
        {"elements", [](Seam&, Provider& p) { p.simple.rgpElement = nullptr; }, 0, 2},
        {"element count", [](Seam&, Provider& p) { p.simple.cElement = 0; }, 0, 2},
        {"element 0", [](Seam&, Provider& p) { p.elements[0] = nullptr; }, 0, 2},
        {"certificate", [](Seam&, Provider& p) { p.element[0].pCertContext = nullptr; }, 0, 2},
        {"accepted name on the issuer only",
         [](Seam&, Provider& p) {
             p.element[1].pCertContext = p.element[0].pCertContext;
             p.element[0].pCertContext = Signer(L"ext_record_case.dll");
             p.simple.cElement = 2;
         },
         0, 2},
        {"wild signer pointer",
         [](Seam&, Provider& p) {
             p.data.pasSigners = reinterpret_cast<CRYPT_PROVIDER_SGNR*>(uintptr_t{16});
         },
         0, 1},
        {"fault in verify", [](Seam& s, Provider&) { s.inVerify = &WriteThroughNull; }, 0, 1},
        {"fault in close", [](Seam& s, Provider&) { s.inClose = &WriteThroughNull; }, 0, 2},
        {"a throw", [](Seam& s, Provider&) { s.inVerify = [] { throw std::bad_alloc(); }; }, 0, 1},
        {"fault that an inner guard ends",
         [](Seam& s, Provider&) {
             s.inVerify = [] {
                 if (RunGuarded([](void*) { WriteThroughNull(); }, nullptr)) throw 0;
             };
         },
         1, 2},
        // Pinned to the test CA, whose certificate follows the signer's; only a signer's
        // certificate that the test CA's key signed leads to it.
        {"pinned key on the issuer", &PinnedIssuerAt<1, 2>, 1, 2, &kTestCaPublisherPins},
        {"signer marked as not validly signed", &PinnedIssuerAt<1, 2, 0>, 0, 2,
         &kTestCaPublisherPins},
        {"pinned CA marked as not validly signed", &PinnedIssuerAt<1, 2, 1>, 0, 2,
         &kTestCaPublisherPins},
        // Marks Wine never sets: only an untrusted root, times and unknown revocation pass.
        {"signer marked expired, untrusted, of unknown revocation",
         &PinnedIssuerAt<1, 2, 0, 0x1000063>, 1, 2, &kTestCaPublisherPins},
        {"signer marked as revoked", &PinnedIssuerAt<1, 2, 0, CERT_TRUST_IS_REVOKED>, 0, 2,
         &kTestCaPublisherPins},
        {"signer not signed by the pinned issuer's key",
         [](Seam& s, Provider& p) {
             PinnedIssuerAt<1, 2>(s, p);
             p.element[0].pCertContext = Signer(L"ext_record.dll");
         },
         0, 2, &kTestCaPublisherPins},
        // The accepted signer's certificate with the test CA's key in it.
        {"pinned key on the signer",
         [](Seam&, Provider& p) {
             ChangeSigner(p, [](CERT_INFO& info) {
                 info.SubjectPublicKeyInfo = Signer(L"ext_record_ca.dll", L"Extrun Test CA")
                                                 ->pCertInfo->SubjectPublicKeyInfo;
             });
         },
         1, 2, &kTestCaPublisherPins},
        {"signed attributes digested with SHA-1",
         [](Seam& s, Provider& p) {
             PinnedIssuerAt<1, 2>(s, p);
             p.signerInfo.HashAlgorithm.pszObjId = const_cast<char*>(szOID_OIWSEC_sha1);
         },
         0, 2, &kTestCaPublisherPins},
        {"file digested with MD5",
         [](Seam& s, Provider& p) {
             PinnedIssuerAt<1, 2>(s, p);
             p.indirect.DigestAlgorithm.pszObjId = const_cast<char*>(szOID_RSA_MD5);
         },
         0, 2, &kTestCaPublisherPins},
        {"pinned, without the file's digest",
         [](Seam& s, Provider& p) {
             PinnedIssuerAt<1, 2>(s, p);
             p.data.pPDSip = nullptr;
         },
         0, 2, &kTestCaPublisherPins},
        {"pinned key past the chain's end", &PinnedIssuerAt<1, 1>, 0, 2, &kTestCaPublisherPins},
        {"pinned key after a missing element",
         [](Seam& s, Provider& p) {
             PinnedIssuerAt<2, 3>(s, p);
             p.elements[1] = nullptr;
         },
         0, 2, &kTestCaPublisherPins},
        {"pinned key after an element without a certificate", &PinnedIssuerAt<2, 3>, 0, 2,
         &kTestCaPublisherPins},
        {"pinned key not in the chain", [](Seam&, Provider&) {}, 0, 2, &kTestCaPublisherPins},
        {"pinned, without a chain", [](Seam&, Provider& p) { p.signer.pChainContext = nullptr; }, 0,
         2, &kTestCaPublisherPins},
        {"wild certificate among the issuers",
         [](Seam& s, Provider& p) {
             PinnedIssuerAt<2, 3>(s, p);
             p.element[1].pCertContext = reinterpret_cast<PCCERT_CONTEXT>(uintptr_t{16});
         },
         0, 1, &kTestCaPublisherPins},
    };
    const std::wstring path = BinPath(L"ext_record.dll");
    // Kept in a callee-saved register across the calls, which a landing that
    // restored registers wrongly would change.
    size_t checked = 0;
    for (const auto& c : cases) {
        ++checked;
        Provider provider;
        trust::ScopedPublisherPinsForTesting pins(c.pins);
        Seam seam;
        seam.platform = false;
        seam.provider = &provider.data;
        c.change(seam, provider);
        PublisherCheckDetails details;
        EXPECT_EQ(c.result, CheckPublisherSignature(path.c_str(), nullptr, &details)) << c.what;
        EXPECT_EQ(c.calls, seam.calls) << c.what;
        if (c.signerUnits >= 0) {
            EXPECT_EQ(details.signerRead, c.signerUnits > 0) << c.what;
            EXPECT_EQ(std::wcslen(details.signer), static_cast<size_t>(c.signerUnits)) << c.what;
        }
    }
    EXPECT_EQ(std::size(cases), checked);
    EXPECT_EQ(1, VerifyPublisherSignature(path.c_str())) << "the process goes on checking";
}

// A compatibility layer makes GetVersionExW say 5.1 on Windows 10; only the
// system's own numbers saying so as well skip the check.
TEST(VerifyPublisherSignature, IsSkippedOnlyWhenTheSystemItselfIsOlderThanVersion6) {
    static trust::MajorVersions versions;
    const struct {
        trust::MajorVersions versions;
        int result;
        int calls;
        const trust::PublisherPins* pins;
    } cases[] = {
        {{5, 10}, 0, 1},
        {{6, 5}, 0, 1},
        {{5, 5}, 1, 0},
        // Nothing verified, no key seen: a pinned build passes nothing.
        {{5, 5}, 0, 0, &kTestCaPublisherPins},
    };
    const std::wstring path = BinPath(L"ext_record_unsigned.dll");
    for (const auto& c : cases) {
        versions = c.versions;
        trust::SetVersionQueryForTesting([] { return versions; });
        trust::ScopedPublisherPinsForTesting pins(c.pins);
        Seam seam;
        EXPECT_EQ(c.result, VerifyPublisherSignature(path.c_str()))
            << c.versions.reported << " " << c.versions.system;
        EXPECT_EQ(c.calls, seam.calls) << c.versions.reported << " " << c.versions.system;
    }
    trust::SetVersionQueryForTesting(nullptr);
}

TEST(IsAcceptedSignerName, AcceptsOnlyAnExactName) {
    const std::pair<const wchar_t*, int> cases[] = {
        // The publishers the products ship under, as they are registered.
        {L"北京泰萨利软件技术有限公司", 1},
        {L"珠海泰萨利办公软件有限公司", 1},
        {L"广州凡蒂罗网络技术有限公司", 1},
        {L"凡蒂罗互动娱乐有限公司", 1},
        {L"成都凯尔莫拉信息技术有限公司", 1},
        {L"凯尔莫拉科技有限公司", 1},
        {L"武汉萨文信息科技有限公司", 1},
        {L"托布里斯克软件有限公司", 1},
        {L"莫尔万数字技术有限公司", 1},
        {L"昆洛网络科技有限公司", 1},
        {L"里斯塔维尔软件有限公司", 1},
        {L"法斯科恩信息技术有限公司", 1},
        {L"德雷利克科技有限公司", 1},
        {L"布伦霍尔德网络有限公司", 1},
        {L"辛德鲁软件有限公司", 1},
        {L"哈弗林数码科技有限公司", 1},
        {L"加尔维克数字办公有限公司", 1},
        {L"奥斯卡鲁软件有限公司", 1},
        {L"泽姆普罗科技公司", 1},
        {L"Tessaly Software Technology Co., Ltd.", 1},
        {L"Vantiro Interactive Entertainment Co., Ltd.", 1},
        {L"Kelmora Information Technology Co., Limited", 1},
        {L"Galwick Digital Office Systems Co., Ltd.", 1},
        {L"Galwick Digital Office Systems Co., Ltd.\0 and more", 1},
        {L" Tessaly Software Technology Co., Ltd.", 0},
        {L"Tessaly Software Technology Co., Ltd.x", 0},
        {L"Kelmora Information Technology Co., Ltd.", 0},
        {L"北京泰萨利软件技术有限公", 0},
        {L"", 0},
        {nullptr, 0},
    };
    for (const auto& [name, accepted] : cases)
        EXPECT_EQ(accepted, IsAcceptedSignerName(name)) << (name ? ToUtf8(name) : "null");
}

}  // namespace
