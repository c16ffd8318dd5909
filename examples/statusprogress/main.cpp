// Follows an upgrade and prints a line for each stage it reaches, then the outcome.
//   statusprogress --recorded FILE     reads a recorded stream
//   statusprogress COMMAND [ARG]...    runs the device program, e.g. in the device sandbox:
//     statusprogress build/bin/scanner-sandbox --root DIR -- scanner-upgrade /tmp/upgrade/p.bin
// Exit status: 0 after UB99, 1 after a UC message, 2 on a usage error, 3 without either.
#include <scannerstatus/statusreader.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <cstdio>

using ScannerStatus::Item;

static void show(const Item& message)
{
    if (message.stage() >= 0)
        std::printf("[%2d/%d] %s %s\n", message.stage() + 1, Item::stageCount(),
                    qPrintable(message.code()), qPrintable(message.meaning()));
}

static int outcome(const Item& final)
{
    if (!final.isFinal())
        return std::printf("no final message came\n"), 3;
    if (final.kind() == Item::Failure)
        std::printf("failed: %s %s\n", qPrintable(final.code()), qPrintable(final.meaning()));
    return final.kind() == Item::Success ? 0 : 1;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 2 && args.at(0) == "--recorded") {
        QFile file(args.at(1));
        if (!file.open(QIODevice::ReadOnly))
            return std::fprintf(stderr, "statusprogress: cannot read %s\n", argv[2]), 2;
        Item final;
        for (const Item& item : ScannerStatus::StatusStream::split(file.readAll())) {
            show(item);
            if (item.isFinal() && !final.isFinal())
                final = item;
        }
        return outcome(final);
    }
    if (args.isEmpty() || args.at(0).startsWith('-'))
        return std::fprintf(stderr, "usage: statusprogress --recorded FILE | COMMAND...\n"), 2;
    ScannerStatus::UpgradeRunner runner;
    runner.setTimeout(10 * 60 * 1000);
    QObject::connect(&runner, &ScannerStatus::StatusReader::messageReceived, show);
    // The program idles after its final message; a failed verification adds UC19 550 ms later.
    QObject::connect(&runner, &ScannerStatus::StatusReader::finalMessageReceived,
                     [&] { QTimer::singleShot(1000, &app, &QCoreApplication::quit); });
    QObject::connect(&runner, &ScannerStatus::StatusReader::timedOut, &app,
                     &QCoreApplication::quit);
    // A program that cannot start says so before the event loop runs: the quit waits for it.
    QObject::connect(runner.process(), &QProcess::stateChanged, [&](QProcess::ProcessState state) {
        if (state == QProcess::NotRunning)
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
    });
    runner.start(args.at(0), args.mid(1));
    app.exec();
    runner.stop();
    return outcome(runner.finalMessage());
}
