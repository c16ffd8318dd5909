// The device identity read from /etc/issue and /proc/meminfo: both readers get the same bytes,
// through a buffer opened in text mode as the files are.
#include "fuzzsupport.h"
#include "upgradescanner.h"

#include <QBuffer>
#include <QRegularExpression>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);

    QBuffer issue;
    issue.setData(bytes);
    FUZZ_EXPECT(issue.open(QIODevice::ReadOnly | QIODevice::Text));
    QString productModel, systemBranch, systemVersion;
    UpgradeScanner::g_parseIssue(issue, productModel, systemBranch, systemVersion);
    // A value is what follows a key on its line, so it can never hold a line end.
    for (const QString* value : {&productModel, &systemBranch, &systemVersion})
        FUZZ_EXPECT(!value->contains(QLatin1Char('\n')));

    QBuffer meminfo;
    meminfo.setData(bytes);
    FUZZ_EXPECT(meminfo.open(QIODevice::ReadOnly | QIODevice::Text));
    QString memoryClass;
    UpgradeScanner::g_parseMemInfo(meminfo, memoryClass);
    FUZZ_EXPECT(memoryClass.isEmpty() ||
                QRegularExpression(QStringLiteral("^[123]G-")).match(memoryClass).hasMatch());
    return 0;
}
