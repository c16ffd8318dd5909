#include "upgradescanner.h"

#include <QCoreApplication>
#include <QDebug>

int main(int argc, char** argv)
{
    QStringList listOrder;
    for (int i = 1; i < argc; ++i) {
        listOrder.append(QString::fromUtf8(argv[i]));
        qDebug() << "--main-listOrder-argc:---" << argc << i << argv[i] << listOrder.at(i - 1);
    }

    // The core must exist before the upgrader: its start-up message already waits in an event loop.
    QCoreApplication app(argc, argv);
    auto* scanner = new UpgradeScanner(nullptr);
    scanner->initSetMainOrder(listOrder);

    // Nothing ever quits the loop: the parent ends the process or restarts the device.
    const int exitCode = app.exec();
    delete scanner;
    return exitCode;
}
