#ifndef ESCAPEDTEXT_H
#define ESCAPEDTEXT_H

#include <QString>

/// The text as it can be printed whole: each control character written as \n, \r, \t or \xHH,
/// and each backslash as \\.
QString escapedText(const QString& text);

#endif // ESCAPEDTEXT_H
