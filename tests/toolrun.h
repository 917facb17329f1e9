// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Running the tool and the programs around it, and the files they work on.

#ifndef TOOLRUN_H
#define TOOLRUN_H

#include <QtCore/QDir>
#include <QtCore/QProcess>

#include <functional>

// What a program printed, on standard output and error as it wrote them,
// then "exit" and its status, or "killed".
inline QByteArray runProcess(const QString &program, const QStringList &arguments, const QString &directory,
                             const std::function<void()> &inChild = {})
{
    QProcess process;
    process.setWorkingDirectory(directory);
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (inChild)
        process.setChildProcessModifier(inChild);
    process.start(program, arguments);
    if (!process.waitForFinished(300000))
        return "did not finish";
    return process.readAllStandardOutput()
            + (process.exitStatus() == QProcess::NormalExit ? "exit " + QByteArray::number(process.exitCode()) : "killed");
}

#ifdef DORVANE_EXE
// The tool, as an ordinary user through setpriv if asked: as root,
// permission bits stop nothing.
// Arguments that start with "sh" are a shell command that runs the tool as
// "$0": QProcess passes only UTF-8.
inline QByteArray runTool(const QString &directory, const QStringList &arguments, bool asNobody = false,
                          const std::function<void()> &inChild = {})
{
    const QStringList command = arguments.value(0) == "sh" ? QStringList { "sh", "-c", arguments.value(1), DORVANE_EXE }
                                                            : QStringList { DORVANE_EXE } + arguments;
    const QStringList nobody = { "--reuid=65534", "--regid=65534", "--clear-groups" };
    return runProcess(asNobody ? "setpriv" : command.first(), asNobody ? nobody + command : command.mid(1), directory,
                      inChild);
}
#endif

inline QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline bool write(const QString &path, const QByteArray &content, QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(mode) && file.write(content) == content.size();
}

#endif // TOOLRUN_H
