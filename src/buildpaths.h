// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Where CMake's file API and this tool's own files lie in a build directory.

#ifndef BUILDPATHS_H
#define BUILDPATHS_H

#include <QtCore/QByteArray>

constexpr char FILE_API_PATH[] = ".cmake/api/v1";
constexpr char REPLY_PATH[] = ".cmake/api/v1/reply";
constexpr char QUERY_PATH[] = ".cmake/api/v1/query";
constexpr char QUERY_NAME[] = "query";
constexpr char DATABASE_PATH[] = "compile_commands.json";
// Beside the reply, not in it: when CMake writes a reply it deletes every
// other file of the reply directory.
constexpr char NOTE_NAME[] = ".dorvane-mapped-files";
constexpr char KEPT_DIRECTORY_NAME[] = ".dorvane-kept";
// What is kept of the database, by a name no reply file can have.
constexpr char KEPT_DATABASE_NAME[] = ".compile_commands.json";

inline bool isIndexName(const QByteArray &name)
{
    return name.startsWith("index-");
}

inline QByteArray replyPath(const QByteArray &name)
{
    return QByteArray(REPLY_PATH) + '/' + name;
}

inline QByteArray fileApiPath(const QByteArray &name)
{
    return QByteArray(FILE_API_PATH) + '/' + name;
}

#endif // BUILDPATHS_H
