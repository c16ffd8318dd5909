#include "diffoutcome.h"

#include <QStringList>

namespace {

/// The attributes' names, OLD's first, then those NEW adds.
QStringList attributeNames(const DiffAttributes& before, const DiffAttributes& after)
{
    QStringList names;
    for (const auto& pair : before + after) {
        if (!names.contains(pair.first))
            names << pair.first;
    }
    return names;
}

} // namespace

QJsonValue DiffChange::attribute(const DiffAttributes& attributes, const QString& name)
{
    for (const auto& pair : attributes) {
        if (pair.first == name)
            return pair.second;
    }
    return QJsonValue(QJsonValue::Undefined);
}

QString DiffChange::shown(const QJsonValue& value)
{
    if (value.isDouble())
        return QString::number(qint64(value.toDouble()));
    if (value.isUndefined())
        return QStringLiteral("(none)");
    return value.toString().isEmpty() ? QStringLiteral("(empty)") : value.toString();
}

QString DiffChange::kind() const
{
    return before.isEmpty()  ? QStringLiteral("added")
           : after.isEmpty() ? QStringLiteral("removed")
                             : QStringLiteral("changed");
}

QString DiffChange::describe() const
{
    QStringList parts;
    const auto part = [](const QString& label, const QString& text) {
        return label.isEmpty() ? text : label + QLatin1Char(' ') + text;
    };
    if (before.isEmpty()) {
        for (const auto& pair : after)
            parts << part(pair.first, shown(pair.second));
    } else if (!after.isEmpty()) {
        for (const QString& label : attributeNames(before, after)) {
            const QJsonValue was = attribute(before, label);
            const QJsonValue is = attribute(after, label);
            if (was != is)
                parts << part(label, shown(was) + QStringLiteral(" -> ") + shown(is));
        }
    }
    return kind() + QLatin1Char(' ') + name +
           (parts.isEmpty() ? QString() : QStringLiteral(": ") + parts.join(QStringLiteral(", ")));
}

bool DiffChange::changedOnlyIn(const QStringList& names) const
{
    if (before.isEmpty() || after.isEmpty())
        return false;
    for (const QString& label : attributeNames(before, after)) {
        if (!names.contains(label) && attribute(before, label) != attribute(after, label))
            return false;
    }
    return true;
}

bool DiffSection::differs() const
{
    for (const StageChange& stage : stages) {
        if (!stage.change.isEmpty())
            return true;
    }
    return !changes.isEmpty() || !verdicts.isEmpty();
}

DiffSection DiffOutcome::section(DiffPart part) const
{
    for (const DiffSection& section : sections) {
        if (section.part == part)
            return section;
    }
    return {part, {}, {}, {}};
}
