#pragma once
// What a sanitizer build changes for the tests. The address sanitizer cannot run under
// an address-space limit and adds its shadow memory and quarantine to every peak; the
// thread sanitizer's shadow memory is a multiple of the program's own, so a peak there
// says nothing about the program. Both make reading gigabytes take minutes.

namespace sensconv::testing_support {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool addressSanitizer = true;
#else
inline constexpr bool addressSanitizer = false;
#endif

#if defined(__SANITIZE_THREAD__)
inline constexpr bool threadSanitizer = true;
#else
inline constexpr bool threadSanitizer = false;
#endif

inline constexpr bool sanitizedBuild = addressSanitizer || threadSanitizer;

// What the address sanitizer adds to a peak resident size.
inline constexpr long sanitizerAllowanceKiB = addressSanitizer ? 160 * 1024 : 0;

}  // namespace sensconv::testing_support
