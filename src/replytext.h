// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The text of a reply file as the rules read it, and its mapping: a cache
// reply entry by entry, any other file as one text.

#ifndef REPLYTEXT_H
#define REPLYTEXT_H

#include "pathrules.h"

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayView>

enum DroppedBytes : unsigned {
    DroppedCarriageReturns = 0x1,
    DroppedByteOrderMark = 0x2,
};

// Turns the bytes of a reply file into the text the rules read, as the reply
// has always been read: carriage returns and a leading UTF-8 byte-order mark
// dropped, and says in dropped which of them there were. Returns false when
// the bytes are not UTF-8: decoding them would write replacement characters
// back in their place. Of the pieces of a file, only the first has a
// byte-order mark to drop.
bool normalizeReplyText(QByteArray &content, unsigned &dropped, bool isFileStart = true);

// Where reply text may be cut so that the rules map each piece exactly as
// they map the whole: right after the last double quote that is no escape,
// which no match and nothing a match looks at reaches across. 0 when the
// text holds none.
qsizetype replyTextCutPoint(QByteArrayView text);

enum class TextMapping {
    Mapped,
    Unchanged,
    // A cache reply that is no JSON object of kind "cache" with an array of entries.
    NotCacheReply,
};

// Maps the normalized text of the reply file name into out. check, when
// given, says how the text stands to a rewrite with these paths; a cache
// reply, small and re-serialised, always may be one.
TextMapping mapReplyText(const PathRules &rules, const QByteArray &name, const QByteArray &text, QByteArray &out,
                         RewriteCheck *check = nullptr);

// Whether the text of a reply object, read to be mapped, is this tool's
// output with these paths: it may be, as its bytes dropped and how it stands
// to a rewrite tell, and it is not what the hash in its name says CMake wrote.
bool isToolOutput(const QByteArray &name, const QByteArray &text, unsigned dropped, RewriteCheck check);

#endif // REPLYTEXT_H
