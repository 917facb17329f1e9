// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The table of where each container path is on the host, as a host tool
// takes it: concrete prefixes that map each path as a run maps it, and each
// tool's format of them.

#ifndef HOSTTABLE_H
#define HOSTTABLE_H

#include "pathrules.h"

#include <QtCore/QSet>

// Adds the NAME of each cross toolchain root "/opt/cross/NAME/sys-root" that
// a reply's JSON text names.
void addCrossRootNames(QByteArrayView replyText, QSet<QString> &names);

// Every mapping, then each fixed rule as its prefixes: the system
// directories, under each cross root named too, and /workspace; a prefix a
// mapping holds is left to the mapping, which wins there in a run. Longest
// CONTAINER first, so that a tool that takes the first prefix that matches
// takes the one a run takes.
QList<PathMapping> hostPrefixes(const MappingPaths &paths, const QStringList &crossRootNames);

enum class HostFormat {
    Gdb,
    Lldb,
    Clangd,
    Vscode,
    Lines,
};

bool hostFormatNamed(QStringView name, HostFormat &format);

// The table as the tool reads it; where a path cannot be written so, false,
// and out says which path and why.
bool formatHostTable(const QList<PathMapping> &prefixes, HostFormat format, QByteArray &out);

#endif // HOSTTABLE_H
