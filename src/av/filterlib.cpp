#include "av/filterlib.h"

#include "av/ffmpeg.h"

#include <dlfcn.h>

#include <mutex>

namespace av::filterlib {

namespace {

struct Library {
    bool loaded = false;
    QString error;
    decltype(&avfilter_version) version = nullptr;
    decltype(&avfilter_graph_alloc) graphAlloc = nullptr;
    decltype(&avfilter_graph_free) graphFree = nullptr;
    decltype(&avfilter_get_by_name) getByName = nullptr;
    decltype(&avfilter_graph_create_filter) graphCreateFilter = nullptr;
    decltype(&avfilter_link) link = nullptr;
    decltype(&avfilter_graph_config) graphConfig = nullptr;
    decltype(&av_buffersrc_add_frame_flags) bufferSourceAddFrameFlags = nullptr;
    decltype(&av_buffersink_get_frame) bufferSinkGetFrame = nullptr;
};

template <typename Function>
bool resolve(void *handle, const char *name, Function &out, QString &error)
{
    out = reinterpret_cast<Function>(dlsym(handle, name));
    if (!out)
        error = QStringLiteral("libavfilter lacks %1").arg(QLatin1String(name));
    return out != nullptr;
}

Library loadLibrary()
{
    Library library;
    // The soname of the major version the headers describe; the build's library folder
    // second, for an FFmpeg outside the loader's search path.
    const QByteArray soname = QByteArrayLiteral("libavfilter.so.") + QByteArray::number(LIBAVFILTER_VERSION_MAJOR);
    void *handle = dlopen(soname.constData(), RTLD_NOW | RTLD_LOCAL);
#ifdef ORVEL_AVFILTER_LIBDIR
    if (!handle)
        handle = dlopen((QByteArrayLiteral(ORVEL_AVFILTER_LIBDIR "/") + soname).constData(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (!handle) {
        library.error = QStringLiteral("Cannot load %1: %2").arg(QString::fromLatin1(soname), QString::fromLocal8Bit(dlerror()));
        return library;
    }
    QString &error = library.error;
    const bool complete = resolve(handle, "avfilter_version", library.version, error)
        && resolve(handle, "avfilter_graph_alloc", library.graphAlloc, error)
        && resolve(handle, "avfilter_graph_free", library.graphFree, error)
        && resolve(handle, "avfilter_get_by_name", library.getByName, error)
        && resolve(handle, "avfilter_graph_create_filter", library.graphCreateFilter, error)
        && resolve(handle, "avfilter_link", library.link, error)
        && resolve(handle, "avfilter_graph_config", library.graphConfig, error)
        && resolve(handle, "av_buffersrc_add_frame_flags", library.bufferSourceAddFrameFlags, error)
        && resolve(handle, "av_buffersink_get_frame", library.bufferSinkGetFrame, error);
    if (!complete)
        return library;
    if (AV_VERSION_MAJOR(library.version()) != LIBAVFILTER_VERSION_MAJOR) {
        error = QStringLiteral("libavfilter %1 found, %2 expected")
                    .arg(AV_VERSION_MAJOR(library.version()))
                    .arg(LIBAVFILTER_VERSION_MAJOR);
        return library;
    }
    // Never unloaded: filter graphs may outlive any owner of the handle.
    library.loaded = true;
    return library;
}

const Library &library()
{
    static std::once_flag once;
    static Library loaded;
    std::call_once(once, [] { loaded = loadLibrary(); });
    return loaded;
}

} // namespace

bool load(QString *error)
{
    const Library &lib = library();
    if (!lib.loaded && error)
        *error = lib.error;
    return lib.loaded;
}

AVFilterGraph *graphAlloc()
{
    return load() ? library().graphAlloc() : nullptr;
}

void graphFree(AVFilterGraph **graph)
{
    // A graph exists only once the library is loaded.
    if (graph && *graph && load())
        library().graphFree(graph);
}

const AVFilter *getByName(const char *name)
{
    return load() ? library().getByName(name) : nullptr;
}

int graphCreateFilter(AVFilterContext **context, const AVFilter *filter, const char *name, const char *arguments,
                      void *opaque, AVFilterGraph *graph)
{
    return load() ? library().graphCreateFilter(context, filter, name, arguments, opaque, graph) : AVERROR(ENOSYS);
}

int link(AVFilterContext *source, unsigned sourcePad, AVFilterContext *destination, unsigned destinationPad)
{
    return load() ? library().link(source, sourcePad, destination, destinationPad) : AVERROR(ENOSYS);
}

int graphConfig(AVFilterGraph *graph, void *logContext)
{
    return load() ? library().graphConfig(graph, logContext) : AVERROR(ENOSYS);
}

int bufferSourceAddFrameFlags(AVFilterContext *source, AVFrame *frame, int flags)
{
    return load() ? library().bufferSourceAddFrameFlags(source, frame, flags) : AVERROR(ENOSYS);
}

int bufferSinkGetFrame(AVFilterContext *sink, AVFrame *frame)
{
    return load() ? library().bufferSinkGetFrame(sink, frame) : AVERROR(ENOSYS);
}

} // namespace av::filterlib
