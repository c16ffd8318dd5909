#include "progressmeter.h"

#include <cstdio>
#include <unistd.h>

namespace {
// Short jobs stay quiet; long ones redraw a few times a second.
const qint64 kQuietMs = 700;
const qint64 kRedrawMs = 200;
} // namespace

ProgressMeter::ProgressMeter(const QString& label, bool enabled)
    : m_label(label), m_enabled(enabled && isatty(STDERR_FILENO))
{
    m_started.start();
}

ProgressMeter::~ProgressMeter()
{
    finish();
}

void ProgressMeter::update(qint64 done, qint64 total)
{
    if (!m_enabled)
        return;
    const qint64 now = m_started.elapsed();
    if (now < kQuietMs || (m_shown && now - m_lastShown < kRedrawMs))
        return;
    m_lastShown = now;
    m_shown = true;
    const qint64 mib = 1024 * 1024;
    QString line = total > 0 ? QStringLiteral("%1: %2% (%3 of %4 MiB)")
                                   .arg(m_label)
                                   .arg(done * 100 / total)
                                   .arg(done / mib)
                                   .arg(total / mib)
                             : QStringLiteral("%1: %2 MiB").arg(m_label).arg(done / mib);
    std::fprintf(stderr, "\r%s\033[K", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

PackProgress ProgressMeter::callback()
{
    return [this](qint64 done, qint64 total) { update(done, total); };
}

void ProgressMeter::finish()
{
    if (!m_shown)
        return;
    m_shown = false;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
}
