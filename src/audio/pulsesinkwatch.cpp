#include "audio/pulsesinkwatch.h"

#ifdef ORVEL_HAVE_PULSE

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>

#include <map>

// Everything below but the constructor and the destructor runs on the PulseAudio thread;
// 'names' is only touched there.
struct PulseSinkWatch::Private {
    PulseSinkWatch *owner = nullptr;
    pa_threaded_mainloop *mainloop = nullptr;
    pa_context *context = nullptr;
    std::map<uint32_t, QByteArray> names; // sink index -> name, of the sinks present

    static void onSinkInfo(pa_context *, const pa_sink_info *info, int eol, void *userdata)
    {
        if (eol || !info || !info->name)
            return;
        static_cast<Private *>(userdata)->names[info->index] = QByteArray(info->name);
    }

    static void onEvent(pa_context *context, pa_subscription_event_type_t event, uint32_t index, void *userdata)
    {
        auto *d = static_cast<Private *>(userdata);
        if ((event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK)
            return;
        const int type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (type == PA_SUBSCRIPTION_EVENT_NEW) {
            if (pa_operation *op = pa_context_get_sink_info_by_index(context, index, &onSinkInfo, d))
                pa_operation_unref(op);
        } else if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
            const auto found = d->names.find(index);
            if (found == d->names.end())
                return;
            const QByteArray name = found->second;
            d->names.erase(found);
            PulseSinkWatch *owner = d->owner;
            // Queued to the owner's thread; dropped if the owner goes first.
            QMetaObject::invokeMethod(owner, [owner, name] { emit owner->sinkRemoved(name); }, Qt::QueuedConnection);
        }
    }

    static void onState(pa_context *context, void *userdata)
    {
        if (pa_context_get_state(context) != PA_CONTEXT_READY)
            return;
        auto *d = static_cast<Private *>(userdata);
        pa_context_set_subscribe_callback(context, &onEvent, d);
        // Subscribed first, then listed: a sink added in between is both listed and
        // reported, which only sets its name twice.
        if (pa_operation *op = pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SINK, nullptr, nullptr))
            pa_operation_unref(op);
        if (pa_operation *op = pa_context_get_sink_info_list(context, &onSinkInfo, d))
            pa_operation_unref(op);
    }
};

PulseSinkWatch::PulseSinkWatch(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>())
{
    d->owner = this;
    d->mainloop = pa_threaded_mainloop_new();
    if (!d->mainloop)
        return;
    d->context = pa_context_new(pa_threaded_mainloop_get_api(d->mainloop), "Orvel output watch");
    if (!d->context)
        return;
    pa_context_set_state_callback(d->context, &Private::onState, d.get());
    // No server, no watch: a failed connection just leaves the loop idle.
    if (pa_context_connect(d->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return;
    if (pa_threaded_mainloop_start(d->mainloop) < 0)
        pa_context_disconnect(d->context);
}

PulseSinkWatch::~PulseSinkWatch()
{
    // The loop's thread stops first, so that no callback runs while the rest goes.
    if (d->mainloop)
        pa_threaded_mainloop_stop(d->mainloop);
    if (d->context) {
        pa_context_disconnect(d->context);
        pa_context_unref(d->context);
    }
    if (d->mainloop)
        pa_threaded_mainloop_free(d->mainloop);
}

bool PulseSinkWatch::isAvailable()
{
    return true;
}

#else // without libpulse

struct PulseSinkWatch::Private {
};

PulseSinkWatch::PulseSinkWatch(QObject *parent)
    : QObject(parent)
{
}

PulseSinkWatch::~PulseSinkWatch() = default;

bool PulseSinkWatch::isAvailable()
{
    return false;
}

#endif

// Its own object file: a program that never plays links none of the sink code.
#include "moc_pulsesinkwatch.cpp"
