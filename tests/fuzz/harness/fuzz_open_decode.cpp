// One input through the open-and-decode path, in process: the bytes become a file, the
// engine opens it as the player does and answers a few frame requests (first, middle, past
// the end), the pixel inspector and a close. Built two ways from this one source:
//   - fuzz_open_decode: linked with clang's -fsanitize=fuzzer (ORVEL_FUZZER=ON), libFuzzer
//     drives it;
//   - fuzz_open_decode_replay: the normal build links replay_main.cpp, which runs it over
//     files given on the command line (the regression inputs, as a ctest).
// A fault shows as a sanitizer report or a crash; the function itself judges nothing.

#include "engine/videoengine.h"
#include "av/ffmpeg.h"
#include "core/metatypes.h"

#include <QCoreApplication>
#include <QString>
#include <QVariantMap>

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace {

// The input as a file without touching the disk: the engine opens paths, and
// /proc/self/fd/N of a memfd is a regular file to every check on the way.
class MemoryFile
{
public:
    MemoryFile(const uint8_t *data, size_t size)
    {
        m_fd = memfd_create("orvel-fuzz", MFD_CLOEXEC);
        if (m_fd < 0)
            return;
        size_t written = 0;
        while (written < size) {
            const ssize_t n = ::write(m_fd, data + written, size - written);
            if (n <= 0)
                return;
            written += size_t(n);
        }
        m_ok = true;
    }
    ~MemoryFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;

    bool ok() const { return m_ok; }
    QString path() const { return QStringLiteral("/proc/self/fd/%1").arg(m_fd); }

private:
    int m_fd = -1;
    bool m_ok = false;
};

void setUpOnce()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    // QObjects and queued-connection types need an application object; nothing runs its loop.
    static int argc = 1;
    static char name[] = "fuzz_open_decode";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    registerMetaTypes();
    av_log_set_level(AV_LOG_QUIET);
    qputenv("QT_LOGGING_RULES", "*.debug=false");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    setUpOnce();
    const MemoryFile file(data, size);
    if (!file.ok())
        return 0;

    VideoEngine engine;
    bool opened = false;
    QVariantMap info;
    QObject::connect(&engine, &VideoEngine::fileOpened, &engine,
                     [&](bool success, const QVariantMap &fileInfo, const QString &) {
                         opened = success;
                         info = fileInfo;
                     });
    engine.openFile(file.path());
    if (!opened)
        return 0;

    const int64_t total = info.value(QStringLiteral("totalFrames")).toLongLong();
    const int width = info.value(QStringLiteral("width")).toInt();
    const int height = info.value(QStringLiteral("height")).toInt();
    for (const int64_t n : {int64_t(0), total / 2, total + 5})
        engine.getFrameAsImage(n);
    if (width > 0 && height > 0)
        engine.pixelInspectorSourceConvertText(0, width / 2, height / 2, width, height, 90);
    engine.closeFile();
    return 0;
}
