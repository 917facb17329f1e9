// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// SHA3-256 from Qt, XXH3 from libxxhash: on x86-64 through its dispatch,
// which picks AVX2 or AVX-512 where the processor has them, at a third of
// the cost of the SSE2 code a build for any x86-64 gets.

#include "contenthash.h"

#include <QtCore/QCryptographicHash>

#ifdef __x86_64__
#include <xxh_x86dispatch.h>
#endif

QByteArrayView hashInName(const QByteArray &name)
{
    constexpr qsizetype HASH_LENGTH = 20;
    constexpr qsizetype suffixLength = HASH_LENGTH + 5; // the digits and ".json"
    if (name.size() <= suffixLength || !name.endsWith(".json") || name.at(name.size() - suffixLength - 1) != '-')
        return {};
    const QByteArrayView digits = QByteArrayView(name).sliced(name.size() - suffixLength, HASH_LENGTH);
    for (const char c : digits) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return {};
    }
    return digits;
}

QByteArray contentHash(QByteArrayView text, bool hadByteOrderMark)
{
    QCryptographicHash hash(QCryptographicHash::Sha3_256);
    if (hadByteOrderMark)
        hash.addData(QByteArrayView("\xEF\xBB\xBF"));
    hash.addData(text);
    return hash.result().toHex();
}

bool isAsNamed(const QByteArray &name, QByteArrayView content)
{
    const QByteArrayView digits = hashInName(name);
    return !digits.isEmpty() && contentHash(content).startsWith(digits);
}

ContentChecksum::ContentChecksum() : state(XXH3_createState())
{
    // Only the allocation can fail, which ends the process as any other would.
    Q_CHECK_PTR(state);
    XXH3_64bits_reset(state);
}

ContentChecksum::~ContentChecksum()
{
    XXH3_freeState(state);
}

void ContentChecksum::addData(QByteArrayView data)
{
    XXH3_64bits_update(state, data.data(), size_t(data.size()));
}

quint64 ContentChecksum::result() const
{
    return XXH3_64bits_digest(state);
}

quint64 checksumOf(QByteArrayView data)
{
    return XXH3_64bits(data.data(), size_t(data.size()));
}

Checksum checksumOfRest(FileReader &reader)
{
    ContentChecksum sum;
    QByteArray piece;
    constexpr qsizetype PIECE_SIZE = 1 << 20;
    for (;;) {
        piece.resize(0);
        if (!reader.readMore(piece, PIECE_SIZE))
            return {};
        sum.addData(piece);
        if (piece.size() < PIECE_SIZE)
            return sum.result();
    }
}
