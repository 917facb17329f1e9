// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The copy of a container's include directories in the sysroot that its
// image names: each brought with the engine's cp, into a temporary
// directory beside its place, made safe and renamed there whole, before a
// run writes anything.

#ifndef SYSROOTCOPY_H
#define SYSROOTCOPY_H

#include "pathrules.h"

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QString>

class BuildDirectory;
class RunReport;
struct Plan;

class SysrootCopy
{
public:
    // named: the container as the command line named it, for the lines said.
    SysrootCopy(const QString &engine, const QString &containerId, const QByteArray &named, const QString &sysroot);

    // Every include directory that what the plan maps from CMake's text
    // names, and that the rules map into the sysroot, there, copied where
    // the copy lacks it. False, said, where it cannot be read or copied.
    bool bringHeaders(Plan &plan, BuildDirectory &directory, const PathRules &rules, RunReport &report) const;

private:
    // Each directory with the file that names it.
    bool bring(const QList<std::pair<QString, QByteArray>> &named, const PathRules &rules, RunReport &report) const;

    QString engine;
    QString containerId;
    QByteArray containerName;
    QString sysroot;
};

#endif // SYSROOTCOPY_H
