#pragma once

namespace trust {

// The SHA-256 of a DER-encoded SubjectPublicKeyInfo.
struct PublisherKey {
    unsigned char bytes[32];
};

struct PublisherPins {
    const PublisherKey* keys;
    int count;
};

// The keys this build pins, written by cmake/PublisherPins.cmake from the
// file EXTRUN_PUBLISHER_PINS names; none when it names none, and then the
// signer's name alone decides.
extern const PublisherPins kPublisherPins;

}  // namespace trust
