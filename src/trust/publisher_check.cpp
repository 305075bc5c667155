#include "trust/publisher_check.h"

#include <windows.h>
#include <shlwapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <atomic>
#include <cstring>

#include "common/handles.h"
#include "common/system_library.h"
#include "trust/fault_guard.h"
#include "trust/trust_call.h"

namespace {

// The request in its form without the trailing signature-settings member.
constexpr DWORD kTrustDataSize = 80;
static_assert(sizeof(WINTRUST_DATA) >= kTrustDataSize, "the request's fixed part");
static_assert(sizeof(WINTRUST_FILE_INFO) == 32, "the file subject as the platform reads it");

// Revocation is off; should a policy fetch anything, it may use the cache only.
constexpr DWORD kVerifyProvFlags =
    WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | WTD_CACHE_ONLY_URL_RETRIEVAL;
static_assert(kVerifyProvFlags == 0x1080, "provider flags of the verify call");

// Below this major version (Windows XP and older) nothing is verified.
constexpr DWORD kFirstVerifiedMajorVersion = 6;

std::atomic<trust::TrustCall> g_trustCall{&syslib::WinVerifyTrust};

bool IsAcceptedStatus(LONG status) {
    // An expired signing certificate and an untrusted root are tolerated:
    // installed files outlive their signing certificates, and a machine may
    // not carry the root a publisher chains to.
    return status == ERROR_SUCCESS || status == static_cast<LONG>(CERT_E_EXPIRED) ||
           status == static_cast<LONG>(CERT_E_UNTRUSTEDROOT);
}

trust::MajorVersions QueryMajorVersions() {
    OSVERSIONINFOEXW version;
    std::memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    // A failed query leaves major version 0, which counts as old.
    GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
    // Without the system's own numbers the system is taken as new enough,
    // so the check runs.
    DWORD major = kFirstVerifiedMajorVersion, minor = 0, build = 0;
    syslib::GetNtVersionNumbers(&major, &minor, &build);
    return {version.dwMajorVersion, major};
}

std::atomic<trust::VersionQuery> g_versionQuery{&QueryMajorVersions};

// GetVersionExW alone can be talked into an old Windows by a compatibility
// layer that any program of the user may set (a value under HKCU or
// __COMPAT_LAYER); the system's own numbers must agree before nothing is
// verified.
bool IsOlderThanVerifiedSystems() {
    const trust::MajorVersions versions = g_versionQuery.load()();
    return versions.reported < kFirstVerifiedMajorVersion &&
           versions.system < kFirstVerifiedMajorVersion;
}

// The signer's own certificate: element 0 of simple chain 0 of signer 0.
// Null when any link on the way is missing.
PCCERT_CONTEXT SignerCertificate(HANDLE state) {
    const CRYPT_PROVIDER_DATA* provider = syslib::WTHelperProvDataFromStateData(state);
    if (!provider || provider->csSigners == 0 || !provider->pasSigners) return nullptr;
    const CERT_CHAIN_CONTEXT* chain = provider->pasSigners[0].pChainContext;
    if (!chain || !chain->rgpChain || chain->cChain == 0) return nullptr;
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    if (!simple || simple->cElement == 0 || !simple->rgpElement) return nullptr;
    const CERT_CHAIN_ELEMENT* element = simple->rgpElement[0];
    if (!element) return nullptr;
    return element->pCertContext;
}

// Reads the signer's display name into `details`; a name that fills the
// buffer was cut and counts as unread.
void ReadSignerName(PCCERT_CONTEXT certificate, PublisherCheckDetails& details) {
    constexpr DWORD kUnits = sizeof(details.signer) / sizeof(details.signer[0]);
    const DWORD units = syslib::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                                                   nullptr, details.signer, kUnits);
    details.signerRead = units >= 1 && units <= kUnits - 1;
    if (!details.signerRead) std::memset(details.signer, 0, sizeof(details.signer));
    details.signerAccepted = details.signerRead && IsAcceptedSignerName(details.signer);
}

struct SignatureCheck {
    const wchar_t* path;
    HANDLE file;
    PublisherCheckDetails& details;
};

// Verifies, reads the signer's name and closes the trust state; runs under
// the fault guard from the verify call to the end of the close call.
void CheckSignature(void* context) {
    auto& check = *static_cast<SignatureCheck*>(context);
    const trust::TrustCall trustCall = g_trustCall.load();
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;

    WINTRUST_FILE_INFO file;
    std::memset(&file, 0, sizeof(file));
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = check.path;
    file.hFile = check.file;

    WINTRUST_DATA request;
    std::memset(&request, 0, sizeof(request));
    request.cbStruct = kTrustDataSize;
    request.dwUIChoice = WTD_UI_NONE;
    request.fdwRevocationChecks = WTD_REVOKE_NONE;
    request.dwUnionChoice = WTD_CHOICE_FILE;
    request.pFile = &file;
    request.dwStateAction = WTD_STATEACTION_VERIFY;
    request.dwProvFlags = kVerifyProvFlags;
    request.dwUIContext = WTD_UICONTEXT_EXECUTE;

    PublisherCheckDetails& details = check.details;
    details.status = trustCall(nullptr, &action, &request);
    details.verified = true;
    details.statusTolerated = IsAcceptedStatus(details.status);
    if (!details.statusTolerated) return;

    // From here on the state the verify call made must be released, whatever
    // the walk finds.
    const HANDLE state = request.hWVTStateData;
    const ScopeExit closeState([&] {
        std::memset(&request, 0, sizeof(request));
        request.cbStruct = kTrustDataSize;
        request.hWVTStateData = state;
        request.dwStateAction = WTD_STATEACTION_CLOSE;
        trustCall(nullptr, &action, &request);
    });

    const PCCERT_CONTEXT certificate = SignerCertificate(state);
    if (certificate) ReadSignerName(certificate, details);
    details.result = details.signerAccepted ? 1 : 0;
}

}  // namespace

namespace trust {

TrustCall SetTrustCallForTesting(TrustCall call) {
    return g_trustCall.exchange(call ? call : &syslib::WinVerifyTrust);
}

VersionQuery SetVersionQueryForTesting(VersionQuery query) {
    return g_versionQuery.exchange(query ? query : &QueryMajorVersions);
}

}  // namespace trust

int CheckPublisherSignature(const wchar_t* path, HANDLE file, PublisherCheckDetails* details) {
    PublisherCheckDetails own;
    PublisherCheckDetails& found = details ? *details : own;
    std::memset(&found, 0, sizeof(found));
    if (!path || !PathFileExistsW(path)) return 0;
    if (IsOlderThanVerifiedSystems()) {
        found.skipped = true;
        return found.result = 1;
    }
    SignatureCheck check{path, file == INVALID_HANDLE_VALUE ? nullptr : file, found};
    if (!RunGuarded(&CheckSignature, &check)) found.result = 0;
    return found.result;
}

int VerifyPublisherSignature(const wchar_t* path) {
    return CheckPublisherSignature(path, nullptr, nullptr);
}
