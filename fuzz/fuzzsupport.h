#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QByteArray>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

/// Silences the library's debug trace: at millions of inputs it would cost more than the code.
void fuzzQuietTrace();

/// Ends the run with a report when an expectation about the code under test fails.
#define FUZZ_EXPECT(condition)                                                                     \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz: expectation failed at %s:%d: %s\n", __FILE__, __LINE__,    \
                         #condition);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

/// The input as a byte array (a copy: the code under test may keep it).
inline QByteArray fuzzBytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), int(size));
}

/// Ends the run unless it is inside the device sandbox; for targets that touch fixed paths.
void fuzzRequireSandbox();

#endif // FUZZSUPPORT_H
