// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Normalising reply text, where the database is cut, and which rules map
// which reply file.

#include "replytext.h"

#include "cachereply.h"
#include "contenthash.h"
#include "textscan.h"


bool normalizeReplyText(QByteArray &content, unsigned &dropped, bool isFileStart)
{
    dropped = 0;
    if (isPlainAscii(content.constData(), content.size()))
        return true;
    const qsizetype size = content.size();
    // Only a text with one is detached from the buffers that share it.
    content.removeIf([](char c) { return c == '\r'; });
    if (content.size() != size)
        dropped |= DroppedCarriageReturns;
    if (!QByteArrayView(content).isValidUtf8())
        return false;
    if (isFileStart && content.startsWith("\xEF\xBB\xBF")) {
        content.remove(0, 3);
        dropped |= DroppedByteOrderMark;
    }
    return true;
}

// Counted on the bytes as read: the carriage returns that the rules never
// see do not part a backslash from the quote it escapes.
qsizetype replyTextCutPoint(QByteArrayView text)
{
    for (qsizetype quote = text.lastIndexOf('"'); quote >= 0; quote = text.first(quote).lastIndexOf('"')) {
        qsizetype backslashes = 0;
        for (qsizetype p = quote - 1; p >= 0 && (text[p] == '\\' || text[p] == '\r'); --p)
            backslashes += text[p] == '\\';
        if (backslashes % 2 == 0)
            return quote + 1;
    }
    return 0;
}

TextMapping mapReplyText(const PathRules &rules, const QByteArray &name, const QByteArray &text, QByteArray &out,
                         RewriteCheck *check)
{
    out.resize(0);
    if (!name.startsWith("cache-"))
        return rules.appendMapped(out, text, check) ? TextMapping::Mapped : TextMapping::Unchanged;
    if (check)
        *check = RewriteCheck::MayBeRewritten;
    out = text;
    if (!mapCacheReply(out, rules))
        return TextMapping::NotCacheReply;
    return out.constData() == text.constData() ? TextMapping::Unchanged : TextMapping::Mapped;
}

bool isToolOutput(const QByteArray &name, const QByteArray &text, unsigned dropped, RewriteCheck check)
{
    // The tool never writes a carriage return, and text it wrote holds no
    // match away from the paths it inserted: only a text that may be its
    // output is hashed. A rare file with a byte-order mark is hashed too.
    const QByteArrayView hash = hashInName(name);
    const bool mayBeOutput = !hash.isEmpty() && !(dropped & DroppedCarriageReturns)
            && ((dropped & DroppedByteOrderMark) || check != RewriteCheck::NotRewritten);
    return mayBeOutput && !contentHash(text, dropped & DroppedByteOrderMark).startsWith(hash);
}
