#include "escapedtext.h"

QString escapedText(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        const ushort code = c.unicode();
        const int named = QStringLiteral("\n\r\t\\").indexOf(c);
        if (named >= 0)
            escaped += QLatin1Char('\\') + QStringLiteral("nrt\\").at(named);
        // C1 controls too: a terminal may take U+009B for the start of a command.
        else if (code < 0x20 || (code >= 0x7f && code < 0xa0))
            escaped += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return escaped;
}
