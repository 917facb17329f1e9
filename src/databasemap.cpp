// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Pieces of about 1 MiB, each cut right after a quote, where the rules map
// a piece exactly as they map the whole.

#include "databasemap.h"

#include "contenthash.h"
#include "replytext.h"

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
    bool next(QByteArray &piece)
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
            // The piece goes to piece, what follows the cut stays.
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

} // namespace

DatabaseMapping::Result mapDatabase(const PathRules &rules, FileReader &source, const DatabaseTarget *target,
                                    FileReplacement &replacement, DatabaseMapping &mapping)
{
    mapping = DatabaseMapping();
    ContentChecksum mapped;
    ContentChecksum read;
    // What was read before the first piece that changes, which the new
    // version then takes from the source as it is.
    qint64 unchangedSize = 0;
    // The new version, with what was read before it as it is.
    const auto start = [&] {
        mapping.isChanged = true;
        return !target
                || (replacement.start(target->directory, target->name, target->status, true, target->keep)
                            == FileReplacement::Started
                    && replacement.appendFrom(source.fd(), unchangedSize));
    };
    Pieces pieces(source);
    QByteArray piece;
    QByteArray out;
    for (bool isStart = true; pieces.next(piece); isStart = false) {
        read.add(piece);
        const qsizetype size = piece.size();
        unsigned dropped = 0;
        if (!normalizeReplyText(piece, dropped, isStart))
            return DatabaseMapping::NotUtf8;
        out.resize(0);
        const bool isRewritten = rules.appendMapped(out, piece);
        const QByteArray &mappedPiece = isRewritten ? out : piece;
        mapped.add(mappedPiece);
        mapping.size += mappedPiece.size();
        if (!mapping.isChanged && !isRewritten && !dropped) {
            unchangedSize += size;
            continue;
        }
        if (!mapping.isChanged && !start())
            return DatabaseMapping::StartFailed;
        if (target && !replacement.append(mappedPiece))
            return DatabaseMapping::WriteFailed;
    }
    if (pieces.isFailed)
        return DatabaseMapping::ReadFailed;
    if (!mapping.isChanged && target && target->isWhole && !start())
        return DatabaseMapping::StartFailed;
    mapping.checksum = mapped.result();
    mapping.sourceChecksum = read.result();
    return DatabaseMapping::Done;
}

bool checksumOfRest(FileReader &reader, quint64 &checksum)
{
    ContentChecksum sum;
    QByteArray piece;
    bool isRead = false;
    while ((isRead = reader.readMore(piece, PIECE_SIZE)) && !piece.isEmpty()) {
        sum.add(piece);
        piece.resize(0);
    }
    checksum = sum.result();
    return isRead;
}
