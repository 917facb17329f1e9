// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Where in a text a path rule's match can start: at a slash followed by one
// of a few characters.

#ifndef SLASHFILTER_H
#define SLASHFILTER_H

#include "simd.h"

#include <QtCore/QtGlobal>

#include <array>
#include <string>

template <typename Char>
class SlashFilter
{
public:
    // A character that may follow the slash.
    void add(Char second);
    // The first slash at or after from that one of them follows, or -1.
    qsizetype next(const Char *text, qsizetype from, qsizetype size) const;

private:
#ifdef DORVANE_AVX2
    const char *skipAvx2(const char *p, const char *last) const;
#endif

    std::basic_string<Char> seconds;
    std::array<bool, 256> isSecond = {};
#ifdef DORVANE_SSE2
    __m128i wanted[16];
    int wantedCount = 0;
#endif
};

#endif // SLASHFILTER_H
