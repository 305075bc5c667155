#include <gtest/gtest.h>

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "signer_certificate.h"
#include "test_support.h"
#include "trust/publisher_check.h"
#include "trust/trust_call.h"

namespace {

using testsupport::BinPath;
using testsupport::FromUtf8;

const std::wstring kChinesePublisher = FromUtf8("北京泰萨利软件技术有限公司");
const std::wstring kEnglishPublisher = L"Tessaly Software Technology Co., Ltd.";

constexpr LONG kNoSignature = static_cast<LONG>(TRUST_E_NOSIGNATURE);
constexpr LONG kBadDigest = static_cast<LONG>(TRUST_E_BAD_DIGEST);

struct RecordedCall {
    HWND window;
    GUID action;
    WINTRUST_DATA request;
    std::optional<WINTRUST_FILE_INFO> file;
    std::wstring path;
    LONG platformStatus = 0;
};

// Stands in for WinVerifyTrust for the length of a test. By default it hands
// both calls on to the platform and records them; a test may replace the
// verify call's status, answer with its own provider data instead of the
// platform's, or fault at a chosen point.
class TrustSubstitute {
public:
    enum class Fault { None, InVerify, InClose, ThrowInVerify };

    TrustSubstitute() {
        active_ = this;
        trust::SetTrustCallForTesting(&Call);
    }
    ~TrustSubstitute() {
        trust::SetTrustCallForTesting(nullptr);
        active_ = nullptr;
        // A refused status leaves the platform's state open; the check never
        // closes it, so the test does.
        if (openPlatformState_) ClosePlatformState(openPlatformState_);
    }

    std::optional<LONG> status;           // replaces the verify call's status
    std::optional<HANDLE> providerState;  // answers without the platform
    Fault fault = Fault::None;
    std::vector<RecordedCall> calls;

private:
    static LONG WINAPI Call(HWND window, GUID* action, LPVOID data) {
        return active_->Handle(window, action, data);
    }

    static void ClosePlatformState(HANDLE state) {
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        WINTRUST_DATA close = {};
        close.cbStruct = sizeof(close);
        close.hWVTStateData = state;
        close.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(nullptr, &action, &close);
    }

    __attribute__((noinline)) static void Crash() {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    }

    LONG Handle(HWND window, GUID* action, LPVOID data) {
        auto* request = static_cast<WINTRUST_DATA*>(data);
        RecordedCall call{window, *action, *request, std::nullopt, L""};
        if (request->dwUnionChoice == WTD_CHOICE_FILE && request->pFile) {
            call.file = *request->pFile;
            call.path = request->pFile->pcwszFilePath;
        }
        const bool verify = request->dwStateAction == WTD_STATEACTION_VERIFY;
        calls.push_back(call);
        if ((verify && fault == Fault::InVerify) || (!verify && fault == Fault::InClose)) Crash();
        if (verify && fault == Fault::ThrowInVerify) throw std::bad_alloc();

        if (providerState) {
            if (verify) request->hWVTStateData = *providerState;
            return verify ? status.value_or(ERROR_SUCCESS) : ERROR_SUCCESS;
        }
        const LONG platformStatus = WinVerifyTrust(window, action, data);
        calls.back().platformStatus = platformStatus;
        if (verify) {
            openPlatformState_ = request->hWVTStateData;
            return status.value_or(platformStatus);
        }
        openPlatformState_ = nullptr;
        return platformStatus;
    }

    static TrustSubstitute* active_;
    HANDLE openPlatformState_ = nullptr;
};

TrustSubstitute* TrustSubstitute::active_ = nullptr;

// Provider data as the platform lays it out, leading from the state handle
// to a real certificate; a test breaks one link at a time.
struct ProviderData {
    explicit ProviderData(const CERT_CONTEXT* certificate) {
        element.pCertContext = certificate;
        elements[0] = &element;
        simple.cElement = 1;
        simple.rgpElement = elements;
        simples[0] = &simple;
        chain.cChain = 1;
        chain.rgpChain = simples;
        signer.pChainContext = &chain;
        data.csSigners = 1;
        data.pasSigners = &signer;
    }
    HANDLE State() { return &data; }

    CERT_CHAIN_ELEMENT element = {};
    PCERT_CHAIN_ELEMENT elements[1] = {};
    CERT_SIMPLE_CHAIN simple = {};
    PCERT_SIMPLE_CHAIN simples[1] = {};
    CERT_CHAIN_CONTEXT chain = {};
    CRYPT_PROVIDER_SGNR signer = {};
    CRYPT_PROVIDER_DATA data = {};
};

TEST(VerifyPublisherSignature, AcceptsFilesSignedUnderAnAcceptedName) {
    const struct {
        const wchar_t* file;
        std::wstring signer;
    } cases[] = {
        {L"ext_record.dll", kChinesePublisher},
        {L"ext_record_en.dll", kEnglishPublisher},
        {L"ext_record32.dll", kChinesePublisher},
    };
    for (const auto& c : cases) {
        const std::wstring path = BinPath(c.file);
        const UniqueCertificate signer = EmbeddedSignerCertificate(path);
        ASSERT_TRUE(signer) << testsupport::ToUtf8(c.file);
        EXPECT_EQ(c.signer, DisplayName(signer.get()));
        EXPECT_EQ(1, VerifyPublisherSignature(path.c_str())) << testsupport::ToUtf8(c.file);
    }
}

TEST(VerifyPublisherSignature, RefusesValidSignaturesUnderOtherNames) {
    const struct {
        const wchar_t* file;
        std::wstring signer;
    } cases[] = {
        {L"ext_record_case.dll", L"Tessaly Software Technology Co., LTD."},
        {L"ext_record_blank.dll", kEnglishPublisher + L" "},
        {L"ext_record_other.dll", L"Extrun Test Publisher"},
    };
    for (const auto& c : cases) {
        const std::wstring path = BinPath(c.file);
        const UniqueCertificate signer = EmbeddedSignerCertificate(path);
        ASSERT_TRUE(signer) << testsupport::ToUtf8(c.file);
        EXPECT_EQ(c.signer, DisplayName(signer.get()));

        TrustSubstitute trust;
        EXPECT_EQ(0, VerifyPublisherSignature(path.c_str())) << testsupport::ToUtf8(c.file);
        ASSERT_EQ(2u, trust.calls.size());
        EXPECT_EQ(ERROR_SUCCESS, trust.calls[0].platformStatus) << "the signature itself holds";
    }
}

TEST(VerifyPublisherSignature, RefusesUnsignedAndChangedFilesWithoutClosing) {
    const struct {
        const wchar_t* file;
        LONG platformStatus;
    } cases[] = {
        {L"ext_record_unsigned.dll", kNoSignature},
        {L"ext_record_tampered.dll", kBadDigest},
    };
    for (const auto& c : cases) {
        TrustSubstitute trust;
        EXPECT_EQ(0, VerifyPublisherSignature(BinPath(c.file).c_str()))
            << testsupport::ToUtf8(c.file);
        ASSERT_EQ(1u, trust.calls.size());
        EXPECT_EQ(c.platformStatus, trust.calls[0].platformStatus);
    }
}

TEST(VerifyPublisherSignature, RefusesAbsentFilesWithoutAskingTheTrustProvider) {
    TrustSubstitute trust;
    EXPECT_EQ(0, VerifyPublisherSignature(nullptr));
    EXPECT_EQ(0, VerifyPublisherSignature(L""));
    EXPECT_EQ(0, VerifyPublisherSignature(BinPath(L"no_such_extension.dll").c_str()));
    EXPECT_TRUE(trust.calls.empty());
}

TEST(VerifyPublisherSignature, VerifiesWithTheGenericPolicyThenClosesTheSameState) {
    const std::wstring path = BinPath(L"ext_record.dll");
    TrustSubstitute trust;
    ASSERT_EQ(1, VerifyPublisherSignature(path.c_str()));
    ASSERT_EQ(2u, trust.calls.size());
    const GUID generic = WINTRUST_ACTION_GENERIC_VERIFY_V2;

    const RecordedCall& verify = trust.calls[0];
    EXPECT_EQ(nullptr, verify.window);
    EXPECT_TRUE(IsEqualGUID(generic, verify.action));
    EXPECT_EQ(80u, verify.request.cbStruct);
    EXPECT_EQ(nullptr, verify.request.pPolicyCallbackData);
    EXPECT_EQ(nullptr, verify.request.pSIPClientData);
    EXPECT_EQ(static_cast<DWORD>(WTD_UI_NONE), verify.request.dwUIChoice);
    EXPECT_EQ(static_cast<DWORD>(WTD_REVOKE_NONE), verify.request.fdwRevocationChecks);
    EXPECT_EQ(static_cast<DWORD>(WTD_CHOICE_FILE), verify.request.dwUnionChoice);
    EXPECT_EQ(static_cast<DWORD>(WTD_STATEACTION_VERIFY), verify.request.dwStateAction);
    EXPECT_EQ(nullptr, verify.request.hWVTStateData);
    EXPECT_EQ(nullptr, verify.request.pwszURLReference);
    EXPECT_EQ(0x1080u, verify.request.dwProvFlags);
    EXPECT_EQ(static_cast<DWORD>(WTD_UICONTEXT_EXECUTE), verify.request.dwUIContext);
    ASSERT_TRUE(verify.file.has_value());
    EXPECT_EQ(32u, verify.file->cbStruct);
    EXPECT_EQ(path, verify.path);
    EXPECT_EQ(nullptr, verify.file->hFile);
    EXPECT_EQ(nullptr, verify.file->pgKnownSubject);

    const RecordedCall& close = trust.calls[1];
    EXPECT_EQ(nullptr, close.window);
    EXPECT_TRUE(IsEqualGUID(generic, close.action));
    WINTRUST_DATA expected = {};
    expected.cbStruct = 80;
    expected.dwStateAction = WTD_STATEACTION_CLOSE;
    expected.hWVTStateData = close.request.hWVTStateData;
    EXPECT_NE(nullptr, close.request.hWVTStateData);
    EXPECT_EQ(0, memcmp(&expected, &close.request, sizeof(expected))) << "all else zero";
}

TEST(VerifyPublisherSignature, ToleratesOnlyAnExpiredCertificateAndAnUntrustedRoot) {
    const struct {
        LONG status;
        int result;
    } cases[] = {
        {ERROR_SUCCESS, 1},
        {static_cast<LONG>(CERT_E_EXPIRED), 1},
        {static_cast<LONG>(CERT_E_UNTRUSTEDROOT), 1},
        {static_cast<LONG>(CERT_E_CHAINING), 0},
        {static_cast<LONG>(CERT_E_REVOKED), 0},
        {static_cast<LONG>(CERT_E_WRONG_USAGE), 0},
        {static_cast<LONG>(CERT_E_UNTRUSTEDTESTROOT), 0},
        {static_cast<LONG>(TRUST_E_EXPLICIT_DISTRUST), 0},
        {static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED), 0},
        {static_cast<LONG>(CRYPT_E_SECURITY_SETTINGS), 0},
        {kNoSignature, 0},
        {kBadDigest, 0},
        {static_cast<LONG>(E_FAIL), 0},
        {1, 0},
    };
    const std::wstring path = BinPath(L"ext_record.dll");
    for (const auto& c : cases) {
        TrustSubstitute trust;
        trust.status = c.status;
        EXPECT_EQ(c.result, VerifyPublisherSignature(path.c_str())) << std::hex << c.status;
        // The state is closed only after a tolerated status.
        EXPECT_EQ(c.result ? 2u : 1u, trust.calls.size()) << std::hex << c.status;
    }
}

TEST(VerifyPublisherSignature, RefusesWhenAnyLinkToTheSignerCertificateIsMissing) {
    const UniqueCertificate accepted = EmbeddedSignerCertificate(BinPath(L"ext_record.dll"));
    ASSERT_TRUE(accepted);
    const struct {
        const char* broken;
        void (*breakLink)(ProviderData&);
        bool noProviderData;
    } cases[] = {
        {"nothing (control)", [](ProviderData&) {}, false},
        {"provider data", [](ProviderData&) {}, true},
        {"signer count", [](ProviderData& p) { p.data.csSigners = 0; }, false},
        {"signer array", [](ProviderData& p) { p.data.pasSigners = nullptr; }, false},
        {"chain context", [](ProviderData& p) { p.signer.pChainContext = nullptr; }, false},
        {"simple chain array", [](ProviderData& p) { p.chain.rgpChain = nullptr; }, false},
        {"simple chain count", [](ProviderData& p) { p.chain.cChain = 0; }, false},
        {"simple chain 0", [](ProviderData& p) { p.simples[0] = nullptr; }, false},
        {"element array", [](ProviderData& p) { p.simple.rgpElement = nullptr; }, false},
        {"element count", [](ProviderData& p) { p.simple.cElement = 0; }, false},
        {"element 0", [](ProviderData& p) { p.elements[0] = nullptr; }, false},
        {"certificate", [](ProviderData& p) { p.element.pCertContext = nullptr; }, false},
    };
    const std::wstring path = BinPath(L"ext_record.dll");
    for (const auto& c : cases) {
        ProviderData provider(accepted.get());
        c.breakLink(provider);
        TrustSubstitute trust;
        trust.providerState = c.noProviderData ? nullptr : provider.State();
        const int expected = &c == &cases[0] ? 1 : 0;
        EXPECT_EQ(expected, VerifyPublisherSignature(path.c_str())) << "missing " << c.broken;
        ASSERT_EQ(2u, trust.calls.size()) << "missing " << c.broken;
        EXPECT_EQ(*trust.providerState, trust.calls[1].request.hWVTStateData);
    }
}

TEST(VerifyPublisherSignature, ComparesTheNameOfElementZeroOfTheFirstChain) {
    const UniqueCertificate accepted = EmbeddedSignerCertificate(BinPath(L"ext_record.dll"));
    const UniqueCertificate refused = EmbeddedSignerCertificate(BinPath(L"ext_record_case.dll"));
    ASSERT_TRUE(accepted && refused);
    const std::wstring path = BinPath(L"ext_record.dll");

    // An accepted issuer further up the chain does not make the signer accepted.
    ProviderData provider(refused.get());
    CERT_CHAIN_ELEMENT issuer = {};
    issuer.pCertContext = accepted.get();
    PCERT_CHAIN_ELEMENT elements[2] = {&provider.element, &issuer};
    provider.simple.cElement = 2;
    provider.simple.rgpElement = elements;
    TrustSubstitute trust;
    trust.providerState = provider.State();
    EXPECT_EQ(0, VerifyPublisherSignature(path.c_str()));

    elements[0] = &issuer;
    elements[1] = &provider.element;
    EXPECT_EQ(1, VerifyPublisherSignature(path.c_str()));
}

TEST(VerifyPublisherSignature, RefusesWhenAFaultOrExceptionInterruptsTheCheck) {
    const std::wstring path = BinPath(L"ext_record.dll");
    const struct {
        const char* what;
        TrustSubstitute::Fault fault;
        size_t calls;
    } cases[] = {
        {"access violation in the verify call", TrustSubstitute::Fault::InVerify, 1},
        {"C++ exception from the verify call", TrustSubstitute::Fault::ThrowInVerify, 1},
        {"access violation in the close call after an accepted name",
         TrustSubstitute::Fault::InClose, 2},
    };
    for (const auto& c : cases) {
        TrustSubstitute trust;
        trust.fault = c.fault;
        EXPECT_EQ(0, VerifyPublisherSignature(path.c_str())) << c.what;
        EXPECT_EQ(c.calls, trust.calls.size()) << c.what;
    }

    const UniqueCertificate accepted = EmbeddedSignerCertificate(path);
    ASSERT_TRUE(accepted);
    ProviderData provider(accepted.get());
    provider.data.pasSigners = reinterpret_cast<CRYPT_PROVIDER_SGNR*>(static_cast<uintptr_t>(0x10));
    {
        TrustSubstitute trust;
        trust.providerState = provider.State();
        EXPECT_EQ(0, VerifyPublisherSignature(path.c_str())) << "wild signer pointer";
    }

    EXPECT_EQ(1, VerifyPublisherSignature(path.c_str())) << "the process goes on checking";
}

}  // namespace
