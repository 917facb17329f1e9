// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The engine's inspect output read into a table of paths: podman and docker
// print the same members for what the table needs.

#include "containertable.h"

#include "runreport.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QProcess>
#include <QtCore/QStandardPaths>

#include <algorithm>

namespace {

const char DEV_CONTAINER_LABEL[] = "devcontainer.local_folder";

QByteArray oneLine(QByteArray text)
{
    text = text.trimmed();
    text.replace('\n', "; ");
    return text;
}

bool isHexDigits(QStringView text)
{
    return !text.isEmpty()
            && std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit() || (c >= u'a' && c <= u'f'); });
}

// As a --map CONTAINER must be: absolute, not "/", no empty, "." or ".." component.
bool isCleanContainerPath(const QString &path)
{
    if (!path.startsWith(u'/') || path.size() < 2)
        return false;
    const QStringList components = path.sliced(1).split(u'/');
    return std::none_of(components.begin(), components.end(), [](const QString &component) {
        return component.isEmpty() || component == u"." || component == u"..";
    });
}

bool holds(const QString &directory, const QString &path)
{
    return path == directory || path.startsWith(directory + u'/');
}

} // namespace

bool runEngine(const QString &engine, const QStringList &arguments, EngineRun &run, int timeoutSeconds)
{
    const QByteArray command = QFile::encodeName(engine) + ' ' + arguments.value(0).toUtf8();
    QProcess process;
    process.start(engine, arguments);
    if (!process.waitForStarted(-1)) {
        run.problem = "cannot run " + QFile::encodeName(engine) + ": " + process.errorString().toUtf8();
        return false;
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutSeconds * 1000)) {
        process.kill();
        process.waitForFinished(-1);
        run.problem = command + " did not end within " + QByteArray::number(timeoutSeconds) + " s";
        return false;
    }
    run.output = process.readAllStandardOutput();
    const QByteArray errors = oneLine(process.readAllStandardError());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        run.problem = command + " failed: "
                + (!errors.isEmpty() ? errors
                   : process.exitStatus() != QProcess::NormalExit ? QByteArray("ended by a signal")
                                                                  : "exit status " + QByteArray::number(process.exitCode()));
        return false;
    }
    return true;
}

QString findEngine(const QString &named)
{
    if (!named.isEmpty())
        return named;
    for (const char *engine : { "podman", "docker" }) {
        const QString found = QStandardPaths::findExecutable(QString::fromLatin1(engine));
        if (!found.isEmpty())
            return QString::fromLatin1(engine);
    }
    return {};
}

bool readInspection(const QByteArray &json, Container &container, QByteArray &problem)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (document.isNull()) {
        problem = "printed no JSON: " + error.errorString().toUtf8() + " at offset " + QByteArray::number(error.offset);
        return false;
    }
    const QJsonArray containers = document.array();
    if (!document.isArray() || containers.isEmpty() || !containers.first().isObject()) {
        problem = "printed no container";
        return false;
    }
    if (containers.size() > 1) {
        problem = "printed " + QByteArray::number(containers.size()) + " containers, not one";
        return false;
    }
    const QJsonObject inspected = containers.first().toObject();
    const QJsonValue mounts = inspected.value(u"Mounts");
    if (!mounts.isArray()) {
        problem = "printed a container with no \"Mounts\" array";
        return false;
    }
    // docker names the image "sha256:" and its digest, podman by the digest alone.
    QString image = inspected.value(u"Image").toString();
    if (image.startsWith(u"sha256:"))
        image.remove(0, 7);
    if (!isHexDigits(image)) {
        problem = "printed a container whose \"Image\" is no image id";
        return false;
    }
    container.imageId = image;
    container.id = inspected.value(u"Id").toString();
    if (!isHexDigits(container.id)) {
        problem = "printed a container whose \"Id\" is no container id";
        return false;
    }
    const QString workingDirectory = inspected.value(u"Config").toObject().value(u"WorkingDir").toString();
    QList<PathMapping> &mappings = container.paths.mappings;
    const auto warn = [&](const QByteArray &what, const QString &path) {
        container.warnings.append(what + " at \"" + path.toUtf8()
                                  + "\" has no path a host tool can read: its paths stay as they are");
    };
    for (const QJsonValue &value : mounts.toArray()) {
        const QJsonObject mount = value.toObject();
        const QString type = mount.value(u"Type").toString();
        QString destination = mount.value(u"Destination").toString();
        if (destination.size() > 1 && destination.endsWith(u'/'))
            destination.chop(1);
        if (type != u"bind") {
            warn(type == u"volume" ? QByteArray("the volume") : "the " + type.toUtf8() + " mount", destination);
        } else if (!isCleanContainerPath(destination) || mount.value(u"Source").toString().isEmpty()) {
            container.warnings.append("a bind mount at \"" + destination.toUtf8()
                                      + "\" is left out: no paths a mapping can take");
        } else if (std::none_of(mappings.begin(), mappings.end(),
                                [&](const PathMapping &mapping) { return mapping.container == destination; })) {
            mappings.append({ destination, mount.value(u"Source").toString() });
        }
    }
    // podman lists a tmpfs here, not among the mounts.
    const QJsonObject tmpfs = inspected.value(u"HostConfig").toObject().value(u"Tmpfs").toObject();
    for (auto it = tmpfs.begin(); it != tmpfs.end(); ++it)
        warn("the tmpfs", it.key());
    std::sort(mappings.begin(), mappings.end(),
              [](const PathMapping &a, const PathMapping &b) { return a.container < b.container; });
    // The mount at /workspace, or else the deepest that holds the working directory.
    const PathMapping *workspace = nullptr;
    for (const PathMapping &mapping : std::as_const(mappings)) {
        if (mapping.container == u"/workspace")
            workspace = &mapping;
    }
    for (auto it = mappings.crbegin(); !workspace && it != mappings.crend(); ++it) {
        if (!workingDirectory.isEmpty() && holds(it->container, workingDirectory))
            workspace = &*it;
    }
    // With none, "/workspace" stays as it is.
    container.paths.workspace = workspace ? workspace->host : QStringLiteral("/workspace");
    return true;
}

bool inspectContainer(const QString &engine, const QString &name, Container &container, QByteArray &problem)
{
    QString id = name;
    EngineRun run;
    if (name.contains(u'/') || name == u"." || name == u"..") {
        const QString folder = QDir::cleanPath(QFileInfo(name).absoluteFilePath());
        const QString label = QString::fromLatin1(DEV_CONTAINER_LABEL) + u'=' + folder;
        if (!runEngine(engine, { QStringLiteral("ps"), QStringLiteral("-a"), QStringLiteral("-q"),
                                 QStringLiteral("--no-trunc"), QStringLiteral("--filter"), QStringLiteral("label=") + label },
                       run)) {
            problem = run.problem;
            return false;
        }
        const QByteArrayList ids = run.output.simplified().split(' ');
        if (run.output.trimmed().isEmpty() || ids.size() > 1) {
            problem = (ids.size() > 1 && !run.output.trimmed().isEmpty()
                               ? QByteArray::number(ids.size()) + " containers have"
                               : QByteArray("no container has"))
                    + " the label " + label.toUtf8();
            return false;
        }
        id = QString::fromUtf8(ids.first());
    }
    if (!runEngine(engine, { QStringLiteral("inspect"), QStringLiteral("--type"), QStringLiteral("container"), id }, run)) {
        problem = run.problem;
        return false;
    }
    if (!readInspection(run.output, container, problem)) {
        problem = QFile::encodeName(engine) + " inspect " + problem;
        return false;
    }
    return true;
}

QString sysrootsDirectory()
{
    // A relative XDG_CACHE_HOME is ignored, as the XDG base directory rules
    // have every program do.
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!cache.startsWith(u'/')) {
        const QString home = qEnvironmentVariable("HOME");
        if (!home.startsWith(u'/'))
            return {};
        cache = home + QStringLiteral("/.cache");
    }
    return QDir::cleanPath(cache) + QStringLiteral("/dorvane/sysroots");
}

MappingPaths mergePaths(const Container &container, const QString &sysroot, const QStringList &positional,
                        const QList<PathMapping> &given, QByteArrayList &taken)
{
    MappingPaths paths = { positional.value(0, sysroot), positional.value(1, container.paths.workspace), given };
    for (const PathMapping &mapping : container.paths.mappings) {
        if (std::none_of(given.begin(), given.end(),
                         [&](const PathMapping &user) { return user.container == mapping.container; })) {
            paths.mappings.append(mapping);
            taken.append(mapping.container.toUtf8() + '=' + mapping.host.toUtf8());
        }
    }
    std::sort(paths.mappings.begin(), paths.mappings.end(),
              [](const PathMapping &a, const PathMapping &b) { return a.container < b.container; });
    if (positional.size() < 1)
        taken.append("the sysroot path " + paths.sysroot.toUtf8());
    if (positional.size() < 2)
        taken.append("the workspace path " + paths.workspace.toUtf8());
    return paths;
}

bool takeContainer(const QString &name, const QString &engine, const QStringList &positional, MappingPaths &paths,
                   Container &container)
{
    const QByteArray named = "--container " + name.toUtf8() + ": ";
    QByteArray problem;
    const QString sysroots = sysrootsDirectory();
    if (engine.isEmpty())
        problem = "no container engine: neither podman nor docker is on PATH, and no --engine PROGRAM given";
    else if (sysroots.isEmpty() && positional.isEmpty())
        problem = "no cache directory for the sysroot: neither XDG_CACHE_HOME nor HOME is an absolute path";
    if (!problem.isEmpty() || !inspectContainer(engine, name, container, problem)) {
        RunReport::tell(named + problem);
        return false;
    }
    for (const QByteArray &warning : std::as_const(container.warnings))
        RunReport::tell("warning: " + named + warning);
    QByteArrayList taken;
    paths = mergePaths(container, sysroots + u'/' + container.imageId, positional, paths.mappings, taken);
    for (const QByteArray &line : std::as_const(taken))
        RunReport::tell(named + line);
    return true;
}
