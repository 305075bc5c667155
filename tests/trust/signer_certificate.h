#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <string>

struct CertificateFree {
    void operator()(const CERT_CONTEXT* certificate) const {
        CertFreeCertificateContext(certificate);
    }
};
using UniqueCertificate = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

// The certificate that signed the file's embedded Authenticode signature, read
// straight from the signature without any trust decision; null when the file
// carries none.
UniqueCertificate EmbeddedSignerCertificate(const std::wstring& path);

// CertGetNameStringW's simple display name.
std::wstring DisplayName(const CERT_CONTEXT* certificate);
