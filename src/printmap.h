// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// --print-map: the table for a host tool, with the cross toolchain roots
// that the reply in the build directory names.

#ifndef PRINTMAP_H
#define PRINTMAP_H

#include "pathrules.h"

// Prints the table in the format named on standard output: 0, or 1 with a
// line on standard error. Reads only the reply's files, and what is kept of
// them, in directory (empty for the current one), and writes nothing.
int printMap(const QString &formatName, const MappingPaths &paths, const QByteArray &directory);

#endif // PRINTMAP_H
