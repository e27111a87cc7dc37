// A broken promise of a reader under fuzzing: aborts, so libFuzzer keeps the input and the replay fails.
#pragma once

#include <cstdio>
#include <cstdlib>

#define AGE_FUZZ_CHECK(condition)                                                              \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)
