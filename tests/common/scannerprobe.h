#ifndef SCANNERPROBE_H
#define SCANNERPROBE_H

#include "stdoutcapture.h"
#include "upgradescanner.h"

#include <memory>

/// The upgrader with its state opened up for tests. Constructing it sends the start-up
/// message, so tests that make one run in the device sandbox.
class ScannerProbe : public UpgradeScanner {
public:
    /// Constructs one, keeping its start-up message off the test's own output.
    static std::unique_ptr<ScannerProbe> createQuietly()
    {
        StdoutCapture capture;
        return std::make_unique<ScannerProbe>();
    }

    using UpgradeScanner::g_waitEventLoop;
    using UpgradeScanner::m_lastMessage;
    using UpgradeScanner::m_memoryClass;
    using UpgradeScanner::m_otaFiles;
    using UpgradeScanner::m_packagePath;
    using UpgradeScanner::m_productModel;
    using UpgradeScanner::m_scannerType;
    using UpgradeScanner::m_systemBranch;
    using UpgradeScanner::m_systemVersion;
    using UpgradeScanner::m_type;
    using UpgradeScanner::m_upgradeConfig;
};

#endif // SCANNERPROBE_H
