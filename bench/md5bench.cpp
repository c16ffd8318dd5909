// Prints the digest of one file the way the device program computes it, in md5sum's
// layout, so that a row script can time the two side by side and compare their answers.

#include "upgradescanner.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: md5bench FILE\n");
        return 2;
    }
    const QString digest = UpgradeScanner::g_GenMd5(QString::fromLocal8Bit(argv[1]));
    if (digest.isEmpty())
        return 1;
    std::printf("%s  %s\n", qPrintable(digest), argv[1]);
    return 0;
}
