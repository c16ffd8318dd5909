#ifndef DIFFRENDER_H
#define DIFFRENDER_H

#include "diffoutcome.h"

#include <QJsonObject>
#include <QString>

/// The differences, most important first, for people; empty when there are none.
QString diffText(const DiffOutcome& outcome);
/// One line per section, for people.
QString diffStat(const DiffOutcome& outcome);
/// The differences as one JSON object, for scripts.
QJsonObject diffJson(const DiffOutcome& outcome);

#endif // DIFFRENDER_H
