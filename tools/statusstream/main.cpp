#include "commandline.h"
#include <scannerstatus/statusreader.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <poll.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

namespace {

enum ExitCode { Success = 0, Failure = 1, UsageError = 2, NoOutcome = 3, CannotStart = 4 };

struct Printer {
    bool timed = true;
    bool sawFinal = false;
    ExitCode outcome = NoOutcome;

    void print(const QList<ScannerStatus::Item>& items)
    {
        for (const ScannerStatus::Item& item : items) {
            // A recorded stream has no arrival times; its column says so.
            const QByteArray at =
                timed ? QString::asprintf("[%8.3f s]", double(item.arrivalMs()) / 1000.0).toLatin1()
                      : QByteArrayLiteral("[ recorded ]");
            // Tool output has lines, and so has a recorded message that tool output follows;
            // what else a line holds that a terminal would act on is shown escaped, as
            // upgrade-pack plan shows the messages it foretells.
            QStringList lines;
            for (const QByteArray& line : item.bytes().split('\n'))
                lines << escapedText(QString::fromLocal8Bit(line));
            const QByteArray text = lines.join(QStringLiteral("\n             | ")).toLocal8Bit();
            if (item.isMessage()) {
                writeOutput(at + ' ' + text + "\n             -> " + item.meaning().toLocal8Bit() +
                                '\n',
                            true);
                if (item.isFinal()) {
                    sawFinal = true;
                    outcome = item.kind() == ScannerStatus::Item::Success ? Success : Failure;
                }
            } else {
                writeOutput(at + " (tool output) | " + text + '\n', true);
            }
        }
    }
};

int usageError(const QString& why)
{
    std::fprintf(stderr, "scanner-status: usage: %s; see scanner-status --help\n", qPrintable(why));
    return UsageError;
}

/// The outcome of a stream read live; a timeout says that no final message came.
int outcome(const Printer& printer, const QElapsedTimer& clock, qint64 timeoutS)
{
    if (printer.outcome == NoOutcome && clock.hasExpired(timeoutS * 1000))
        std::fprintf(stderr, "scanner-status: no final message (UB99 or UC) came within %lld s\n",
                     static_cast<long long>(timeoutS));
    return printer.outcome;
}

/// What is wrong with the whole number that option holds, at least least; empty when nothing.
QString countProblem(const QCommandLineParser& parser, const QCommandLineOption& option,
                     qint64 least, qint64& value)
{
    bool ok = false;
    value = parser.value(option).toLongLong(&ok);
    const QString given =
        QStringLiteral("--%1 %2").arg(option.names().constFirst(), parser.value(option));
    if (!ok)
        return given + QStringLiteral(": not a whole number");
    return value < least ? given + QStringLiteral(": must be at least %1").arg(least) : QString();
}

int run()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Splits the device program's status stream into messages and prints each on a line of\n"
        "its own, with its arrival time and meaning. Reads standard input, or runs COMMAND with\n"
        "its standard output on a pipe. Ends once a final message (UB99 or a UC code) has been\n"
        "followed by --settle milliseconds of quiet; a COMMAND is then stopped by its pid.\n"
        "A recorded stream has no timing: --offline splits it at the status codes instead.\n"
        "Exit status: 0 after UB99, 1 after a UC message, 2 on a usage error, 3 without\n"
        "either, 4 when COMMAND cannot be started."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("COMMAND"),
                                 QStringLiteral("the command to run, after \"--\""));
    const QString settleDefault = QStringLiteral("1500");
    const QString timeoutDefault = QStringLiteral("600");
    const QCommandLineOption settle(
        QStringLiteral("settle"),
        QStringLiteral("Quiet after the final message, in ms (default: %1).").arg(settleDefault),
        QStringLiteral("ms"), settleDefault);
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("Give up after this many seconds (default: %1).").arg(timeoutDefault),
        QStringLiteral("seconds"), timeoutDefault);
    const QCommandLineOption offline(
        QStringLiteral("offline"),
        QStringLiteral("Read a recorded stream from standard input to its end, and split it at "
                       "the status codes: a message runs up to the next one."));
    parser.addOptions({settle, timeout, offline});
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(commandLineError(parser));
    if (parser.isSet(help)) {
        // Qt's usage line names the program by the path it was started with.
        const QString text = parser.helpText();
        writeOutput(QStringLiteral("Usage: scanner-status [options] [-- COMMAND [ARG]...]")
                        .append(text.midRef(text.indexOf(QLatin1Char('\n'))))
                        .toLocal8Bit());
        return Success;
    }
    if (parser.isSet(version)) {
        writeOutput(QStringLiteral("scanner-status %1\n")
                        .arg(QCoreApplication::applicationVersion())
                        .toLocal8Bit());
        return Success;
    }

    qint64 settleMs = 0;
    qint64 timeoutS = 0;
    QString problem = countProblem(parser, settle, 0, settleMs);
    if (problem.isEmpty())
        problem = countProblem(parser, timeout, 1, timeoutS);
    if (!problem.isEmpty())
        return usageError(problem);

    const QStringList command = parser.positionalArguments();
    Printer printer;
    if (parser.isSet(offline)) {
        if (!command.isEmpty())
            return usageError(QStringLiteral("--offline reads standard input and runs no COMMAND"));
        QFile in;
        in.open(stdin, QIODevice::ReadOnly);
        printer.timed = false;
        printer.print(ScannerStatus::StatusStream::split(in.readAll()));
        return printer.outcome;
    }
    QElapsedTimer clock;
    clock.start();
    const qint64 timeoutMs = qMin<qint64>(timeoutS, INT_MAX / 1000) * 1000;

    if (command.isEmpty()) {
        ScannerStatus::StatusStream stream;
        pollfd in{STDIN_FILENO, POLLIN, 0};
        char buffer[65536];
        qint64 lastArrival = 0;
        while (clock.elapsed() < timeoutMs) {
            if (poll(&in, 1, 20) > 0) {
                const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                lastArrival = clock.elapsed();
                printer.print(stream.feed(QByteArray(buffer, int(n)), lastArrival));
            }
            printer.print(stream.flush(clock.elapsed()));
            if (printer.sawFinal && clock.elapsed() - lastArrival >= settleMs)
                break;
        }
        printer.print(stream.finish());
        return outcome(printer, clock, timeoutS);
    }

    ScannerStatus::UpgradeRunner runner;
    runner.setTimeout(int(timeoutMs));
    QEventLoop loop;
    QTimer quiet;
    quiet.setSingleShot(true);
    const auto show = [&](const ScannerStatus::Item& item) {
        printer.print({item});
        // The wait for quiet after the final message ends with --timeout too.
        if (printer.sawFinal)
            quiet.start(int(qBound<qint64>(0, timeoutMs - clock.elapsed(), settleMs)));
    };
    QObject::connect(&runner, &ScannerStatus::UpgradeRunner::messageReceived, show);
    QObject::connect(&runner, &ScannerStatus::UpgradeRunner::toolOutputReceived, show);
    QObject::connect(&runner, &ScannerStatus::UpgradeRunner::timedOut, &loop, &QEventLoop::quit);
    QObject::connect(&quiet, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(runner.process(),
                     QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    runner.start(command.first(), command.mid(1));
    if (!runner.process()->waitForStarted(10000)) {
        std::fprintf(stderr, "scanner-status: %s: cannot start: %s\n", qPrintable(command.first()),
                     qPrintable(runner.process()->errorString()));
        return CannotStart;
    }
    loop.exec();
    // The device program never ends by itself: the parent ends it, as here.
    runner.stop();
    return outcome(printer, clock, timeoutS);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    setUpTool(QStringLiteral("scanner-status"));
    return finishOutput(run());
}
