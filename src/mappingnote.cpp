// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The note's text. A header line, the paths entries name by number, then
// one line an entry: its kind, its fields, and last, for a reply file, its
// name, which may hold spaces. Paths are percent-encoded after a colon, so
// that an empty one still fills its field. Checksums are in hex, in 16
// digits or "-" where there is none; the database's versions always have
// one, in as few digits as it needs. Earlier formats are not read: they
// named files by other hashes, and the first named no paths.

#include "mappingnote.h"

#include <QtCore/QHash>

#include <algorithm>
#include <charconv>

namespace {

constexpr char HEADER[] = "dorvane mapped files 4\n";

QByteArray encodePath(const QString &path)
{
    return ':' + path.toUtf8().toPercentEncoding("/");
}

// A note names thousands of files, and a second run writes it out again to
// see whether it changed: numbers go straight into the text.
template <typename Number>
void appendNumber(QByteArray &text, Number number, int base = 10)
{
    char digits[24];
    text.append(' ').append(digits, std::to_chars(digits, digits + sizeof digits, number, base).ptr - digits);
}

void appendIdentity(QByteArray &text, const FileIdentity &identity)
{
    appendNumber(text, identity.device);
    appendNumber(text, identity.inode);
    appendNumber(text, identity.size);
    appendNumber(text, identity.modified);
}

void appendChecksum(QByteArray &text, const Checksum &checksum)
{
    if (!checksum) {
        text.append(" -");
        return;
    }
    char digits[16];
    const char *const end = std::to_chars(digits, digits + sizeof digits, *checksum, 16).ptr;
    text.append(' ').append(16 - (end - digits), '0').append(digits, end - digits);
}

// Reads the fields of a line one after the other.
class FieldReader
{
public:
    explicit FieldReader(QByteArrayView line) : line(line) { }

    QByteArrayView next()
    {
        const qsizetype space = line.indexOf(' ', position);
        const qsizetype end = space < 0 ? line.size() : space;
        const QByteArrayView field = position <= line.size() ? line.sliced(position, end - position) : QByteArrayView();
        position = end + 1;
        isValid = isValid && !field.isEmpty();
        return field;
    }
    template <typename Number = qint64>
    Number number(int base = 10)
    {
        return parse<Number>(next(), base);
    }
    template <typename Number>
    Number parse(QByteArrayView field, int base)
    {
        Number value = 0;
        const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value, base);
        isValid = isValid && error == std::errc() && end == field.data() + field.size();
        return value;
    }
    FileIdentity identity()
    {
        const quint64 device = number<quint64>();
        const quint64 inode = number<quint64>();
        const qint64 size = number();
        return { device, inode, size, number() };
    }
    // "-" where there is none, and "=" for an object that is what CMake wrote.
    Checksum checksum(bool *isAsCMakeWrote = nullptr)
    {
        const QByteArrayView field = next();
        if (isAsCMakeWrote)
            *isAsCMakeWrote = field == "=";
        return field == "-" || field == "=" ? Checksum() : Checksum(parse<quint64>(field, 16));
    }
    QByteArray rest()
    {
        const QByteArray value = position < line.size() ? line.sliced(position).toByteArray() : QByteArray();
        isValid = isValid && !value.isEmpty();
        return value;
    }

    bool isValid = true;

private:
    QByteArrayView line;
    qsizetype position = 0;
};

} // namespace

std::optional<MappingNote> MappingNote::fromText(const QByteArray &text)
{
    MappingNote note;
    if (text.isEmpty())
        return note;
    if (!text.startsWith(HEADER))
        return {};
    QHash<qint64, int> pathsByNumber;
    const auto pathsOf = [&](qint64 number) { return pathsByNumber.value(number, NoPaths); };
    for (const QByteArray &line : text.sliced(sizeof HEADER - 1).split('\n')) {
        FieldReader fields(line);
        const QByteArrayView kind = fields.next();
        const qint64 number = fields.number();
        const int paths = pathsOf(number);
        // An entry whose paths are not listed, or were not known, is left out.
        if (kind != "paths" && paths == NoPaths)
            continue;
        if (kind == "paths") {
            // The sysroot path, the workspace path, then each mapping's CONTAINER=HOST.
            QList<QString> decoded;
            for (QByteArrayView field = fields.next(); field.startsWith(':'); field = fields.next()) {
                for (const QByteArray &part : field.sliced(1).toByteArray().split('='))
                    decoded.append(QString::fromUtf8(QByteArray::fromPercentEncoding(part)));
            }
            if (decoded.size() >= 2 && decoded.size() % 2 == 0) {
                MappingPaths listed { decoded.value(0), decoded.value(1) };
                for (qsizetype i = 2; i + 1 < decoded.size(); i += 2)
                    listed.mappings.append({ decoded[i], decoded[i + 1] });
                pathsByNumber.insert(number, int(note.paths.size()));
                note.paths.append(listed);
            }
        } else if (kind == "unkept") {
            if (fields.isValid)
                note.unkeptPaths.insert(paths);
        } else if (kind == "object") {
            ObjectEntry entry { fields.identity(), paths, false, {} };
            entry.kept = fields.checksum(&entry.isAsCMakeWrote);
            const QByteArray name = fields.rest();
            if (fields.isValid)
                note.objects.insert(name, entry);
        } else if (kind == "index") {
            IndexEntry entry { {}, paths, {} };
            entry.mapped = fields.checksum();
            entry.kept = fields.checksum();
            const QByteArray name = fields.rest();
            if (fields.isValid)
                note.indexes.insert(name, entry);
        } else if (kind == "database") {
            DatabaseEntry entry;
            entry.version.paths = paths;
            entry.version.checksum = fields.number<quint64>(16);
            entry.version.identity = fields.identity();
            entry.kept = fields.checksum();
            DatabaseVersion replaced;
            replaced.paths = pathsOf(fields.number());
            replaced.checksum = fields.number<quint64>(16);
            replaced.identity = fields.identity();
            if (replaced.paths != NoPaths && replaced.identity.isValid())
                entry.replaced = replaced;
            if (fields.isValid)
                note.database = entry;
        }
    }
    return note;
}

QByteArray MappingNote::toText() const
{
    if (isEmpty())
        return QByteArray();
    QByteArray text = HEADER;
    text.reserve(objects.size() * 96 + indexes.size() * 128 + 256);
    // Only paths an entry names are written.
    QSet<int> named = unkeptPaths;
    for (const ObjectEntry &entry : objects)
        named.insert(entry.paths);
    for (const IndexEntry &entry : indexes)
        named.insert(entry.paths);
    if (database) {
        named.insert(database->version.paths);
        named.insert(database->replaced ? database->replaced->paths : NoPaths);
    }
    for (qsizetype i = 0; i < paths.size(); ++i) {
        if (named.contains(int(i))) {
            text += "paths " + QByteArray::number(i) + ' ' + encodePath(paths[i].sysroot) + ' ' + encodePath(paths[i].workspace);
            for (const PathMapping &mapping : paths[i].mappings)
                text += ' ' + encodePath(mapping.container) + '=' + encodePath(mapping.host).sliced(1);
            text += '\n';
        }
    }
    QList<int> unkept = unkeptPaths.values();
    std::sort(unkept.begin(), unkept.end());
    for (const int id : unkept) {
        text.append("unkept");
        appendNumber(text, id);
        text.append('\n');
    }
    if (database) {
        text.append("database");
        const DatabaseVersion none;
        const DatabaseVersion &replaced = database->replaced ? *database->replaced : none;
        appendNumber(text, database->version.paths);
        appendNumber(text, database->version.checksum, 16);
        appendIdentity(text, database->version.identity);
        appendChecksum(text, database->kept);
        appendNumber(text, replaced.paths);
        appendNumber(text, replaced.checksum, 16);
        appendIdentity(text, replaced.identity);
        text.append('\n');
    }
    // A name goes on one line.
    for (auto it = indexes.cbegin(); it != indexes.cend(); ++it) {
        if (it.key().contains('\n'))
            continue;
        text.append("index");
        appendNumber(text, it->paths);
        appendChecksum(text, it->mapped);
        appendChecksum(text, it->kept);
        text.append(' ').append(it.key()).append('\n');
    }
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        if (it.key().contains('\n'))
            continue;
        text.append("object");
        appendNumber(text, it->paths);
        appendIdentity(text, it->identity);
        if (it->isAsCMakeWrote)
            text.append(" =");
        else
            appendChecksum(text, it->kept);
        text.append(' ').append(it.key()).append('\n');
    }
    return text;
}

int MappingNote::pathsIndex(const MappingPaths &mappingPaths)
{
    const qsizetype index = paths.indexOf(mappingPaths);
    if (index >= 0)
        return int(index);
    paths.append(mappingPaths);
    return int(paths.size() - 1);
}
