#pragma once
// A failed property is a crash to libFuzzer: it prints the check and aborts, so the input is saved
// as an artifact and the run fails. Unlike assert(), it stays on in every build type.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond);       \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
