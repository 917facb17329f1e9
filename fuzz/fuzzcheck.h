// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

#ifndef FUZZCHECK_H
#define FUZZCHECK_H

#include <cstdio>
#include <cstdlib>

// A property that failed: say which, and crash, so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                                   \
    do {                                                                                                        \
        if (!(condition)) {                                                                                     \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition);               \
            std::abort();                                                                                       \
        }                                                                                                       \
    } while (false)

#endif // FUZZCHECK_H
