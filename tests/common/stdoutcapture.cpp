#include "stdoutcapture.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

StdoutCapture::StdoutCapture()
{
    int fds[2];
    if (pipe(fds) != 0)
        return;
    std::fflush(stdout);
    m_saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    m_read = fds[0];
    fcntl(m_read, F_SETFL, O_NONBLOCK);
}

StdoutCapture::~StdoutCapture()
{
    take();
}

QByteArray StdoutCapture::take()
{
    if (m_saved < 0)
        return m_bytes;
    std::fflush(stdout);
    dup2(m_saved, STDOUT_FILENO);
    close(m_saved);
    m_saved = -1;
    char buffer[4096];
    ssize_t n;
    while ((n = read(m_read, buffer, sizeof buffer)) > 0)
        m_bytes.append(buffer, int(n));
    close(m_read);
    m_read = -1;
    return m_bytes;
}
