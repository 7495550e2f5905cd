// Included first in every Mach-O build by zig (scripts/macos.sh): the macOS
// headers that zig 0.17.1 carries leave FLT_MAX and DBL_MAX to <cfloat>,
// which GoogleTest 1.12 does not include, and define no INFINITY, which
// libc++'s <random> uses. Apple's SDK has both; this stands in for it.
#pragma once
#include <cfloat>
#ifndef INFINITY
#define INFINITY __builtin_inff()
#endif
