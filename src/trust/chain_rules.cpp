#include "trust/chain_rules.h"

#include <cstring>

#include "common/handles.h"
#include "common/system_library.h"

namespace trust {

namespace {

// What the chain engine may mark on a certificate without breaking the chain:
// an untrusted root (the pinned key stands in for the root), validity periods
// (installed files outlive their certificates) and revocation it could not
// check (nothing is checked for revocation).
constexpr DWORD kToleratedMarks =
    CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED |
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

constexpr DWORD kNameConstraintMarks =
    CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT |
    CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT | CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT |
    CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT;

// The algorithms a link may be signed with: SHA-2 under RSA or ECDSA. MD2, MD4,
// MD5 and SHA-1 are not among them, nor is anything the check does not know.
constexpr const char* kSoundSignatureAlgorithms[] = {
    szOID_RSA_SHA256RSA, szOID_RSA_SHA384RSA, szOID_RSA_SHA512RSA,
    szOID_ECDSA_SHA256,  szOID_ECDSA_SHA384,  szOID_ECDSA_SHA512,
};

// One certificate of the chain as the rules see it.
struct Place {
    PCCERT_CONTEXT certificate;
    // The certificate above it, which issued it; null for the pinned one,
    // whose issuer the pin does not need, and where the chain has none.
    PCCERT_CONTEXT issuer;
    bool signer;
    bool pinned;
};

// `encoded` decoded as `type` into a block of its own; empty when it does not
// decode.
UniqueLocal Decode(LPCSTR type, const BYTE* encoded, DWORD size) {
    void* decoded = nullptr;
    DWORD decodedSize = 0;
    if (!syslib::CryptDecodeObjectEx(X509_ASN_ENCODING, type, encoded, size,
                                     CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &decodedSize))
        return UniqueLocal();
    return UniqueLocal(decoded);
}

const CERT_EXTENSION* FindExtension(PCCERT_CONTEXT certificate, const char* oid) {
    const CERT_INFO& info = *certificate->pCertInfo;
    for (DWORD i = 0; i < info.cExtension; ++i)
        if (info.rgExtension[i].pszObjId && std::strcmp(info.rgExtension[i].pszObjId, oid) == 0)
            return &info.rgExtension[i];
    return nullptr;
}

// A chain is only made of names: anyone can make a certificate that names the
// pinned CA as its issuer and carry the genuine CA's certificate beside it.
bool SignedByIssuer(const Place& place) {
    if (place.pinned) return true;
    return place.issuer && place.issuer->pCertInfo &&
           syslib::CryptVerifyCertificateSignatureEx(
               0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
               const_cast<CERT_CONTEXT*>(place.certificate), CRYPT_VERIFY_CERT_SIGN_ISSUER_PUBKEY,
               &place.issuer->pCertInfo->SubjectPublicKeyInfo, 0, nullptr);
}

// The algorithm read is the one outside the signed part, which the signature
// is verified with; the copy inside it is only the issuer's word.
bool SignedSoundly(const Place& place) {
    if (place.pinned) return true;
    const UniqueLocal signedContent(
        Decode(X509_CERT, place.certificate->pbCertEncoded, place.certificate->cbCertEncoded));
    const auto* content = static_cast<const CERT_SIGNED_CONTENT_INFO*>(signedContent.get());
    const char* algorithm = content ? content->SignatureAlgorithm.pszObjId : nullptr;
    for (const char* sound : kSoundSignatureAlgorithms)
        if (algorithm && std::strcmp(algorithm, sound) == 0) return true;
    return false;
}

// A certificate that issues another must be a CA: anyone may hold an
// end-entity certificate of the pinned CA, and its key must not hand the pin
// on to certificates of its holder's making.
bool IsAuthorityWhereItIssues(const Place& place) {
    if (place.signer) return true;
    const CERT_EXTENSION* extension = FindExtension(place.certificate, szOID_BASIC_CONSTRAINTS2);
    if (!extension) return false;
    const UniqueLocal constraints(
        Decode(X509_BASIC_CONSTRAINTS2, extension->Value.pbData, extension->Value.cbData));
    return constraints && static_cast<const CERT_BASIC_CONSTRAINTS2_INFO*>(constraints.get())->fCA;
}

// A certificate the pinned CA gave for another purpose (a server's, say)
// must not sign code, nor issue what does.
bool AllowsCodeSigning(const Place& place) {
    const CERT_EXTENSION* extension = FindExtension(place.certificate, szOID_ENHANCED_KEY_USAGE);
    if (!extension) return !place.signer;
    const UniqueLocal decoded(
        Decode(X509_ENHANCED_KEY_USAGE, extension->Value.pbData, extension->Value.cbData));
    const auto* usage = static_cast<const CERT_ENHKEY_USAGE*>(decoded.get());
    for (DWORD i = 0; usage && i < usage->cUsageIdentifier; ++i) {
        const char* purpose = usage->rgpszUsageIdentifier[i];
        if (purpose && (std::strcmp(purpose, szOID_PKIX_KP_CODE_SIGNING) == 0 ||
                        std::strcmp(purpose, szOID_ANY_ENHANCED_KEY_USAGE) == 0))
            return true;
    }
    return false;
}

// Each rule is kept by a certificate when the chain engine marks none of its
// `marks` on it and the project's own check, where there is one, holds. The
// engine is left a rule where Wine's was measured to mark its breach in the
// chain the verify call builds (a path too long, an issuer without
// keyCertSign, a name outside a CA's constraints, an unknown critical
// extension); the project checks each of the others once. Each link's
// signature is verified here as well as marked there: the pin rests on it.
// A certificate is held to the rules in this order and named by the first it
// breaks.
struct Rule {
    const wchar_t* name;
    DWORD marks;
    bool (*holds)(const Place&);
};

constexpr Rule kRules[] = {
    {L"signed with SHA-256, SHA-384 or SHA-512 (RSA or ECDSA), never MD2, MD4, MD5 or SHA-1", 0,
     &SignedSoundly},
    {L"signed by the key of the certificate above it", CERT_TRUST_IS_NOT_SIGNATURE_VALID,
     &SignedByIssuer},
    {L"a CA (basic constraints CA:TRUE), as every certificate that issues one must be", 0,
     &IsAuthorityWhereItIssues},
    {L"an extended key usage allowing code signing or any use: the signer's always, any other's "
     L"where it has one",
     0, &AllowsCodeSigning},
    {L"within the path length that every CA above it allows", CERT_TRUST_INVALID_BASIC_CONSTRAINTS,
     nullptr},
    {L"a key usage that allows its use (keyCertSign where it issues a certificate)",
     CERT_TRUST_IS_NOT_VALID_FOR_USAGE, nullptr},
    {L"name constraints that every certificate below it keeps", kNameConstraintMarks, nullptr},
    {L"no critical extension that is not understood, and no malformed extension",
     CERT_TRUST_INVALID_EXTENSION | CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT, nullptr},
    {L"no other mark of the chain engine (an untrusted root, validity periods and unknown "
     L"revocation are accepted)",
     ~0u, nullptr},
};

constexpr wchar_t kMissing[] = L"a certificate in its place";

}  // namespace

ChainBreak FirstBrokenRule(const CERT_SIMPLE_CHAIN& chain, int pinnedAt) {
    for (int i = 0; i <= pinnedAt; ++i) {
        const CERT_CHAIN_ELEMENT* element = chain.rgpElement[i];
        const CERT_CHAIN_ELEMENT* above = i < pinnedAt ? chain.rgpElement[i + 1] : nullptr;
        const Place place{element ? element->pCertContext : nullptr,
                          above ? above->pCertContext : nullptr, i == 0, i == pinnedAt};
        if (!place.certificate || !place.certificate->pCertInfo) return {i, kMissing};
        const DWORD marks = element->TrustStatus.dwErrorStatus & ~kToleratedMarks;
        for (const Rule& rule : kRules)
            if ((marks & rule.marks) || (rule.holds && !rule.holds(place))) return {i, rule.name};
    }
    return {-1, nullptr};
}

}  // namespace trust
