// Whether this build is instrumented by AddressSanitizer, for the code that
// must know: the cpu runtime's fibers, batch mode's sanitizer reports, tests.
// ROUGHGC_ASAN is defined where AddressSanitizer instruments the build: GCC
// says so with __SANITIZE_ADDRESS__, clang before 18 only through
// __has_feature (which GCC 12 cannot parse on the same #if line).
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define ROUGHGC_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ROUGHGC_ASAN 1
#endif
#endif
