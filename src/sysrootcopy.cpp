// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// What comes out of the container is untrusted: everything below the
// sysroot is reached through descriptors, never through a link, and no link
// in a copy leads out of the sysroot. The record .dorvane-copies there says
// which directories are whole and which the container lacks; copies are
// made under a lock on the sysroot, so that two runs copy each once.

#include "sysrootcopy.h"

#include "builddirectory.h"
#include "confineddirectory.h"
#include "containertable.h"
#include "includedirectories.h"
#include "planner.h"
#include "runlock.h"
#include "temporaryfiles.h"

#include <QtCore/QDir>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char RECORD_NAME[] = ".dorvane-copies";
// The objects, by name, and the databases, by identity, read for the directories they name.
const char SCANNED_NAME[] = ".dorvane-scanned";
const QByteArray COPY_PREFIX = ".dorvane-copy-";
// A copy of a large directory takes a while: a holder that takes longer
// than this is stuck.
const int COPY_WAIT_MILLISECONDS = 600000;

struct Record
{
    QSet<QByteArray> copied;
    QSet<QByteArray> lacking;

    bool holds(const QByteArray &relative) const
    {
        if (lacking.contains(relative))
            return true;
        for (qsizetype end = relative.size(); end > 0; end = relative.lastIndexOf('/', end - 1)) {
            if (copied.contains(relative.first(end)))
                return true;
        }
        return false;
    }
};

Record readRecord(int sysrootFd)
{
    Record record;
    QByteArray text;
    FileStatus status;
    if (sysrootFd < 0 || readFile(sysrootFd, RECORD_NAME, text, status) != ReadResult::Read)
        return record;
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith("copied "))
            record.copied.insert(line.sliced(7));
        else if (line.startsWith("lacking "))
            record.lacking.insert(line.sliced(8));
    }
    return record;
}

// Whole, by a rename, in the sysroot.
bool replaceFile(int sysrootFd, const char *name, const QByteArray &content)
{
    const QByteArray temporary = TemporaryFiles::newName();
    const FileDescriptor file(openat(sysrootFd, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    const bool written = file.isValid() && writeAll(file.get(), content)
            && renameat(sysrootFd, temporary.constData(), sysrootFd, name) == 0;
    if (!written && file.isValid())
        unlinkat(sysrootFd, temporary.constData(), 0);
    return written;
}

bool replaceFile(const QByteArray &sysroot, const char *name, const QByteArray &content)
{
    const FileDescriptor sysrootFd(open(sysroot.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return sysrootFd.isValid() && replaceFile(sysrootFd.get(), name, content);
}

bool writeRecord(int sysrootFd, const Record &record)
{
    QByteArrayList lines;
    for (const QByteArray &relative : record.copied)
        lines.append("copied " + relative);
    for (const QByteArray &relative : record.lacking)
        lines.append("lacking " + relative);
    std::sort(lines.begin(), lines.end());
    return replaceFile(sysrootFd, RECORD_NAME, lines.join('\n') + '\n');
}

// No empty, "." or ".." component, and no newline, which the record cannot hold.
bool isCleanRelative(const QByteArray &path)
{
    if (path.isEmpty() || path.contains('\n'))
        return false;
    const QByteArrayList components = path.split('/');
    return std::none_of(components.begin(), components.end(),
                        [](const QByteArray &c) { return c.isEmpty() || c == "." || c == ".."; });
}

// The path as the rules rewrite it in reply text.
QString mappedPath(const PathRules &rules, const QString &path)
{
    QByteArray mapped;
    if (!rules.appendMapped(mapped, jsonEscaped(path)))
        return path;
    return QJsonDocument::fromJson("[\"" + mapped + "\"]").array().at(0).toString();
}

// Components resolved as text, from base for a relative path, ".." at the
// root staying there; false where that leads out of the top, the first
// topDepth components of base.
bool resolveLexically(const QByteArrayList &base, qsizetype topDepth, const QByteArray &target, QByteArrayList &resolved)
{
    const bool isAbsolute = target.startsWith('/');
    resolved = isAbsolute ? QByteArrayList() : base;
    for (const QByteArray &component : target.split('/')) {
        if (component == ".." && !resolved.isEmpty())
            resolved.removeLast();
        else if (!component.isEmpty() && component != "." && component != "..")
            resolved.append(component);
    }
    return isAbsolute || (resolved.size() >= topDepth && resolved.first(topDepth) == base.first(topDepth));
}

// Makes every link below the directory open as fd, which is the
// container's path at (components) in a copy of top, lead inside the
// sysroot: an absolute one, or one with "..", to the same path there; one
// that leads out of top by "..", and anything but a file, a directory or
// a link, is left out, said in leftOut.
struct LinkFixer
{
    const PathRules &rules;
    const QString &sysroot;
    qsizetype topDepth;
    QByteArrayList leftOut;

    QByteArray inSysroot(const QByteArrayList &components) const
    {
        const QByteArray path = '/' + components.join('/');
        const QString mapped = mappedPath(rules, QString::fromUtf8(path));
        if (QByteArrayView(path).isValidUtf8() && mapped.startsWith(sysroot + u'/') && !mapped.contains(u"/../"))
            return QFile::encodeName(mapped);
        return QFile::encodeName(sysroot) + (components.isEmpty() ? QByteArray() : path);
    }

    bool fix(int fd, const QByteArrayList &at)
    {
        QByteArrayList names;
        if (!forEachEntry(fd, [&](int, const char *name, unsigned char) {
                names.append(name);
                return true;
            }))
            return false;
        for (const QByteArray &name : std::as_const(names)) {
            struct stat status;
            if (fstatat(fd, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
                return false;
            const QByteArrayList here = at + QByteArrayList { name };
            if (S_ISDIR(status.st_mode)) {
                const FileDescriptor child(openat(fd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (!child.isValid() || !fix(child.get(), here))
                    return false;
            } else if (S_ISLNK(status.st_mode)) {
                if (!fixLink(fd, name, at, here))
                    return false;
            } else if (!S_ISREG(status.st_mode)) {
                leftOut.append('/' + here.join('/') + ": left out of the copy: no file, directory or link");
                if (unlinkat(fd, name.constData(), 0) != 0)
                    return false;
            }
        }
        return true;
    }

    bool fixLink(int fd, const QByteArray &name, const QByteArrayList &at, const QByteArrayList &here)
    {
        QByteArray target(PATH_MAX, Qt::Uninitialized);
        const ssize_t length = readlinkat(fd, name.constData(), target.data(), target.size());
        if (length < 0)
            return false;
        target.truncate(length);
        QByteArrayList resolved;
        if (!resolveLexically(at, topDepth, target, resolved)) {
            leftOut.append('/' + here.join('/') + ": left out of the copy: the link leads out of /"
                           + at.first(topDepth).join('/') + " by \"..\"");
            return unlinkat(fd, name.constData(), 0) == 0;
        }
        // One that only goes down, through links made safe too, stays.
        if (!target.startsWith('/') && !target.split('/').contains(".."))
            return true;
        const QByteArray safe = inSysroot(resolved);
        return unlinkat(fd, name.constData(), 0) == 0 && symlinkat(safe.constData(), fd, name.constData()) == 0;
    }
};

// The directory path names below fd, made where missing, never through a link.
FileDescriptor openBelow(int fd, const QByteArrayList &components)
{
    FileDescriptor current(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    for (const QByteArray &component : components) {
        if (mkdirat(current.get(), component.constData(), 0755) != 0 && errno != EEXIST)
            return FileDescriptor();
        current = FileDescriptor(openat(current.get(), component.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!current.isValid())
            return current;
    }
    return current;
}

void removeLeftCopies(int parentFd)
{
    QList<QByteArray> stale;
    forEachEntry(parentFd, [&](int, const char *name, unsigned char) {
        if (QByteArrayView(name).startsWith(COPY_PREFIX))
            stale.append(name);
        return true;
    });
    QByteArray failedPath;
    FileDescriptor failedDirectory;
    for (const QByteArray &name : std::as_const(stale))
        removeTree(parentFd, name, failedPath, failedDirectory);
}

} // namespace

SysrootCopy::SysrootCopy(const QString &engine, const QString &containerId, const QByteArray &named,
                         const QString &sysroot)
    : engine(engine), containerId(containerId), containerName(named), sysroot(sysroot)
{
}

bool SysrootCopy::bringHeaders(Plan &plan, BuildDirectory &directory, const PathRules &rules, RunReport &report) const
{
    // An object named by the hash of its content names the directories it
    // named when it was read for them; the database, while it is the same
    // file, unchanged. What is mapped with these paths had them brought.
    const FileDescriptor sysrootFd(open(QFile::encodeName(sysroot).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    QSet<QByteArray> scanned;
    QByteArray text;
    FileStatus status;
    if (sysrootFd.isValid() && readFile(sysrootFd.get(), SCANNED_NAME, text, status) == ReadResult::Read) {
        const QByteArrayList names = text.split('\n');
        scanned = QSet<QByteArray>(names.begin(), names.end());
    }
    QSet<QByteArray> newlyScanned;
    QHash<QString, QByteArray> named;
    QSet<QString> found;
    const auto take = [&](const QByteArray &file) {
        for (const QString &path : std::as_const(found))
            named.insert(path, named.value(path, file));
        found.clear();
    };
    for (const PlannedFile &file : std::as_const(plan.objects)) {
        if (file.provenance == Provenance::MappedWithThesePaths || scanned.contains(file.name)
            || !(file.name.startsWith("target-") || file.name.startsWith("toolchains-")))
            continue;
        const ReadResult read = file.provenance == Provenance::MappedWithOtherPaths
                ? directory.keptFiles().readKept(file.name, text)
                : directory.readReplyFile(file.name, text, status);
        if (read == ReadResult::Failed)
            return report.fail(replyPath(file.name), "cannot read", errno);
        if (read == ReadResult::Read)
            addObjectIncludeDirectories(file.name, text, found);
        take(replyPath(file.name));
        if (!hashInName(file.name).isEmpty())
            newlyScanned.insert(file.name);
    }
    if (plan.database && plan.database->provenance != Provenance::MappedWithThesePaths) {
        const FileIdentity &identity = plan.database->status.identity;
        const QByteArray key = "database " + QByteArray::number(identity.device) + ' ' + QByteArray::number(identity.inode)
                + ' ' + QByteArray::number(identity.size) + ' ' + QByteArray::number(identity.modified);
        text.clear();
        if (scanned.contains(key)) {
        } else if (plan.database->provenance == Provenance::MappedWithOtherPaths) {
            if (directory.keptFiles().readKept(KEPT_DATABASE_NAME, text) != ReadResult::Read)
                text.clear();
        } else {
            for (qsizetype before = -1; before != text.size();) {
                before = text.size();
                if (!plan.database->reader.readMore(text, 16 << 20))
                    return report.fail(DATABASE_PATH, "cannot read", errno);
            }
            if (!plan.database->reader.seekToStart())
                return report.fail(DATABASE_PATH, "cannot read", errno);
            newlyScanned.insert(key);
        }
        addDatabaseIncludeDirectories(text, found);
        take(DATABASE_PATH);
    }
    QList<std::pair<QString, QByteArray>> directories;
    for (auto it = named.cbegin(); it != named.cend(); ++it)
        directories.append({ it.key(), it.value() });
    // Where two directories go to one place, as a cross root's and the
    // system's own do, the same one wins on every run.
    std::sort(directories.begin(), directories.end());
    if (!directories.isEmpty() && !bring(directories, rules, report))
        return false;
    // Kept bounded: what is dropped is read again once.
    if (!newlyScanned.isEmpty()) {
        if (scanned.size() + newlyScanned.size() <= 100000)
            newlyScanned.unite(scanned);
        newlyScanned.remove({});
        const QByteArrayList names(newlyScanned.begin(), newlyScanned.end());
        replaceFile(QFile::encodeName(sysroot), SCANNED_NAME, names.join('\n') + '\n');
    }
    return true;
}

bool SysrootCopy::bring(const QList<std::pair<QString, QByteArray>> &named, const PathRules &rules,
                        RunReport &report) const
{
    // By the place each goes, the shorter first: a directory copied holds
    // the ones below it.
    QMap<QByteArray, std::pair<QString, QByteArray>> wanted;
    const QString prefix = sysroot + u'/';
    for (const auto &[path, file] : named) {
        const QString mapped = mappedPath(rules, path);
        const QByteArray relative = QFile::encodeName(mapped.sliced(std::min(prefix.size(), mapped.size())));
        if (mapped.startsWith(prefix) && !path.startsWith(prefix) && isCleanRelative(relative)
            && !wanted.contains(relative))
            wanted.insert(relative, { path, file });
    }
    const QByteArray sysrootPath = QFile::encodeName(sysroot);
    FileDescriptor sysrootFd(open(sysrootPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Record record = readRecord(sysrootFd.get());
    if (std::all_of(wanted.keyBegin(), wanted.keyEnd(), [&](const QByteArray &r) { return record.holds(r); }))
        return true;
    const auto failed = [&](const QByteArray &file, const QByteArray &path, const QByteArray &why) {
        return report.fail(file, "names " + path + ", which cannot be copied from the container: " + why);
    };
    if (!sysrootFd.isValid()) {
        if (!QDir().mkpath(sysroot))
            return failed(wanted.first().second, wanted.first().first.toUtf8(), sysrootPath + ": cannot create");
        sysrootFd = FileDescriptor(open(sysrootPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!sysrootFd.isValid())
            return failed(wanted.first().second, wanted.first().first.toUtf8(), sysrootPath + ": " + std::strerror(errno));
    }
    RunLock lock;
    if (lock.lock(sysrootFd.get(), 0) == RunLock::Busy) {
        RunReport::tell(sysrootPath + ": another run is copying headers here: waiting for it to end");
        if (lock.lock(sysrootFd.get(), COPY_WAIT_MILLISECONDS) == RunLock::Busy)
            return failed(wanted.first().second, wanted.first().first.toUtf8(),
                          "another run held " + sysrootPath + " for the whole wait of "
                                  + QByteArray::number(COPY_WAIT_MILLISECONDS / 1000) + " s");
    }
    record = readRecord(sysrootFd.get());
    for (auto it = wanted.cbegin(); it != wanted.cend(); ++it) {
        const QByteArray &relative = it.key();
        const auto &[path, file] = it.value();
        if (record.holds(relative))
            continue;
        const QByteArray containerPath = path.toUtf8();
        QByteArrayList components = relative.split('/');
        const QByteArray last = components.takeLast();
        const FileDescriptor parent = openBelow(sysrootFd.get(), components);
        if (!parent.isValid())
            return failed(file, containerPath, sysrootPath + '/' + components.join('/') + ": " + std::strerror(errno));
        // Under the lock, a copy beside its place is one a killed run left.
        removeLeftCopies(parent.get());
        const QByteArray temporary = COPY_PREFIX + TemporaryFiles::newName().sliced(9);
        if (mkdirat(parent.get(), temporary.constData(), 0700) != 0)
            return failed(file, containerPath, sysrootPath + '/' + relative + ": " + std::strerror(errno));
        const auto removeTemporary = [&] {
            QByteArray failedPath;
            FileDescriptor failedDirectory;
            removeTree(parent.get(), temporary, failedPath, failedDirectory);
        };
        const QString destination = QFile::decodeName(sysrootPath + '/' + (components.isEmpty() ? QByteArray() : components.join('/') + '/')
                                                      + temporary + "/copy");
        EngineRun run;
        if (!runEngine(engine, { QStringLiteral("cp"), containerId + u':' + path + QStringLiteral("/."), destination }, run, 3600)) {
            removeTemporary();
            // podman's words, then docker's, for a path the container lacks.
            if (!run.problem.contains("could not be found on container") && !run.problem.contains("No such container:path"))
                return failed(file, containerPath, run.problem);
            RunReport::tell("warning: --container " + containerName + ": the container has no " + containerPath
                            + ", which " + report.displayPath(file) + " names");
            record.lacking.insert(relative);
            continue;
        }
        // Links resolve where the copy stands in the container, cross root and all.
        const QByteArrayList at = containerPath.sliced(1).split('/');
        LinkFixer fixer { rules, sysroot, at.size(), {} };
        const FileDescriptor copy(openat(parent.get(), (temporary + "/copy").constData(),
                                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!copy.isValid() || !fixer.fix(copy.get(), at)) {
            const int error = errno;
            removeTemporary();
            return failed(file, containerPath, "its copy: " + QByteArray(std::strerror(error)));
        }
        for (const QByteArray &line : std::as_const(fixer.leftOut))
            RunReport::tell("warning: --container " + containerName + ": " + line);
        // A place that stands holds only the directories made to hold deeper copies.
        const QByteArray from = temporary + "/copy";
        if (renameat(parent.get(), from.constData(), parent.get(), last.constData()) != 0
            && ((errno != EEXIST && errno != ENOTEMPTY)
                || renameat2(parent.get(), from.constData(), parent.get(), last.constData(), RENAME_EXCHANGE) != 0)) {
            const int error = errno;
            removeTemporary();
            return failed(file, containerPath, sysrootPath + '/' + relative + ": " + std::strerror(error));
        }
        removeTemporary();
        record.copied.insert(relative);
    }
    if (!writeRecord(sysrootFd.get(), record))
        return failed(wanted.first().second, wanted.first().first.toUtf8(),
                      sysrootPath + '/' + RECORD_NAME + ": cannot write: " + std::strerror(errno));
    return true;
}
