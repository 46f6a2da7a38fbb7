// Runs the fuzz harness over the files (or the files in the folders) given on the command
// line, one after another in one process, as libFuzzer replays a corpus. Each input that
// returns is counted as passed; a fault ends the process (sanitizers report it).
//
// Usage: fuzz_open_decode_replay FILE|DIR...

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    QStringList inputs;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QFile::decodeName(argv[i]);
        if (QFileInfo(arg).isDir()) {
            QDirIterator it(arg, QDir::Files, QDirIterator::Subdirectories);
            QStringList found;
            while (it.hasNext())
                found.append(it.next());
            found.sort();
            inputs += found;
        } else {
            inputs.append(arg);
        }
    }
    if (inputs.isEmpty()) {
        std::fprintf(stderr, "usage: fuzz_open_decode_replay FILE|DIR...\n");
        return 2;
    }
    int passed = 0;
    int failed = 0;
    for (const QString &path : inputs) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "replay: cannot read %s\n", qPrintable(path));
            ++failed;
            continue;
        }
        const QByteArray bytes = file.readAll();
        std::fprintf(stderr, "replay: %s (%lld bytes)\n", qPrintable(path), static_cast<long long>(bytes.size()));
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
        ++passed;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
