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

// Qt decodes the command line with U+FFFD in place of bytes that are no
// UTF-8, so it is the bytes given that tell whether a path is.
bool isGivenAsUtf8(const QString &path, int argc, char *argv[])
{
    const QStringList arguments = QCoreApplication::arguments();
    for (int i = 1; i < argc && i < arguments.size(); ++i) {
        if (arguments.at(i) == path && !QByteArrayView(argv[i]).isValidUtf8())
            return false;
    }
    return true;
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
    const QCommandLineOption compileCommandsOption(QStringLiteral("compile-commands"),
                                                   QStringLiteral("Maps compile_commands.json as well."));
    parser.addOption(compileCommandsOption);
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

    // A JSON reply can hold no path that is not UTF-8.
    for (const auto &[path, name] : { std::pair { paths.at(0), "sysroot" }, { paths.at(1), "workspace" } }) {
        if (!isGivenAsUtf8(path, argc, argv)) {
            std::cerr << "dorvane: the " << name << " path is not UTF-8, which the reply cannot hold" << std::endl;
            return report("Mapping error!", 1);
        }
    }

    CmakeApiMapper mapper(paths.at(0), paths.at(1));
    const bool withCompileCommands = parser.isSet(compileCommandsOption);
    if (withCompileCommands)
        mapper.requestCompileCommands();
    const bool hasReply = mapper.isReplyExist();
    const bool hasCompileCommands = withCompileCommands && mapper.isCompileCommandsExist();
    if (!hasReply && !hasCompileCommands) {
        return withCompileCommands ? report("Reply and compilation database do not exist.", 0)
                                   : report("Reply is not exist.", 0);
    }
    if (!mapper.DoCMakeApiPathMapping()) {
        std::cerr << "dorvane: " << mapper.problem().constData() << std::endl;
        return report("Mapping error!", 1);
    }
    // What was there is mapped; say what was not.
    if (!hasReply)
        return report("Reply is not exist.", 0);
    if (withCompileCommands && !hasCompileCommands)
        return report("Compilation database does not exist.", 0);
    return 0;
}
