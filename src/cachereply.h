// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The cache reply, mapped entry by entry: each value with the rules its
// entry's name takes.

#ifndef CACHEREPLY_H
#define CACHEREPLY_H

#include "pathrules.h"

#include <QtCore/QByteArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QString>

// The compiler and linker flags, which name libraries as the build environment links them.
bool isFlagCacheVariable(const QString &name);

// Maps the string value of each entry of a cache reply (UTF-8 JSON) and re-serialises
// it if any value changed; otherwise it keeps its bytes. False, and the
// text unchanged, for one that is no JSON object of kind "cache" with an
// array of entries.
bool mapCacheReply(QByteArray &text, const PathRules &rules);

// Reads JSON as the cache reply is read, every character kept.
QJsonDocument readJson(const QByteArray &text, QJsonParseError *error = nullptr);

#endif // CACHEREPLY_H
