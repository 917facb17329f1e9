// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The include directories a reply object or a compilation database names,
// as CMake wrote them: what a copy of a container's headers must hold.

#ifndef INCLUDEDIRECTORIES_H
#define INCLUDEDIRECTORIES_H

#include <QtCore/QByteArrayView>
#include <QtCore/QSet>
#include <QtCore/QString>

// A target object's compile groups' "includes" paths; a toolchains object's
// implicit include directories; every other object names none.
void addObjectIncludeDirectories(const QByteArray &name, QByteArrayView text, QSet<QString> &directories);
// The absolute directories of -I, -isystem, -idirafter and -iquote in the
// commands and arguments of a database, joined to their flag or not.
void addDatabaseIncludeDirectories(QByteArrayView text, QSet<QString> &directories);

#endif // INCLUDEDIRECTORIES_H
