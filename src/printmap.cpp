// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// A mapped reply no longer names the cross roots it replaced, so what is kept
// of CMake's files is read too. Both are read as a run reads them: beneath
// the build directory, no link followed.

#include "printmap.h"

#include "builddirectory.h"
#include "confineddirectory.h"
#include "hosttable.h"
#include "runreport.h"

#include <QtCore/QFileInfo>

#include <cerrno>
#include <unistd.h>

namespace {

bool readCrossRootNames(ConfinedDirectory &buildDirectory, const RunReport &report, QSet<QString> &names)
{
    for (const QByteArray &path : { QByteArray(REPLY_PATH), FILE_API_PATH + QByteArray("/") + KEPT_DIRECTORY_NAME }) {
        FileDescriptor directory;
        const Resolution resolution = buildDirectory.openDirectory(path, directory);
        if (resolution == Resolution::Missing || resolution == Resolution::NotDirectory)
            continue;
        const QByteArray named = report.displayPath(path);
        QList<DirectoryEntry> files;
        if (resolution == Resolution::Outside) {
            RunReport::tell(named + ": the link leads out of the build directory");
            return false;
        }
        if (resolution == Resolution::Failed || !listFiles(directory.get(), files)) {
            RunReport::tell(named + ": cannot open: " + std::strerror(errno));
            return false;
        }
        QByteArray content;
        for (const DirectoryEntry &file : std::as_const(files)) {
            FileStatus status;
            const ReadResult read = file.isSymLink ? ReadResult::Link : readFile(directory.get(), file.name, content, status);
            if (read == ReadResult::Failed) {
                RunReport::tell(named + '/' + file.name + ": cannot read: " + std::strerror(errno));
                return false;
            }
            if (read == ReadResult::Read)
                addCrossRootNames(content, names);
        }
    }
    return true;
}

} // namespace

int printMap(const QString &formatName, const MappingPaths &paths, const QByteArray &directory)
{
    HostFormat format;
    if (!hostFormatNamed(formatName, format)) {
        RunReport::tell("--print-map \"" + formatName.toUtf8() + "\": FORMAT is gdb, lldb, clangd, vscode or lines");
        return 1;
    }
    ConfinedDirectory buildDirectory;
    if (!buildDirectory.openRoot(directory.isEmpty() ? QByteArray(".") : directory)) {
        RunReport::tell((directory.isEmpty() ? "." : directory) + ": cannot enter: " + std::strerror(errno));
        return 1;
    }
    RunReport report;
    report.setDirectory(directory, buildDirectory.rootFd());
    QSet<QString> names;
    if (!readCrossRootNames(buildDirectory, report, names))
        return 1;
    QStringList crossRootNames(names.begin(), names.end());
    crossRootNames.sort();
    QList<PathMapping> prefixes = hostPrefixes(paths, crossRootNames);
    // lldb refuses a host path that does not exist, with an error for each.
    if (format == HostFormat::Lldb)
        prefixes.removeIf([](const PathMapping &prefix) { return !QFileInfo::exists(prefix.host); });
    QByteArray table;
    if (!formatHostTable(prefixes, format, table)) {
        RunReport::tell("--print-map " + formatName.toUtf8() + " cannot give " + table);
        return 1;
    }
    if (!writeAll(STDOUT_FILENO, table)) {
        RunReport::tell(QByteArray("standard output: cannot write: ") + std::strerror(errno));
        return 1;
    }
    return 0;
}
