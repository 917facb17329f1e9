// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// A stream copied to another with every container path mapped, line by
// line, as a build prints it.

#ifndef STREAMFILTER_H
#define STREAMFILTER_H

#include "pathrules.h"

// Reads in to its end, and writes each line, mapped as plain text, as soon
// as it is read, a last one without a newline at the end. 0, also where out
// was closed early; 1, with a line on standard error, where a read or another
// write fails.
int filterStream(const PathRules &rules, int in, int out);

#endif // STREAMFILTER_H
