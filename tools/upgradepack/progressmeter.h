#ifndef PROGRESSMETER_H
#define PROGRESSMETER_H

#include "packprocess.h"

#include <QElapsedTimer>
#include <QString>

/// Shows how far a long job has got on stderr, when stderr is a terminal.
class ProgressMeter {
public:
    /// A meter labelled label; it stays silent unless enabled and stderr is a terminal.
    ProgressMeter(const QString& label, bool enabled);
    /// Clears the line if anything was shown.
    ~ProgressMeter();
    ProgressMeter(const ProgressMeter&) = delete;
    ProgressMeter& operator=(const ProgressMeter&) = delete;

    /// Reports done bytes out of total (0: unknown total).
    void update(qint64 done, qint64 total);
    /// A callback for the package reader and writer that reports to this meter.
    PackProgress callback();
    /// Clears the line.
    void finish();

private:
    QString m_label;
    bool m_enabled;
    bool m_shown = false;
    QElapsedTimer m_started;
    qint64 m_lastShown = 0;
};

#endif // PROGRESSMETER_H
