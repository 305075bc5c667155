#include "trust/publisher_check.h"

#include <windows.h>
#include <shlwapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mssip.h>

#include <atomic>
#include <cstring>
#include <cwchar>

#include "common/handles.h"
#include "common/system_library.h"
#include "trust/chain_rules.h"
#include "trust/fault_guard.h"
#include "trust/publisher_pins.h"
#include "trust/trust_call.h"

namespace {

// The request in its form without the trailing signature-settings member.
constexpr DWORD kTrustDataSize = 80;
static_assert(sizeof(WINTRUST_DATA) >= kTrustDataSize, "the request's fixed part");
static_assert(sizeof(WINTRUST_FILE_INFO) == 32, "the file subject as the platform reads it");

// Revocation is off, and retrieval is asked to keep to the cache. Wine does not
// keep to it: it fetches an issuer from a certificate's caIssuers URL, and a
// server that never answers holds the verify call as long as Wine waits.
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

std::atomic<const trust::PublisherPins*> g_pins{&trust::kPublisherPins};

// GetVersionExW alone can be talked into an old Windows by a compatibility
// layer that any program of the user may set (a value under HKCU or
// __COMPAT_LAYER); the system's own numbers must agree before nothing is
// verified.
bool IsOlderThanVerifiedSystems() {
    const trust::MajorVersions versions = g_versionQuery.load()();
    return versions.reported < kFirstVerifiedMajorVersion &&
           versions.system < kFirstVerifiedMajorVersion;
}

// The digests a signature stands on: the file's, in the indirect data the
// signer signed, and the signed attributes', in the signer info. Where either
// is weak, whoever makes a collision carries the signature over to a file of
// their own, however sound the chain.
constexpr const char* kSoundDigests[] = {szOID_NIST_sha256, szOID_NIST_sha384, szOID_NIST_sha512};
constexpr wchar_t kSoundDigestRule[] =
    L"a signature digesting the file and its signed attributes with SHA-256, SHA-384 or "
    L"SHA-512, never MD5 or SHA-1";

bool IsSoundDigest(const CRYPT_ALGORITHM_IDENTIFIER& algorithm) {
    for (const char* sound : kSoundDigests)
        if (algorithm.pszObjId && std::strcmp(algorithm.pszObjId, sound) == 0) return true;
    return false;
}

// Both digests of signer 0's signature, as the verify call decoded the
// message it checked.
bool DigestsSoundly(HANDLE state) {
    const CRYPT_PROVIDER_DATA* provider = syslib::WTHelperProvDataFromStateData(state);
    if (!provider || provider->csSigners == 0 || !provider->pasSigners) return false;
    const CMSG_SIGNER_INFO* signer = provider->pasSigners[0].psSigner;
    const SIP_INDIRECT_DATA* indirect =
        provider->pPDSip ? provider->pPDSip->psIndirectData : nullptr;
    return signer && indirect && IsSoundDigest(signer->HashAlgorithm) &&
           IsSoundDigest(indirect->DigestAlgorithm);
}

// Simple chain 0 of signer 0 as the verify call built it: the signer's own
// certificate (element 0) and its issuers. Null when any link on the way is
// missing.
const CERT_SIMPLE_CHAIN* SignerChain(HANDLE state) {
    const CRYPT_PROVIDER_DATA* provider = syslib::WTHelperProvDataFromStateData(state);
    if (!provider || provider->csSigners == 0 || !provider->pasSigners) return nullptr;
    const CERT_CHAIN_CONTEXT* chain = provider->pasSigners[0].pChainContext;
    if (!chain || !chain->rgpChain || chain->cChain == 0) return nullptr;
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    if (!simple || simple->cElement == 0 || !simple->rgpElement) return nullptr;
    return simple;
}

// The SHA-256 of the certificate's SubjectPublicKeyInfo in DER, the form a
// pin is made from; false when it cannot be had.
bool HashPublicKey(PCCERT_CONTEXT certificate, trust::PublisherKey& hash) {
    if (!certificate || !certificate->pCertInfo) return false;
    BYTE* der = nullptr;
    DWORD size = 0;
    if (!syslib::CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                                     &certificate->pCertInfo->SubjectPublicKeyInfo,
                                     CRYPT_ENCODE_ALLOC_FLAG, nullptr, &der, &size))
        return false;
    const UniqueLocal owned(der);
    DWORD hashSize = sizeof(hash.bytes);
    return syslib::CryptHashCertificate2(L"SHA256", 0, nullptr, der, size, hash.bytes, &hashSize) &&
           hashSize == sizeof(hash.bytes);
}

// Looks for a certificate of the chain whose key is pinned, the signer's own
// first, and writes the pin it matched into `details` as hex digits.
void FindPinnedKey(const CERT_SIMPLE_CHAIN& chain, const trust::PublisherPins& pins,
                   PublisherCheckDetails& details) {
    for (DWORD i = 0; i < chain.cElement; ++i) {
        const CERT_CHAIN_ELEMENT* element = chain.rgpElement[i];
        trust::PublisherKey key;
        if (!element || !HashPublicKey(element->pCertContext, key)) continue;
        for (int pin = 0; pin < pins.count; ++pin) {
            if (std::memcmp(key.bytes, pins.keys[pin].bytes, sizeof(key.bytes)) != 0) continue;
            constexpr wchar_t kDigits[] = L"0123456789abcdef";
            for (size_t b = 0; b < sizeof(key.bytes); ++b) {
                details.matchedPin[2 * b] = kDigits[key.bytes[b] >> 4];
                details.matchedPin[2 * b + 1] = kDigits[key.bytes[b] & 15];
            }
            details.pinnedAt = static_cast<int>(i);
            return;
        }
    }
}

// Reads the signer's display name into `details`; a name that fills the
// buffer was cut and counts as unread.
void ReadSignerName(PCCERT_CONTEXT certificate, PublisherCheckDetails& details) {
    constexpr DWORD kUnits = sizeof(details.signer) / sizeof(details.signer[0]);
    const DWORD units = syslib::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                                                   nullptr, details.signer, kUnits);
    // A name holding a NUL would be compared only up to it.
    details.signerRead =
        units >= 1 && units <= kUnits - 1 && std::wcslen(details.signer) == units - 1;
    if (!details.signerRead) std::memset(details.signer, 0, sizeof(details.signer));
    details.signerAccepted = details.signerRead && IsAcceptedSignerName(details.signer);
}

// The display name of the certificate where the chain breaks, for a caller
// that explains the refusal; empty where that place holds none.
void ReadBrokenName(const CERT_SIMPLE_CHAIN& chain, PublisherCheckDetails& details) {
    const CERT_CHAIN_ELEMENT* element = chain.rgpElement[details.brokenLink];
    if (!element || !element->pCertContext) return;
    constexpr DWORD kUnits = sizeof(details.brokenName) / sizeof(details.brokenName[0]);
    syslib::CertGetNameStringW(element->pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                               details.brokenName, kUnits);
}

struct SignatureCheck {
    const wchar_t* path;
    HANDLE file;
    const trust::PublisherPins* pins;
    PublisherCheckDetails& details;
};

// Verifies, reads the signer's name, looks for a pinned key where keys are
// pinned, and closes the trust state; runs under the fault guard from the
// verify call to the end of the close call.
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

    // The chain belongs to the trust state: everything read from it is read
    // before the state is closed.
    const CERT_SIMPLE_CHAIN* chain = SignerChain(state);
    const CERT_CHAIN_ELEMENT* signer = chain ? chain->rgpElement[0] : nullptr;
    if (signer && signer->pCertContext) ReadSignerName(signer->pCertContext, details);
    const bool pinned = details.pinCount > 0;
    if (pinned && chain) FindPinnedKey(*chain, *check.pins, details);
    if (details.matchedPin[0]) {
        const trust::ChainBreak broken = DigestsSoundly(state)
                                             ? trust::FirstBrokenRule(*chain, details.pinnedAt)
                                             : trust::ChainBreak{0, kSoundDigestRule};
        details.brokenLink = broken.at;
        details.brokenRule = broken.rule;
        if (broken.at >= 0) ReadBrokenName(*chain, details);
    }
    const bool linked = details.matchedPin[0] && details.brokenLink < 0;
    details.result = details.signerAccepted && (!pinned || linked) ? 1 : 0;
}

}  // namespace

namespace trust {

TrustCall SetTrustCallForTesting(TrustCall call) {
    return g_trustCall.exchange(call ? call : &syslib::WinVerifyTrust);
}

VersionQuery SetVersionQueryForTesting(VersionQuery query) {
    return g_versionQuery.exchange(query ? query : &QueryMajorVersions);
}

const PublisherPins* SetPublisherPinsForTesting(const PublisherPins* pins) {
    return g_pins.exchange(pins ? pins : &kPublisherPins);
}

}  // namespace trust

int CheckPublisherSignature(const wchar_t* path, HANDLE file, PublisherCheckDetails* details) {
    PublisherCheckDetails own;
    PublisherCheckDetails& found = details ? *details : own;
    std::memset(&found, 0, sizeof(found));
    const trust::PublisherPins* pins = g_pins.load();
    found.pinCount = pins->count;
    if (!path || !PathFileExistsW(path)) return 0;
    if (IsOlderThanVerifiedSystems()) {
        found.skipped = true;
        // Nothing verified means no key seen: a build that pins keys passes
        // nothing unseen.
        return found.result = found.pinCount == 0 ? 1 : 0;
    }
    SignatureCheck check{path, file == INVALID_HANDLE_VALUE ? nullptr : file, pins, found};
    if (!RunGuarded(&CheckSignature, &check)) found.result = 0;
    return found.result;
}

int PinnedPublisherKeyCount() { return g_pins.load()->count; }

int VerifyPublisherSignature(const wchar_t* path) {
    return CheckPublisherSignature(path, nullptr, nullptr);
}
