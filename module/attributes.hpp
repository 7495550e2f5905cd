#pragma once

// For functions that run only when something fails: kept out of line and out
// of the way of the hot paths that call them.
#if defined(_MSC_VER) && !defined(__clang__)
#define VOSTRAL_COLD __declspec(noinline)
#else
#define VOSTRAL_COLD [[gnu::cold, gnu::noinline]]
#endif

// For the few small functions on every call's path that the optimiser would
// otherwise leave out of line once the caller grows.
#if defined(_MSC_VER) && !defined(__clang__)
#define VOSTRAL_ALWAYS_INLINE __forceinline
#else
#define VOSTRAL_ALWAYS_INLINE [[gnu::always_inline]] inline
#endif
