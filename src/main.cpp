// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The command line: the tool's name and options, its messages and its exit
// statuses.

#include "cmakeapimapper.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QStringList>

#include <iostream>

namespace {

int report(const char *message, int exitCode)
{
    std::cout << message << std::endl;
    return exitCode;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Dorvane"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("CMake file API path mapper"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("sysrootPath"), QCoreApplication::translate("main", "sysroot path"),
                                 QStringLiteral("<sysrootPath>"));
    parser.addPositionalArgument(QStringLiteral("workspacePath"),
                                 QCoreApplication::translate("main", "workspace path"),
                                 QStringLiteral("<workspacePath>"));
    parser.process(app);

    const QStringList paths = parser.positionalArguments();
    if (paths.isEmpty())
        return report("Sysroot and workspace paths must be provided!", 1);
    if (paths.size() == 1)
        return report("workspace path must be provided!", 1);
    if (paths.size() > 2)
        return report("Only sysroot and workspace paths must be provided!", 1);

    CmakeApiMapper mapper(paths.at(0), paths.at(1));
    if (!mapper.isReplyExist())
        return report("Reply is not exist.", 0);
    if (!mapper.DoCMakeApiPathMapping())
        return report("Mapping error!", 1);
    return 0;
}
