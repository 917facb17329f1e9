// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The note's text: a header line, then one line a reply file; and the
// checksum it names the compilation database by.

#include "mappingnote.h"

#include <QtCore/QtEndian>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

constexpr char HEADER[] = "dorvane mapped files 1\n";
// The kinds of entry, each with the space that ends it.
constexpr char OBJECT[] = "object ";
constexpr char INDEX[] = "index ";
constexpr char DATABASE[] = "database ";

// The four numbers of an identity.
QByteArray identityFields(const FileIdentity &identity)
{
    char fields[4 * 21];
    char *end = fields;
    for (const qint64 number : { qint64(identity.device), qint64(identity.inode), identity.size, identity.modified }) {
        end = std::to_chars(end, fields + sizeof fields, number).ptr;
        *end++ = ' ';
    }
    return QByteArray(fields, end - fields - 1);
}

QByteArray objectEntry(const FileIdentity &identity)
{
    return OBJECT + identityFields(identity);
}

QByteArray databaseEntry(quint64 checksum, const FileIdentity &identity)
{
    return DATABASE + QByteArray::number(checksum, 16) + ' ' + identityFields(identity);
}

QByteArray indexEntry(const QByteArray &contentHash)
{
    return INDEX + contentHash;
}

// A name goes on one line.
bool isNotable(const QByteArray &name)
{
    return !name.isEmpty() && !name.contains('\n');
}

} // namespace

MappingNote MappingNote::fromText(const QByteArray &text)
{
    MappingNote note;
    if (!text.startsWith(HEADER))
        return note;
    for (const QByteArray &line : text.sliced(sizeof HEADER - 1).split('\n')) {
        // The kind, then four numbers for an object, a hash for an index, or
        // a checksum and four numbers for the database.
        const int fields = line.startsWith(OBJECT) ? 5 : line.startsWith(INDEX) ? 2 : line.startsWith(DATABASE) ? 6 : 0;
        qsizetype nameBegin = 0;
        for (int i = 0; i < fields; ++i) {
            nameBegin = line.indexOf(' ', nameBegin) + 1;
            if (nameBegin == 0)
                break;
        }
        if (fields && nameBegin > 0 && nameBegin < line.size())
            note.entries.insert(line.sliced(nameBegin), line.first(nameBegin - 1));
    }
    return note;
}

QByteArray MappingNote::toText() const
{
    if (entries.isEmpty())
        return QByteArray();
    QByteArray text = HEADER;
    text.reserve(entries.size() * 128);
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        text.append(it.value()).append(' ').append(it.key()).append('\n');
    return text;
}

bool MappingNote::hasObject(const QByteArray &name, const FileIdentity &identity) const
{
    return entries.value(name) == objectEntry(identity);
}

void MappingNote::setObject(const QByteArray &name, const FileIdentity &identity)
{
    if (isNotable(name))
        entries.insert(name, objectEntry(identity));
}

bool MappingNote::hasIndex(const QByteArray &name, const QByteArray &contentHash) const
{
    return entries.value(name) == indexEntry(contentHash);
}

void MappingNote::setIndex(const QByteArray &name, const QByteArray &contentHash)
{
    if (isNotable(name))
        entries.insert(name, indexEntry(contentHash));
}

bool MappingNote::hasDatabase(const QByteArray &name, const FileIdentity &identity) const
{
    const QByteArray entry = entries.value(name);
    return entry.startsWith(DATABASE) && entry.endsWith(' ' + identityFields(identity));
}

bool MappingNote::findDatabase(const QByteArray &name, quint64 &checksum, qint64 &size) const
{
    const QByteArrayList fields = entries.value(name).split(' ');
    if (fields.size() != 6 || fields.first() + ' ' != DATABASE)
        return false;
    bool checksumRead = false;
    bool sizeRead = false;
    checksum = fields.at(1).toULongLong(&checksumRead, 16);
    size = fields.at(4).toLongLong(&sizeRead);
    return checksumRead && sizeRead;
}

void MappingNote::setDatabase(const QByteArray &name, quint64 checksum, const FileIdentity &identity)
{
    if (isNotable(name))
        entries.insert(name, databaseEntry(checksum, identity));
}

MappingNote MappingNote::lastingEntries(const QByteArrayList &names) const
{
    MappingNote note;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        if (it.value().startsWith(DATABASE) || (it.value().startsWith(INDEX) && names.contains(it.key())))
            note.entries.insert(it.key(), it.value());
    }
    return note;
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
