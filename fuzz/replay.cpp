// Replays inputs through a fuzz target's entry point in an ordinary build, so that every input
// that once crashed or hung a target stays a test. Arguments: directories of inputs.
#include <QDir>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Optional, as with libFuzzer.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const QDir dir(QFile::decodeName(argv[i]));
        for (const QFileInfo& input : dir.entryInfoList(QDir::Files, QDir::Name)) {
            QFile file(input.filePath());
            if (!file.open(QIODevice::ReadOnly))
                return std::fprintf(stderr, "replay: cannot read %s\n", argv[i]), 1;
            const QByteArray data = file.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.constData()),
                                   size_t(data.size()));
            ++count;
        }
    }
    std::fprintf(stderr, "replay: %d inputs, no failure\n", count);
    return 0;
}
