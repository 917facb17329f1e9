// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The note's text: a header line, then one line an entry; and the checksum
// it names the compilation database by.

#include "mappingnote.h"

#include <QtCore/QtEndian>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

// One line an entry: its kind, its fields, and last, for a reply file, its
// name, which may hold spaces. The database's line ends with the path it
// has from the note's directory, which no reply file's name can be.
constexpr char HEADER[] = "dorvane mapped files 1\n";
constexpr char DATABASE_NAME[] = "../../../compile_commands.json";

QByteArray identityFields(const FileIdentity &identity)
{
    return QByteArray::number(identity.device) + ' ' + QByteArray::number(identity.inode) + ' '
            + QByteArray::number(identity.size) + ' ' + QByteArray::number(identity.modified);
}

bool readIdentity(const QByteArrayList &fields, qsizetype first, FileIdentity &identity)
{
    bool ok[4] = {};
    identity = { fields.at(first).toULongLong(&ok[0]), fields.at(first + 1).toULongLong(&ok[1]),
                 fields.at(first + 2).toLongLong(&ok[2]), fields.at(first + 3).toLongLong(&ok[3]) };
    return ok[0] && ok[1] && ok[2] && ok[3];
}

} // namespace

MappingNote MappingNote::fromText(const QByteArray &text)
{
    MappingNote note;
    if (!text.startsWith(HEADER))
        return note;
    for (const QByteArray &line : text.sliced(sizeof HEADER - 1).split('\n')) {
        const QByteArray kind = line.left(line.indexOf(' '));
        const int fieldCount = kind == "object" ? 5 : kind == "index" ? 2 : kind == "database" ? 6 : 0;
        const QByteArrayList fields = line.split(' ');
        if (fieldCount == 0 || fields.size() <= fieldCount)
            continue;
        // The name is the rest of the line, spaces and all.
        const QByteArray name = fields.mid(fieldCount).join(' ');
        if (name.isEmpty())
            continue;
        FileIdentity identity;
        if (kind == "object" && readIdentity(fields, 1, identity)) {
            note.objects.insert(name, { identity });
        } else if (kind == "index") {
            note.indexes.insert(name, { fields.at(1) });
        } else if (kind == "database" && name == DATABASE_NAME && readIdentity(fields, 2, identity)) {
            bool ok = false;
            const quint64 checksum = fields.at(1).toULongLong(&ok, 16);
            if (ok)
                note.database = DatabaseEntry { checksum, identity };
        }
    }
    return note;
}

QByteArray MappingNote::toText() const
{
    if (objects.isEmpty() && indexes.isEmpty() && !database)
        return QByteArray();
    // Sorted by name, as the entries always were, whatever their kind.
    QMap<QByteArray, QByteArray> lines;
    for (auto it = objects.cbegin(); it != objects.cend(); ++it)
        lines.insert(it.key(), "object " + identityFields(it->identity));
    for (auto it = indexes.cbegin(); it != indexes.cend(); ++it)
        lines.insert(it.key(), "index " + it->mappedHash);
    if (database)
        lines.insert(DATABASE_NAME, "database " + QByteArray::number(database->checksum, 16) + ' '
                             + identityFields(database->identity));
    QByteArray text = HEADER;
    text.reserve(lines.size() * 128);
    for (auto it = lines.cbegin(); it != lines.cend(); ++it) {
        if (!it.key().contains('\n'))
            text.append(it.value()).append(' ').append(it.key()).append('\n');
    }
    return text;
}

namespace {

constexpr quint64 PRIME1 = 0x9e3779b185ebca87ULL;
constexpr quint64 PRIME2 = 0xc2b2ae3d27d4eb4fULL;
constexpr quint64 PRIME3 = 0x165667b19e3779f9ULL;
constexpr quint64 PRIME4 = 0x85ebca77c2b2ae63ULL;
constexpr quint64 PRIME5 = 0x27d4eb2f165667c5ULL;

quint64 rotateLeft(quint64 value, int bits)
{
    return (value << bits) | (value >> (64 - bits));
}

template <typename Word>
Word load(const char *bytes)
{
    Word word;
    std::memcpy(&word, bytes, sizeof word);
    return qFromLittleEndian(word);
}

quint64 round(quint64 lane, quint64 word)
{
    return rotateLeft(lane + word * PRIME2, 31) * PRIME1;
}

quint64 mergeRound(quint64 hash, quint64 lane)
{
    return (hash ^ round(0, lane)) * PRIME1 + PRIME4;
}

} // namespace

void ContentChecksum::addStripe(const char *stripe)
{
    for (int i = 0; i < 4; ++i)
        lanes[i] = round(lanes[i], load<quint64>(stripe + 8 * i));
}

void ContentChecksum::add(QByteArrayView data)
{
    const char *p = data.data();
    const char *const end = p + data.size();
    length += data.size();
    if (pendingSize > 0) {
        const qsizetype taken = std::min<qsizetype>(32 - pendingSize, end - p);
        std::memcpy(pending + pendingSize, p, taken);
        pendingSize += taken;
        p += taken;
        if (pendingSize < 32)
            return;
        addStripe(pending);
        pendingSize = 0;
    }
    for (; end - p >= 32; p += 32)
        addStripe(p);
    std::memcpy(pending, p, end - p);
    pendingSize = end - p;
}

quint64 ContentChecksum::result() const
{
    quint64 hash = length >= 32 ? rotateLeft(lanes[0], 1) + rotateLeft(lanes[1], 7) + rotateLeft(lanes[2], 12)
                    + rotateLeft(lanes[3], 18)
                                : lanes[2] + PRIME5;
    if (length >= 32) {
        for (const quint64 lane : lanes)
            hash = mergeRound(hash, lane);
    }
    hash += length;
    const char *p = pending;
    const char *const end = pending + pendingSize;
    for (; end - p >= 8; p += 8)
        hash = rotateLeft(hash ^ round(0, load<quint64>(p)), 27) * PRIME1 + PRIME4;
    if (end - p >= 4) {
        hash = rotateLeft(hash ^ (quint64(load<quint32>(p)) * PRIME1), 23) * PRIME2 + PRIME3;
        p += 4;
    }
    for (; p < end; ++p)
        hash = rotateLeft(hash ^ (quint64(uchar(*p)) * PRIME5), 11) * PRIME1;
    hash ^= hash >> 33;
    hash *= PRIME2;
    hash ^= hash >> 29;
    hash *= PRIME3;
    return hash ^ (hash >> 32);
}
