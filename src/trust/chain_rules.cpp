#include "trust/chain_rules.h"

#include <cstring>
#include <string>

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
    const CERT_SIMPLE_CHAIN& chain;
    int at;
    int pinnedAt;
    PCCERT_CONTEXT certificate;
    // The certificate above it, which issued it; null for the pinned one,
    // whose issuer the pin does not need, and where the chain has none.
    PCCERT_CONTEXT issuer;
    bool signer;
    bool pinned;
};

// What the launcher's own check of a rule finds on a certificate. Settled: it
// evaluated the rule there itself and the rule holds, so the chain engine's
// marks for that rule do not count (Wine's engine misreads key usage bits,
// counts certificates that issued themselves, and reads constraints above the
// pinned certificate).
enum class Finding { kBroken, kKept, kSettled };

Finding Kept(bool kept) { return kept ? Finding::kKept : Finding::kBroken; }

Finding Settled(bool kept) { return kept ? Finding::kSettled : Finding::kBroken; }

// The certificate at place `at` of the chain; null where there is none.
PCCERT_CONTEXT CertificateAt(const CERT_SIMPLE_CHAIN& chain, int at) {
    const CERT_CHAIN_ELEMENT* element = chain.rgpElement[at];
    return element && element->pCertContext && element->pCertContext->pCertInfo
               ? element->pCertContext
               : nullptr;
}

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

// Only the same encoding counts as the same name.
bool SameName(const CERT_NAME_BLOB& a, const CERT_NAME_BLOB& b) {
    return a.cbData == b.cbData && std::memcmp(a.pbData, b.pbData, a.cbData) == 0;
}

// A chain is only made of names: anyone can make a certificate that names the
// pinned CA as its issuer and carry the genuine CA's certificate beside it.
// The engine may also link a certificate to the one above by key identifier
// alone; the issuer it names must be that one's subject, or it could pass for
// one that issued itself.
Finding SignedByIssuer(const Place& place) {
    if (place.pinned) return Finding::kKept;
    return Kept(place.issuer && place.issuer->pCertInfo &&
                SameName(place.certificate->pCertInfo->Issuer, place.issuer->pCertInfo->Subject) &&
                syslib::CryptVerifyCertificateSignatureEx(
                    0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                    const_cast<CERT_CONTEXT*>(place.certificate),
                    CRYPT_VERIFY_CERT_SIGN_ISSUER_PUBKEY,
                    &place.issuer->pCertInfo->SubjectPublicKeyInfo, 0, nullptr));
}

// The algorithm read is the one outside the signed part, which the signature
// is verified with; the copy inside it is only the issuer's word, and must
// say the same.
Finding SignedSoundly(const Place& place) {
    if (place.pinned) return Finding::kKept;
    const UniqueLocal signedContent(
        Decode(X509_CERT, place.certificate->pbCertEncoded, place.certificate->cbCertEncoded));
    const auto* content = static_cast<const CERT_SIGNED_CONTENT_INFO*>(signedContent.get());
    const char* algorithm = content ? content->SignatureAlgorithm.pszObjId : nullptr;
    const char* inner = place.certificate->pCertInfo->SignatureAlgorithm.pszObjId;
    if (!algorithm || !inner || std::strcmp(algorithm, inner) != 0) return Finding::kBroken;
    for (const char* sound : kSoundSignatureAlgorithms)
        if (std::strcmp(algorithm, sound) == 0) return Finding::kKept;
    return Finding::kBroken;
}

// The curves an EC key may lie on, as the parameters of its algorithm encode
// them (an object identifier in DER): P-256, P-384 and P-521.
constexpr BYTE kCurveP256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr BYTE kCurveP384[] = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
constexpr BYTE kCurveP521[] = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};
constexpr DWORD kLeastRsaBits = 2048;

bool IsCurve(const CRYPT_OBJID_BLOB& parameters, const BYTE* curve, DWORD size) {
    return parameters.cbData == size && std::memcmp(parameters.pbData, curve, size) == 0;
}

// Every key from the signer's up to the pinned one holds the pin's weight: a
// key that can be factored or solved signs as well as the genuine one. The
// pinned key is held too, since what it signs is all the pin admits.
Finding HasStrongKey(const Place& place) {
    const CERT_PUBLIC_KEY_INFO& key = place.certificate->pCertInfo->SubjectPublicKeyInfo;
    const char* algorithm = key.Algorithm.pszObjId;
    if (!algorithm) return Finding::kBroken;
    if (std::strcmp(algorithm, szOID_ECC_PUBLIC_KEY) == 0) {
        const CRYPT_OBJID_BLOB& curve = key.Algorithm.Parameters;
        return Kept(IsCurve(curve, kCurveP256, sizeof(kCurveP256)) ||
                    IsCurve(curve, kCurveP384, sizeof(kCurveP384)) ||
                    IsCurve(curve, kCurveP521, sizeof(kCurveP521)));
    }
    if (std::strcmp(algorithm, szOID_RSA_RSA) != 0) return Finding::kBroken;
    const UniqueLocal decoded(
        Decode(RSA_CSP_PUBLICKEYBLOB, key.PublicKey.pbData, key.PublicKey.cbData));
    // The blob is a PUBLICKEYSTRUC, an RSAPUBKEY and the modulus, least
    // significant byte first. The RSAPUBKEY's length counts whole bytes, and
    // zeros the encoding put before the modulus: the key's size is where its
    // highest bit set is.
    const auto* blob = static_cast<const BYTE*>(decoded.get());
    if (!blob) return Finding::kBroken;
    RSAPUBKEY rsa;
    std::memcpy(&rsa, blob + sizeof(PUBLICKEYSTRUC), sizeof(rsa));
    const BYTE* modulus = blob + sizeof(PUBLICKEYSTRUC) + sizeof(rsa);
    DWORD bytes = rsa.bitlen / 8;
    while (bytes > 0 && modulus[bytes - 1] == 0) --bytes;
    DWORD bits = bytes * 8;
    if (bytes)
        for (BYTE top = modulus[bytes - 1]; !(top & 0x80); top = static_cast<BYTE>(top << 1))
            --bits;
    return Kept(bits >= kLeastRsaBits);
}

// Basic constraints that decode and say CA:TRUE.
bool SaysCa(PCCERT_CONTEXT certificate) {
    const CERT_EXTENSION* extension = FindExtension(certificate, szOID_BASIC_CONSTRAINTS2);
    if (!extension) return false;
    const UniqueLocal constraints(
        Decode(X509_BASIC_CONSTRAINTS2, extension->Value.pbData, extension->Value.cbData));
    return constraints && static_cast<const CERT_BASIC_CONSTRAINTS2_INFO*>(constraints.get())->fCA;
}

// A certificate that issues another must be a CA: anyone may hold an
// end-entity certificate of the pinned CA, and its key must not hand the pin
// on to certificates of its holder's making. The signer's must be none: a CA's
// key is kept for issuing, and one that signs files as well is not the key
// the pinned CA meant for code.
Finding IsAuthorityWhereItIssues(const Place& place) {
    return Kept(SaysCa(place.certificate) != place.signer);
}

// A certificate the pinned CA gave for another purpose (a server's, say)
// must not sign code, nor issue what does.
Finding AllowsCodeSigning(const Place& place) {
    const CERT_EXTENSION* extension = FindExtension(place.certificate, szOID_ENHANCED_KEY_USAGE);
    if (!extension) return Kept(!place.signer);
    const UniqueLocal decoded(
        Decode(X509_ENHANCED_KEY_USAGE, extension->Value.pbData, extension->Value.cbData));
    const auto* usage = static_cast<const CERT_ENHKEY_USAGE*>(decoded.get());
    for (DWORD i = 0; usage && i < usage->cUsageIdentifier; ++i) {
        const char* purpose = usage->rgpszUsageIdentifier[i];
        if (purpose && (std::strcmp(purpose, szOID_PKIX_KP_CODE_SIGNING) == 0 ||
                        std::strcmp(purpose, szOID_ANY_ENHANCED_KEY_USAGE) == 0))
            return Finding::kKept;
    }
    return Finding::kBroken;
}

// A key must be allowed the use it is put to: keyCertSign, the bit of value
// 0x04 in the first byte of the key usage, where it issues certificates
// (whatever other bits follow: Wine's engine reads the last byte instead);
// digitalSignature, the bit of value 0x80, where it signs the file. The
// engine's mark stands on the signer's, as it also marks an extended key
// usage that does not allow code signing there.
Finding AllowsItsUse(const Place& place) {
    const CERT_EXTENSION* extension = FindExtension(place.certificate, szOID_KEY_USAGE);
    if (!extension) return Finding::kKept;
    const UniqueLocal decoded(
        Decode(X509_KEY_USAGE, extension->Value.pbData, extension->Value.cbData));
    const auto* usage = static_cast<const CRYPT_BIT_BLOB*>(decoded.get());
    if (place.signer)
        return Kept(usage && usage->cbData >= 1 &&
                    (usage->pbData[0] & CERT_DIGITAL_SIGNATURE_KEY_USAGE));
    return Settled(usage && usage->cbData >= 1 &&
                   (usage->pbData[0] & CERT_KEY_CERT_SIGN_KEY_USAGE));
}

// The extensions that bound which certificate policies a path may carry. The
// rules do not evaluate policies: a CA that asks for them is refused, critical
// or not, as a pinned product's own CAs have no use for them.
constexpr const char* kPolicyExtensions[] = {
    szOID_POLICY_CONSTRAINTS,
    szOID_POLICY_MAPPINGS,
    szOID_INHIBIT_ANY_POLICY,
};

Finding HasNoPolicyConstraints(const Place& place) {
    for (const char* oid : kPolicyExtensions)
        if (FindExtension(place.certificate, oid)) return Finding::kBroken;
    return Finding::kKept;
}

// The extensions whose meaning the rules take into account; a critical
// extension of any other kind, or one that does not decode as its kind, might
// have forbidden what the chain is used for.
constexpr const char* kUnderstoodExtensions[] = {
    szOID_BASIC_CONSTRAINTS2, szOID_KEY_USAGE,         szOID_ENHANCED_KEY_USAGE,
    szOID_NAME_CONSTRAINTS,   szOID_SUBJECT_ALT_NAME2, szOID_CERT_POLICIES,
};

bool IsUnderstood(const CERT_EXTENSION& extension) {
    for (const char* understood : kUnderstoodExtensions)
        if (extension.pszObjId && std::strcmp(extension.pszObjId, understood) == 0)
            return static_cast<bool>(
                Decode(understood, extension.Value.pbData, extension.Value.cbData));
    return false;
}

// An extension given twice is refused whatever it is: the engine and the
// rules read only its first copy, which another copy may contradict.
Finding HasOnlyUnderstoodCriticalExtensions(const Place& place) {
    const CERT_INFO& info = *place.certificate->pCertInfo;
    for (DWORD i = 0; i < info.cExtension; ++i) {
        const CERT_EXTENSION& extension = info.rgExtension[i];
        if (!extension.pszObjId || (extension.fCritical && !IsUnderstood(extension)))
            return Finding::kBroken;
        for (DWORD j = 0; j < i; ++j)
            if (std::strcmp(info.rgExtension[j].pszObjId, extension.pszObjId) == 0)
                return Finding::kBroken;
    }
    return Finding::kKept;
}

// Issued by a key of the same name, as when a CA renews its key: such a
// certificate does not count against a path length, nor is it held to name
// constraints. (Its issuer is the subject of the one above it: see
// SignedByIssuer.)
bool IsSelfIssued(PCCERT_CONTEXT certificate) {
    return SameName(certificate->pCertInfo->Subject, certificate->pCertInfo->Issuer);
}

// A CA's path length constraint bounds the number of CAs below it down to the
// signer's, those that issued themselves not counted. A CA breaks the rule
// where it and the CAs between it and a CA above it, up to the pinned
// certificate, are more than that CA's constraint allows.
Finding WithinPathLength(const Place& place) {
    const CERT_EXTENSION* own = FindExtension(place.certificate, szOID_BASIC_CONSTRAINTS2);
    if (own && !Decode(X509_BASIC_CONSTRAINTS2, own->Value.pbData, own->Value.cbData))
        return Finding::kBroken;
    if (place.signer || place.pinned) return Finding::kSettled;
    DWORD below = 0;
    for (int at = place.at; at <= place.pinnedAt; ++at) {
        const PCCERT_CONTEXT certificate = CertificateAt(place.chain, at);
        if (!certificate) return Finding::kBroken;
        const CERT_EXTENSION* extension = FindExtension(certificate, szOID_BASIC_CONSTRAINTS2);
        const UniqueLocal decoded(
            extension
                ? Decode(X509_BASIC_CONSTRAINTS2, extension->Value.pbData, extension->Value.cbData)
                : UniqueLocal());
        const auto* constraints = static_cast<const CERT_BASIC_CONSTRAINTS2_INFO*>(decoded.get());
        if (at > place.at && constraints && constraints->fPathLenConstraint &&
            below > constraints->dwPathLenConstraint)
            return Finding::kBroken;
        if (!IsSelfIssued(certificate)) ++below;
    }
    return Finding::kSettled;
}

// Name constraints are held only as far as the check evaluates them: names of
// the directory, and no more subtrees or name parts than keep the comparison
// cheap (it is quadratic). A constraint beyond that refuses the chain.
constexpr DWORD kMostSubtrees = 32;
constexpr DWORD kMostNameParts = 16;

bool IsText(const CERT_RDN_ATTR& part) {
    const DWORD type = part.dwValueType & CERT_RDN_TYPE_MASK;
    return type >= CERT_RDN_NUMERIC_STRING && type <= CERT_RDN_UTF8_STRING;
}

// Blanks: the space, tab and line breaks, and the no-break space.
bool IsBlank(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r') || c == 0x00A0; }

// A name part's text without blanks before and after it and with each run of
// blanks inside it as one. Wine counts the closing null of a decoded UTF-8
// string in its size; a null at the end is not part of the text.
std::wstring Trimmed(const CERT_RDN_VALUE_BLOB& value) {
    const auto* text = reinterpret_cast<const wchar_t*>(value.pbData);
    DWORD length = text ? value.cbData / sizeof(wchar_t) : 0;
    while (length > 0 && text[length - 1] == L'\0') --length;
    std::wstring trimmed;
    bool blank = false;
    for (DWORD i = 0; i < length; ++i) {
        if (IsBlank(text[i])) {
            blank = !trimmed.empty();
            continue;
        }
        if (blank) trimmed += L' ';
        blank = false;
        trimmed += text[i];
    }
    return trimmed;
}

// Texts compare whatever string type encodes them, letter case aside.
bool SamePart(const CERT_RDN_ATTR& a, const CERT_RDN_ATTR& b) {
    if (!a.pszObjId || !b.pszObjId || std::strcmp(a.pszObjId, b.pszObjId) != 0) return false;
    if (IsText(a) && IsText(b)) {
        const std::wstring first = Trimmed(a.Value), second = Trimmed(b.Value);
        return CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                    static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
    }
    return a.dwValueType == b.dwValueType && a.Value.cbData == b.Value.cbData &&
           std::memcmp(a.Value.pbData, b.Value.pbData, a.Value.cbData) == 0;
}

bool AllIn(const CERT_RDN& parts, const CERT_RDN& set) {
    for (DWORD i = 0; i < parts.cRDNAttr; ++i) {
        bool found = false;
        for (DWORD j = 0; !found && j < set.cRDNAttr; ++j)
            found = SamePart(parts.rgRDNAttr[i], set.rgRDNAttr[j]);
        if (!found) return false;
    }
    return true;
}

// Two RDNs are the same set of parts.
bool SameRdn(const CERT_RDN& a, const CERT_RDN& b) {
    return a.cRDNAttr == b.cRDNAttr && AllIn(a, b) && AllIn(b, a);
}

// A subtree of directory names holds the names that begin with its RDNs.
bool BeginsWith(const CERT_NAME_INFO& name, const CERT_NAME_INFO& start) {
    if (start.cRDN > name.cRDN) return false;
    for (DWORD i = 0; i < start.cRDN; ++i)
        if (!SameRdn(name.rgRDN[i], start.rgRDN[i])) return false;
    return true;
}

bool HoldsUniversalString(const CERT_NAME_INFO& name) {
    for (DWORD i = 0; i < name.cRDN; ++i)
        for (DWORD j = 0; j < name.rgRDN[i].cRDNAttr; ++j)
            if ((name.rgRDN[i].rgRDNAttr[j].dwValueType & CERT_RDN_TYPE_MASK) ==
                CERT_RDN_UNIVERSAL_STRING)
                return true;
    return false;
}

// Whether `subject` lies in `subtree`, or that the check does not evaluate the
// subtree.
enum class InSubtree { kNo, kYes, kNotEvaluated };

InSubtree Within(const CERT_NAME_INFO& subject, const CERT_GENERAL_SUBTREE& subtree) {
    if (subtree.Base.dwAltNameChoice != CERT_ALT_NAME_DIRECTORY_NAME || subtree.dwMinimum != 0 ||
        subtree.fMaximum)
        return InSubtree::kNotEvaluated;
    const UniqueLocal decoded(Decode(X509_UNICODE_NAME, subtree.Base.DirectoryName.pbData,
                                     subtree.Base.DirectoryName.cbData));
    const auto* start = static_cast<const CERT_NAME_INFO*>(decoded.get());
    if (!start) return InSubtree::kNotEvaluated;
    DWORD parts = 0;
    for (DWORD i = 0; i < start->cRDN; ++i) parts += start->rgRDN[i].cRDNAttr;
    if (parts > kMostNameParts) return InSubtree::kNotEvaluated;
    // A UniversalString is not read as text here, in the name or in the subtree: it could hide a
    // name excluded in another type, or exclude one that it never matches.
    if (HoldsUniversalString(subject) || HoldsUniversalString(*start))
        return InSubtree::kNotEvaluated;
    return BeginsWith(subject, *start) ? InSubtree::kYes : InSubtree::kNo;
}

// `subject` against one CA's constraints: in no excluded subtree and, where
// there are permitted ones, in one of them.
bool KeepsConstraints(const CERT_NAME_INFO& subject,
                      const CERT_NAME_CONSTRAINTS_INFO& constraints) {
    if (constraints.cPermittedSubtree + constraints.cExcludedSubtree > kMostSubtrees) return false;
    for (DWORD i = 0; i < constraints.cExcludedSubtree; ++i)
        if (Within(subject, constraints.rgExcludedSubtree[i]) != InSubtree::kNo) return false;
    bool permitted = constraints.cPermittedSubtree == 0;
    for (DWORD i = 0; i < constraints.cPermittedSubtree; ++i) {
        const InSubtree within = Within(subject, constraints.rgPermittedSubtree[i]);
        if (within == InSubtree::kNotEvaluated) return false;
        permitted = permitted || within == InSubtree::kYes;
    }
    return permitted;
}

// Directory names in a subject alternative name are names the constraints
// would hold too; the check does not evaluate them.
bool HasDirectoryAltName(PCCERT_CONTEXT certificate) {
    const CERT_EXTENSION* extension = FindExtension(certificate, szOID_SUBJECT_ALT_NAME2);
    if (!extension) return false;
    const UniqueLocal decoded(
        Decode(X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData));
    const auto* names = static_cast<const CERT_ALT_NAME_INFO*>(decoded.get());
    if (!names) return true;
    for (DWORD i = 0; i < names->cAltEntry; ++i)
        if (names->rgAltEntry[i].dwAltNameChoice == CERT_ALT_NAME_DIRECTORY_NAME) return true;
    return false;
}

// Each certificate's subject keeps the name constraints of every CA above it
// up to the pinned one, one that issued itself excepted where it is a CA.
Finding KeepsNameConstraints(const Place& place) {
    if (place.pinned || (!place.signer && IsSelfIssued(place.certificate)))
        return Finding::kSettled;
    const bool directoryAltName = HasDirectoryAltName(place.certificate);
    const CERT_NAME_BLOB& name = place.certificate->pCertInfo->Subject;
    const UniqueLocal decodedName(Decode(X509_UNICODE_NAME, name.pbData, name.cbData));
    const auto* subject = static_cast<const CERT_NAME_INFO*>(decodedName.get());
    for (int at = place.at + 1; at <= place.pinnedAt; ++at) {
        const PCCERT_CONTEXT certificate = CertificateAt(place.chain, at);
        if (!certificate) return Finding::kBroken;
        const CERT_EXTENSION* extension = FindExtension(certificate, szOID_NAME_CONSTRAINTS);
        if (!extension) continue;
        const UniqueLocal decoded(
            Decode(X509_NAME_CONSTRAINTS, extension->Value.pbData, extension->Value.cbData));
        const auto* constraints = static_cast<const CERT_NAME_CONSTRAINTS_INFO*>(decoded.get());
        // Critical constraints that do not decode are the CA's own breach.
        if (!constraints && extension->fCritical) continue;
        if (!subject || !constraints || directoryAltName ||
            !KeepsConstraints(*subject, *constraints))
            return Finding::kBroken;
    }
    return Finding::kSettled;
}

// Each rule is kept by a certificate when the chain engine marks none of its
// `marks` on it and the project's own check, where there is one, holds; where
// that check settles the rule, the engine's marks for it do not count. The
// engine's marks are read for the rules it was measured to mark in the chain
// the verify call builds; the project checks each rule itself, once, beside
// them. A certificate is held to the rules in this order and named by the
// first it breaks.
struct Rule {
    const wchar_t* name;
    DWORD marks;
    Finding (*holds)(const Place&);
};

constexpr Rule kRules[] = {
    {L"signed with SHA-256, SHA-384 or SHA-512 (RSA or ECDSA), never MD2, MD4, MD5 or SHA-1, "
     L"the same algorithm named inside and outside the signed part",
     0, &SignedSoundly},
    {L"signed by the key of the certificate above it, and naming that one's subject as its issuer",
     CERT_TRUST_IS_NOT_SIGNATURE_VALID, &SignedByIssuer},
    {L"an RSA key of at least 2048 bits or an EC key on P-256, P-384 or P-521", 0, &HasStrongKey},
    {L"a CA (basic constraints CA:TRUE), as every certificate that issues one must be, and the "
     L"signer's none",
     0, &IsAuthorityWhereItIssues},
    {L"an extended key usage allowing code signing or any use: the signer's always, any other's "
     L"where it has one",
     0, &AllowsCodeSigning},
    {L"within the path length that every CA above it allows (CAs that issued themselves not "
     L"counted), its basic constraints decoding",
     CERT_TRUST_INVALID_BASIC_CONSTRAINTS, &WithinPathLength},
    {L"a key usage, where it has one, with keyCertSign (bit 5) where it issues certificates and "
     L"digitalSignature (bit 0) in the signer's",
     CERT_TRUST_IS_NOT_VALID_FOR_USAGE, &AllowsItsUse},
    {L"name constraints of every CA above it kept, each CA's in directory names only, at most 32 "
     L"subtrees of at most 16 name parts each, and no directory name in its alternative name: "
     L"the name begins with none excluded, and with one permitted where any are",
     kNameConstraintMarks, &KeepsNameConstraints},
    {L"no policy constraints, policy mappings or inhibit-any-policy, critical or not (not "
     L"evaluated)",
     0, &HasNoPolicyConstraints},
    {L"no critical extension but basic constraints, key usage, extended key usage, name "
     L"constraints, subject alternative name and certificate policies, each decoding, and no "
     L"extension twice",
     CERT_TRUST_INVALID_EXTENSION | CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT,
     &HasOnlyUnderstoodCriticalExtensions},
    {L"no other mark of the chain engine (an untrusted root, validity periods and unknown "
     L"revocation are accepted)",
     ~0u, nullptr},
};

constexpr wchar_t kMissing[] = L"a certificate in its place";
constexpr const Rule& kStrongKey = kRules[2];
static_assert(kRules[2].holds == &HasStrongKey && kRules[1].holds == &SignedByIssuer);

// A link can fail because the key that signed it is of a kind the system
// cannot verify (an EC key on secp256k1, say): where that key breaks the key
// rule, the certificate holding it is named, by that rule.
bool LinkFailsByKeyAbove(const Rule& rule, const Place& place) {
    if (rule.holds != &SignedByIssuer || !place.issuer) return false;
    Place above = place;
    above.certificate = place.issuer;
    return HasStrongKey(above) == Finding::kBroken;
}

}  // namespace

ChainBreak FirstBrokenRule(const CERT_SIMPLE_CHAIN& chain, int pinnedAt) {
    for (int i = 0; i <= pinnedAt; ++i) {
        const CERT_CHAIN_ELEMENT* element = chain.rgpElement[i];
        const CERT_CHAIN_ELEMENT* above = i < pinnedAt ? chain.rgpElement[i + 1] : nullptr;
        const Place place{chain,
                          i,
                          pinnedAt,
                          element ? element->pCertContext : nullptr,
                          above ? above->pCertContext : nullptr,
                          i == 0,
                          i == pinnedAt};
        if (!place.certificate || !place.certificate->pCertInfo) return {i, kMissing};
        DWORD marks = element->TrustStatus.dwErrorStatus & ~kToleratedMarks;
        for (const Rule& rule : kRules) {
            const Finding found = rule.holds ? rule.holds(place) : Finding::kKept;
            if (found == Finding::kSettled) marks &= ~rule.marks;
            if (found == Finding::kBroken || (marks & rule.marks))
                return LinkFailsByKeyAbove(rule, place) ? ChainBreak{i + 1, kStrongKey.name}
                                                        : ChainBreak{i, rule.name};
        }
    }
    return {-1, nullptr};
}

}  // namespace trust
