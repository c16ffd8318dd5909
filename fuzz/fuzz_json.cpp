// The JSON documents the device program reads: scannerConfig.json for the scanner type and the
// parameter file for the choice to keep the saved configuration. Both readers get the same bytes.
#include "fuzzsupport.h"
#include "upgradescanner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);

    QString scannerType = QStringLiteral("unchanged");
    UpgradeScanner::g_parseScannerConfig(bytes, scannerType);

    bool hasChoice = false, savePara = false;
    QString parseError;
    if (UpgradeScanner::g_parseSavePara(bytes, hasChoice, savePara, parseError))
        FUZZ_EXPECT(!savePara || hasChoice);
    else
        FUZZ_EXPECT(!hasChoice && !savePara && !parseError.isEmpty());
    return 0;
}
