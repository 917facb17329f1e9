// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The run's own lines on standard error.

#include "runreport.h"

#include <cstring>
#include <iostream>

QByteArray RunReport::displayPath(const QByteArray &file) const
{
    if (buildDirectoryName.isEmpty())
        return file.isEmpty() ? "." : file;
    if (file.isEmpty())
        return buildDirectoryName;
    return buildDirectoryName + (buildDirectoryName.endsWith('/') ? "" : "/") + file;
}

bool RunReport::fail(const QByteArray &file, QByteArrayView reason, int error)
{
    if (failure.isEmpty()) {
        failure = displayPath(file) + ": " + reason.toByteArray();
        if (error)
            failure += QByteArray(": ") + std::strerror(error);
    }
    return false;
}

void RunReport::warn(const QByteArray &file, QByteArrayView reason)
{
    const QByteArray line = "dorvane: " + displayPath(file) + ": " + reason.toByteArray();
    if (!warned.contains(line)) {
        warned.insert(line);
        std::cerr << line.constData() << std::endl;
    }
}
