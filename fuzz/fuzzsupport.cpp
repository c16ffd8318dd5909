#include "fuzzsupport.h"

#include <QFile>

namespace {
void dropMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    // Fatal messages still end the run, with their text, so the fuzzer records the input.
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        std::abort();
    }
}
} // namespace

void fuzzQuietTrace()
{
    qInstallMessageHandler(dropMessage);
}

void fuzzRequireSandbox()
{
    const QByteArray id = qgetenv("SCANNER_SANDBOX");
    QFile marker(QStringLiteral("/run/sandbox/id"));
    if (id.isEmpty() || !marker.open(QIODevice::ReadOnly) || marker.readAll() != id) {
        std::fprintf(stderr, "fuzz: this target works on the appliance's fixed paths; run it "
                             "through tests/sandbox/sandbox\n");
        std::exit(2);
    }
}
