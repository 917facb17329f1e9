// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The hashes that tell a file's content: the SHA3-256 that CMake names a
// reply object by, and the checksum this tool notes files by.

#ifndef CONTENTHASH_H
#define CONTENTHASH_H

#include "fileio.h"

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayView>

#include <optional>

#include <xxhash.h>

// A checksum (XXH3, 64 bits) of a file's content, where one is known.
using Checksum = std::optional<quint64>;

// CMake names a reply object by the first 20 hex digits of the SHA3-256 of
// its content, as "<kind and name>-<digits>.json": its own record of what it
// wrote. The digits of such a name, or an empty view for any other name.
QByteArrayView hashInName(const QByteArray &name);

// The SHA3-256, in hex, of a file's bytes as they were read, from its text
// and the byte-order mark dropped from it, if any.
QByteArray contentHash(QByteArrayView text, bool hadByteOrderMark = false);

// Whether content, as read, is what CMake wrote under name.
bool isAsNamed(const QByteArray &name, QByteArrayView content);

// XXH3 of a byte stream fed in pieces of any size, the same as of the whole:
// fast enough to take of every byte a run keeps or writes, where a
// cryptographic hash would cost more than the mapping itself.
class ContentChecksum
{
    Q_DISABLE_COPY_MOVE(ContentChecksum)

public:
    ContentChecksum();
    ~ContentChecksum();

    void addData(QByteArrayView data);
    quint64 result() const;

private:
    XXH3_state_t *state;
};

quint64 checksumOf(QByteArrayView data);
// Of what is left to read of a file; none where a read fails.
Checksum checksumOfRest(FileReader &reader);

#endif // CONTENTHASH_H
