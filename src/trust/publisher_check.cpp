#include "trust/publisher_check.h"
// Placeholder until the check lands.
int VerifyPublisherSignature(const wchar_t*) { return 0; }
int IsAcceptedSignerName(const wchar_t*) { return 0; }
