#ifndef STDOUTCAPTURE_H
#define STDOUTCAPTURE_H

#include <QByteArray>

/// Redirects the process's standard output into a pipe for as long as it lives.
class StdoutCapture {
public:
    /// Starts capturing.
    StdoutCapture();
    /// Stops capturing, if take() has not already.
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    /// Restores standard output and returns every byte written meanwhile.
    QByteArray take();

private:
    int m_saved = -1;
    int m_read = -1;
    QByteArray m_bytes;
};

#endif // STDOUTCAPTURE_H
