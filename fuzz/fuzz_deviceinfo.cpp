// The device identity read from /etc/issue and /proc/meminfo: both readers get the same bytes,
// from the start of one buffer opened in text mode as the files are.
#include "fuzzsupport.h"
#include "upgradescanner.h"

#include <QBuffer>
#include <QRegularExpression>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QBuffer file;
    file.setData(fuzzBytes(data, size));
    FUZZ_EXPECT(file.open(QIODevice::ReadOnly | QIODevice::Text));
    QString productModel, systemBranch, systemVersion;
    UpgradeScanner::g_parseIssue(file, productModel, systemBranch, systemVersion);
    // A value is what follows a key on its line, so it can never hold a line end.
    for (const QString* value : {&productModel, &systemBranch, &systemVersion})
        FUZZ_EXPECT(!value->contains(QLatin1Char('\n')));

    QString memoryClass;
    FUZZ_EXPECT(file.reset());
    UpgradeScanner::g_parseMemInfo(file, memoryClass);
    FUZZ_EXPECT(memoryClass.isEmpty() ||
                QRegularExpression(QStringLiteral("^[123]G-")).match(memoryClass).hasMatch());
    return 0;
}
