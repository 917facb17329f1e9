// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The two scans that see every byte of a reply: where a path rule's match
// can start, and whether a text is plain ASCII. Replies and databases run to
// hundreds of MB, so both skip whole blocks with AVX2 where the processor
// has it; the tests build them again with DORVANE_NO_AVX2, so that the
// plain code runs on any machine.

#ifndef TEXTSCAN_H
#define TEXTSCAN_H

#include <QtCore/QtGlobal>

#include <array>
#include <string>

// A slash followed by one of a few characters.
template <typename Char>
class SlashFilter
{
public:
    // A character that may follow the slash.
    void addSecond(Char second);
    // The first slash at or after from that one of them follows, or -1.
    qsizetype nextCandidate(const Char *text, qsizetype from, qsizetype size) const;

private:
    std::basic_string<Char> seconds;
    std::array<bool, 256> isSecond = {};
};

// Whether the text holds only ASCII and no carriage return, as reply files
// nearly always do.
bool isPlainAscii(const char *text, qsizetype size);

#endif // TEXTSCAN_H
