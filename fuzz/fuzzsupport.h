#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

/// Ends the run with a report when an expectation about the code under test fails.
#define FUZZ_EXPECT(condition)                                                                     \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz: expectation failed at %s:%d: %s\n", __FILE__, __LINE__,    \
                         #condition);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

/// Silences the library's debug trace in every target, before its first input: at millions of
/// inputs it costs more than the code. Fatal messages still end the run, so that the fuzzer keeps
/// the input.
inline const QtMessageHandler g_defaultTrace =
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtFatalMsg) {
            std::fprintf(stderr, "%s\n", qPrintable(message));
            std::abort();
        }
    });

/// The input as a byte array (a copy: the code under test may keep it).
inline QByteArray fuzzBytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), int(size));
}

#endif // FUZZSUPPORT_H
