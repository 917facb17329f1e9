// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Running the tool, and the programs around it, from the tests.

#ifndef TOOLRUN_H
#define TOOLRUN_H

#include <QtCore/QProcess>

#include <functional>

// What a program printed, then "exit" and its status, or "killed".
inline QByteArray runProcess(const QString &program, const QStringList &arguments, const QString &directory,
                             const std::function<void()> &inChild = {})
{
    QProcess process;
    process.setWorkingDirectory(directory);
    if (inChild)
        process.setChildProcessModifier(inChild);
    process.start(program, arguments);
    if (!process.waitForFinished(300000))
        return "did not finish";
    return process.readAllStandardOutput()
            + (process.exitStatus() == QProcess::NormalExit ? "exit " + QByteArray::number(process.exitCode()) : "killed");
}

// The tool, as an ordinary user through setpriv if asked: as root,
// permission bits stop nothing.
inline QByteArray runTool(const QString &directory, const QStringList &arguments, bool asNobody = false,
                          const std::function<void()> &inChild = {})
{
    const QStringList nobody = { "--reuid=65534", "--regid=65534", "--clear-groups", DORVANE_EXE };
    return asNobody ? runProcess("setpriv", nobody + arguments, directory, inChild)
                    : runProcess(DORVANE_EXE, arguments, directory, inChild);
}

#endif // TOOLRUN_H
