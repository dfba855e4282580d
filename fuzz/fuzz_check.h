// Invariant checks of the fuzz targets: a failed check aborts, which
// libFuzzer reports as a crash and saves the input. Unlike assert() these
// stay on in optimised builds.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                     \
    ((cond) ? void()                                                                         \
            : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), \
               std::abort()))
