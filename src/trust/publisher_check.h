#pragma once

#include <windows.h>

// What one publisher check found, step by step, for a caller that explains
// the decision rather than only acting on it.
struct PublisherCheckDetails {
    // The system is older than major version 6: nothing was verified and the
    // file passes.
    bool skipped;
    // The verify call ran, and what it returned.
    bool verified;
    LONG status;
    // The status is one the check lets through (success, an expired
    // certificate, an untrusted root).
    bool statusTolerated;
    // The signer's display name as read; empty when none could be read. A
    // name that filled the buffer counts as unread.
    wchar_t signer[512];
    bool signerRead;
    bool signerAccepted;
    // How many publisher keys the build pins (0: names alone decide), and
    // the one a certificate of the signer's chain matched, as 64 hex digits;
    // empty when none did.
    int pinCount;
    wchar_t matchedPin[65];
    // Where a pin matched: the place in the chain of the certificate that
    // holds it (the signer's is 0), and the first place at or below it whose
    // certificate breaks a rule of the chain (trust/chain_rules.h), that
    // rule's name and the certificate's display name (cut to fit); -1, null
    // and empty when every certificate keeps every rule. A signature that
    // digests the file or its signed attributes weakly breaks a rule of the
    // signer's (place 0), checked before the chain's.
    int pinnedAt;
    int brokenLink;
    const wchar_t* brokenRule;
    wchar_t brokenName[128];
    // What VerifyPublisherSignature returns for the file.
    int result;
};

// The check itself: VerifyPublisherSignature is this with no details
// wanted. `file`, when not null or INVALID_HANDLE_VALUE, is an open handle
// to the file at `path` that the verify call reads instead of opening the
// path again. `details` may be null; otherwise it is filled in full.
int CheckPublisherSignature(const wchar_t* path, HANDLE file, PublisherCheckDetails* details);

// 1 when the file carries an Authenticode signature whose signer's display
// name is an accepted publisher (or the system is older than major version
// 6), with a pinned key in its chain where the build pins keys; 0 otherwise.
// Null or missing paths give 0.
int VerifyPublisherSignature(const wchar_t* path);

// How many publisher keys this build pins. With none, the signer's name
// alone decides. With some, a file also needs a certificate of its signer's
// chain (the signer's own or an issuer's) whose public key is pinned, every
// certificate up to it keeping the rules of trust/chain_rules.h, and nothing
// passes unverified on systems older than major version 6.
int PinnedPublisherKeyCount();

// 1 when `name` equals an accepted publisher name exactly, 0 otherwise.
int IsAcceptedSignerName(const wchar_t* name);
