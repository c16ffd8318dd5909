#include "statusstream.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace {

enum Outcome { Success = 0, Failure = 1, NoOutcome = 3 };

struct Printer {
    qint64 startMs;
    bool sawFinal = false;
    Outcome outcome = NoOutcome;

    void print(const QList<StatusStream::Item>& items)
    {
        for (const StatusStream::Item& item : items) {
            const double at = double(item.arrivalMs - startMs) / 1000.0;
            if (item.kind == StatusStream::Item::Message) {
                std::printf("[%8.3f s] %s\n             -> %s\n", at, item.bytes.constData(),
                            qPrintable(StatusStream::meaning(item.bytes)));
                if (StatusStream::isFinal(item.bytes)) {
                    sawFinal = true;
                    outcome = item.bytes.startsWith("UB99") ? Success : Failure;
                }
            } else {
                QByteArray text = item.bytes;
                text.replace('\n', "\n             | ");
                std::printf("[%8.3f s] (tool output) | %s\n", at, text.constData());
            }
            std::fflush(stdout);
        }
    }
};

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("scanner-status"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Splits the device program's status stream into messages and prints each on a line of\n"
        "its own, with its arrival time and meaning. Reads standard input, or runs COMMAND with\n"
        "its standard output on a pipe. Ends once a final message (UB99 or a UC code) has been\n"
        "followed by --settle milliseconds of quiet; a COMMAND is then stopped by its pid.\n"
        "Exit status: 0 after UB99, 1 after a UC message, 3 without either."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("COMMAND"),
                                 QStringLiteral("the command to run, after \"--\""));
    const QCommandLineOption settle(QStringLiteral("settle"),
                                    QStringLiteral("Quiet after the final message, in ms."),
                                    QStringLiteral("ms"), QStringLiteral("1500"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Give up after this many seconds."),
                                     QStringLiteral("seconds"), QStringLiteral("600"));
    parser.addOptions({settle, timeout});
    parser.process(app);

    bool ok = false;
    const qint64 settleMs = parser.value(settle).toLongLong(&ok);
    const qint64 timeoutS = ok ? parser.value(timeout).toLongLong(&ok) : 0;
    if (!ok || settleMs < 0 || timeoutS <= 0) {
        std::fprintf(stderr,
                     "scanner-status: options: --settle and --timeout take whole numbers\n");
        return 2;
    }

    const QStringList command = parser.positionalArguments();
    Printer printer{now()};
    StatusStream stream(printer.startMs);
    QElapsedTimer clock;
    clock.start();

    if (command.isEmpty()) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        char buffer[65536];
        qint64 lastArrival = now();
        while (clock.elapsed() < timeoutS * 1000) {
            if (poll(&in, 1, 20) > 0) {
                const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                lastArrival = now();
                printer.print(stream.feed(QByteArray(buffer, int(n)), lastArrival));
            }
            printer.print(stream.flush(now()));
            if (printer.sawFinal && now() - lastArrival >= settleMs)
                break;
        }
        printer.print(stream.flush(now(), true));
        return printer.outcome;
    }

    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(command.first(), command.mid(1));
    if (!child.waitForStarted(10000)) {
        std::fprintf(stderr, "scanner-status: %s: %s\n", qPrintable(command.first()),
                     qPrintable(child.errorString()));
        return 1;
    }
    qint64 lastArrival = now();
    while (clock.elapsed() < timeoutS * 1000 && child.state() == QProcess::Running) {
        if (child.waitForReadyRead(20)) {
            lastArrival = now();
            printer.print(stream.feed(child.readAllStandardOutput(), lastArrival));
        }
        printer.print(stream.flush(now()));
        if (printer.sawFinal && now() - lastArrival >= settleMs)
            break;
    }
    // The device program never ends by itself: the parent ends it, as here.
    if (child.state() != QProcess::NotRunning) {
        ::kill(pid_t(child.processId()), SIGKILL);
        child.waitForFinished(10000);
    }
    printer.print(stream.feed(child.readAllStandardOutput(), now()));
    printer.print(stream.flush(now(), true));
    return printer.outcome;
}
