// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Pieces of about 1 MiB, each cut right after a quote, where the rules map
// a piece exactly as they map the whole.

#include "databasemap.h"

#include "contenthash.h"
#include "replytext.h"

#include <cstring>

namespace {

// Small enough that a run's memory stays small and in the cache whatever
// the database's size.
constexpr qsizetype PIECE_SIZE = 1 << 20;

class Pieces
{
public:
    explicit Pieces(FileReader &reader) : reader(reader) { }

    // The next piece, as read; false at the end, or when a read fails,
    // with errno set.
    bool nextPiece(QByteArray &piece)
    {
        for (;;) {
            const qsizetype size = pending.size();
            if (isEnd || !reader.readMore(pending, PIECE_SIZE)) {
                isFailed = !isEnd;
                return false;
            }
            isEnd = pending.size() == size;
            const qsizetype cut = isEnd ? pending.size() : replyTextCutPoint(pending);
            if (cut == 0 && !isEnd)
                continue;
            piece.swap(pending);
            pending.resize(0);
            pending.append(piece.constData() + cut, piece.size() - cut);
            piece.truncate(cut);
            return !isEnd || !piece.isEmpty();
        }
    }

    bool isFailed = false;

private:
    FileReader &reader;
    QByteArray pending;
    bool isEnd = false;
};

// Whether the file holds bytes at offset, and nothing after them where
// isLast.
bool holdsAt(int fd, qint64 offset, const QByteArray &bytes, bool isLast, QByteArray &buffer)
{
    buffer.resize(bytes.size() + 1);
    const qint64 got = readFully(fd, buffer.data(), buffer.size(), offset);
    return got >= bytes.size() && (got == bytes.size() || !isLast)
            && memcmp(buffer.constData(), bytes.constData(), size_t(bytes.size())) == 0;
}

} // namespace

DatabaseMapping::Result mapDatabase(const PathRules &rules, FileReader &source, const DatabaseTarget *target,
                                    FileReplacement &replacement, DatabaseMapping &mapping)
{
    mapping = DatabaseMapping();
    const int standing = target ? target->standing : -1;
    ContentChecksum mapped;
    ContentChecksum read;
    // The bytes before the first piece that differs from what stands, which
    // the new version then takes from what stands as it is.
    qint64 unchangedSize = 0;
    const auto start = [&] {
        mapping.isChanged = true;
        return !target
                || (replacement.start(target->directory, target->name, target->status, true, target->keep)
                    && replacement.appendFrom(standing >= 0 ? standing : source.openFd(), unchangedSize));
    };
    Pieces pieces(source);
    QByteArray piece;
    QByteArray out;
    QByteArray compared;
    for (bool isStart = true; pieces.nextPiece(piece); isStart = false) {
        read.addData(piece);
        const qsizetype size = piece.size();
        unsigned dropped = 0;
        if (!normalizeReplyText(piece, dropped, isStart))
            return DatabaseMapping::NotUtf8;
        out.resize(0);
        const bool isRewritten = rules.appendMapped(out, piece);
        const QByteArray &mappedPiece = isRewritten ? out : piece;
        mapped.addData(mappedPiece);
        mapping.size += mappedPiece.size();
        if (!mapping.isChanged) {
            if (standing < 0 && !isRewritten && !dropped) {
                unchangedSize += size;
                continue;
            }
            if (standing >= 0 && holdsAt(standing, unchangedSize, mappedPiece, false, compared)) {
                unchangedSize += mappedPiece.size();
                continue;
            }
            if (!start())
                return DatabaseMapping::StartFailed;
        }
        if (target && !replacement.append(mappedPiece))
            return DatabaseMapping::WriteFailed;
    }
    if (pieces.isFailed)
        return DatabaseMapping::ReadFailed;
    // What stands may hold more than the mapped content.
    if (!mapping.isChanged && standing >= 0 && !holdsAt(standing, unchangedSize, {}, true, compared) && !start())
        return DatabaseMapping::StartFailed;
    mapping.checksum = mapped.result();
    mapping.sourceChecksum = read.result();
    return DatabaseMapping::Done;
}
