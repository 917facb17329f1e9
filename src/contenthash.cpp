// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// SHA3-256 from Qt, XXH64 from libxxhash.

#include "contenthash.h"

#include <QtCore/QCryptographicHash>

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

ContentChecksum::ContentChecksum() : state(XXH64_createState())
{
    // Only the allocation can fail, which ends the process as any other would.
    Q_CHECK_PTR(state);
    XXH64_reset(state, 0);
}

ContentChecksum::~ContentChecksum()
{
    XXH64_freeState(state);
}

void ContentChecksum::add(QByteArrayView data)
{
    XXH64_update(state, data.data(), size_t(data.size()));
}

quint64 ContentChecksum::result() const
{
    return XXH64_digest(state);
}

quint64 checksumOf(QByteArrayView data)
{
    return XXH64(data.data(), size_t(data.size()), 0);
}
