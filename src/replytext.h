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

// The bytes of a reply file as the rules read them: carriage returns and a
// leading byte-order mark dropped, as dropped says. False for bytes that are
// no UTF-8, whose decoding would write replacement characters back.
bool normalizeReplyText(QByteArray &content, unsigned &dropped, bool isFileStart = true);

// Right after the last double quote that is no escape, which no match and
// nothing a match looks at reaches across: the rules map each piece cut
// there as they map the whole. 0 where there is none.
qsizetype replyTextCutPoint(QByteArrayView text);

enum class TextMapping {
    Mapped,
    Unchanged,
    NotCacheReply,
};

// check says how the text stands to a rewrite with these paths; a cache
// reply, re-serialised, always may be one.
TextMapping mapReplyText(const PathRules &rules, const QByteArray &name, const QByteArray &text, QByteArray &out,
                         RewriteCheck *check = nullptr);

// Whether a reply object's text is this tool's output with these paths: it
// may be, as what was dropped and check tell, and it is not what the hash in
// its name says CMake wrote.
bool isToolOutput(const QByteArray &name, const QByteArray &text, unsigned dropped, RewriteCheck check);

#endif // REPLYTEXT_H
