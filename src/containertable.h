// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The table of paths a container's engine gives: its bind mounts, the
// workspace among them, and the sysroot that its image's headers are copied
// to; and the engine itself, run for what it prints.

#ifndef CONTAINERTABLE_H
#define CONTAINERTABLE_H

#include "pathrules.h"

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayList>
#include <QtCore/QString>
#include <QtCore/QStringList>

// An engine's command, run to its end: what it printed, or, false, one line
// with its own words on why it failed.
struct EngineRun
{
    QByteArray output;
    QByteArray problem;
};
bool runEngine(const QString &engine, const QStringList &arguments, EngineRun &run, int timeoutSeconds = 120);

// podman or docker from PATH, podman first, or the program named; empty
// where PATH holds neither.
QString findEngine(const QString &named);

struct Container
{
    // What the engine calls it, for cp.
    QString id;
    // Hex digits only, so that it names one directory of the cache.
    QString imageId;
    // The sysroot is left empty here: the cache gives it.
    MappingPaths paths;
    // Mounts a host tool cannot read, as warnings.
    QByteArrayList warnings;
};

// The inspect output of one container, docker's format or podman's; false
// with what is wrong with it.
bool readInspection(const QByteArray &json, Container &container, QByteArray &problem);

// name is a container's name or id, or, where it has a "/" or is "." or
// "..", a folder whose dev container is meant. False with the line to say.
bool inspectContainer(const QString &engine, const QString &name, Container &container, QByteArray &problem);

// ${XDG_CACHE_HOME:-~/.cache}/dorvane/sysroots, or empty where HOME is not
// set either.
QString sysrootsDirectory();

// The user's own paths over the container's: positional paths given, and
// each --map over a mount with the same CONTAINER path. The lines that say
// what was taken from the container.
MappingPaths mergePaths(const Container &container, const QString &sysroot, const QStringList &positional,
                        const QList<PathMapping> &given, QByteArrayList &taken);

// All of it, for the command line: the engine named or found, the
// container inspected, its paths under the user's (paths holds the --map
// mappings given), what was found said. False, said, where any step fails.
bool takeContainer(const QString &name, const QString &engine, const QStringList &positional, MappingPaths &paths,
                   Container &container);

#endif // CONTAINERTABLE_H
