#pragma once

#include <array>
#include <cstddef>

// The certificate display names of the accepted publishers, in table order.
// Each entry has a buffer of its own, filled on first use (safely when two
// threads get there first together) and unchanged afterwards; the accessor
// returns it zero-terminated.
using SignerNameAccessor = const wchar_t* (*)();

constexpr size_t kAcceptedSignerCount = 23;
extern const std::array<SignerNameAccessor, kAcceptedSignerCount> AcceptedSignerNames;
