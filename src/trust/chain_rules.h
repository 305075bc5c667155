#pragma once

#include <windows.h>
#include <wincrypt.h>

namespace trust {

// Where a chain breaks: the place of the first certificate that breaks a rule
// (the signer's is 0) and that rule, as extrun-check names it; at -1 and no
// rule when every certificate keeps every rule.
struct ChainBreak {
    int at;
    const wchar_t* rule;
};

// Checks the certificates of `chain` from the signer's (element 0) up to the
// one holding the pinned key (element `pinnedAt`, which must be there) against
// the rules of certificate path validation, the trust in the root and every
// validity period excepted: the pinned key stands in for the root, and
// installed files outlive their certificates. The constraints of certificates
// above the pinned one are not read; a mark that the chain engine puts on the
// pinned certificate for a rule the project does not settle itself (a
// signature by a certificate above that does not verify, say) still refuses.
ChainBreak FirstBrokenRule(const CERT_SIMPLE_CHAIN& chain, int pinnedAt);

}  // namespace trust
