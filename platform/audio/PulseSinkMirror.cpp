// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/PulseSinkMirror.h"

#include "platform/audio/PulseAudioHardware.h"

#include <pulse/proplist.h>

#include <QString>

namespace wl {

namespace {

constexpr AudioObjectID kFirstDeviceId = 2; // 0 names nothing, 1 is the system object

} // namespace

// --- reads ------------------------------------------------------------------------------

bool PulseSinkMirror::isSynchronized() const
{
    std::lock_guard lock(m_mutex);
    return m_synced;
}

void PulseSinkMirror::waitForFirstState(std::chrono::milliseconds wait)
{
    std::unique_lock lock(m_mutex);
    m_firstState.wait_for(lock, wait, [&] { return m_stateKnown.load(); });
}

bool PulseSinkMirror::knowsObject(AudioObjectID id) const
{
    std::lock_guard lock(m_mutex);
    return nameForLocked(id) != nullptr;
}

AudioStatus PulseSinkMirror::readDefaultOutput(AudioObjectID& id)
{
    std::lock_guard lock(m_mutex);
    if (!m_synced)
        return audio::kNotRunning; // no server, or not yet read
    id = readableDefaultLocked();
    if (id == 0)
        return audio::kBadObject; // a server without a default output now
    return audio::kNoError;
}

AudioStatus PulseSinkMirror::readDataSource(AudioObjectID id, quint32& source) const
{
    std::lock_guard lock(m_mutex);
    const std::string* name = nameForLocked(id);
    if (!name)
        return audio::kBadObject;
    const auto it = m_sinks.find(*name);
    if (it == m_sinks.end())
        return audio::kBadObject; // gone, or no connection
    if (it->second.source == 0)
        return audio::kUnknownProperty; // no active port
    source = it->second.source;
    return audio::kNoError;
}

AudioObjectID PulseSinkMirror::idForLocked(const std::string& name)
{
    const auto it = m_ids.find(name);
    if (it != m_ids.end())
        return it->second;
    const AudioObjectID id = kFirstDeviceId + AudioObjectID(m_names.size());
    m_ids.emplace(name, id);
    m_names.push_back(name);
    return id;
}

const std::string* PulseSinkMirror::nameForLocked(AudioObjectID id) const
{
    if (id < kFirstDeviceId || id - kFirstDeviceId >= m_names.size())
        return nullptr;
    return &m_names[id - kFirstDeviceId];
}

AudioObjectID PulseSinkMirror::readableDefaultLocked()
{
    if (!m_synced || m_defaultSink.empty() || !m_sinks.contains(m_defaultSink))
        return 0;
    return idForLocked(m_defaultSink);
}

// --- telling listeners ------------------------------------------------------------------

void PulseSinkMirror::notifyDataSource(const std::vector<AudioObjectID>& changed)
{
    for (AudioObjectID id : changed)
        m_listeners.notify(id, kPulseDataSourceAddress);
}

// Tells the default output's listeners when what a read gives has changed: the server came,
// went, or named another default sink, or that sink came or went.
void PulseSinkMirror::announceDefault()
{
    {
        std::lock_guard lock(m_mutex);
        const AudioObjectID now = readableDefaultLocked();
        if (now == m_announcedDefault)
            return;
        m_announcedDefault = now;
    }
    m_listeners.notify(audio::kSystemObject, kPulseDefaultOutputAddress);
}

void PulseSinkMirror::announceFirstStateLocked()
{
    if (!m_stateKnown) {
        m_stateKnown = true;
        m_firstState.notify_all();
    }
}

// --- the connection's state -------------------------------------------------------------

void PulseSinkMirror::serverReady(pa_context* context)
{
    m_pendingSync = 2;
    pa_operation_unref(
        pa_context_get_server_info(context, &PulseSinkMirror::onServerInfoFirst, this));
    requestSinkList(context, true);
}

void PulseSinkMirror::serverLost()
{
    std::vector<AudioObjectID> gone;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& entry : m_sinks)
            gone.push_back(idForLocked(entry.first));
        m_sinks.clear();
        m_defaultSink.clear();
        m_synced = false;
        announceFirstStateLocked();
    }
    notifyDataSource(gone);
    announceDefault();
}

void PulseSinkMirror::syncStepDone()
{
    if (m_pendingSync == 0 || --m_pendingSync != 0)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_synced = true;
        announceFirstStateLocked();
    }
    announceDefault();
}

// --- server events ----------------------------------------------------------------------

void PulseSinkMirror::serverEvent(pa_context* context, pa_subscription_event_type_t type,
                                  uint32_t index)
{
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SINK:
        if (kind == PA_SUBSCRIPTION_EVENT_REMOVE)
            sinkRemoved(index);
        else
            pa_operation_unref(
                pa_context_get_sink_info_by_index(context, index, &PulseSinkMirror::onSink, this));
        break;
    case PA_SUBSCRIPTION_EVENT_SERVER:
        pa_operation_unref(
            pa_context_get_server_info(context, &PulseSinkMirror::onServerInfo, this));
        break;
    case PA_SUBSCRIPTION_EVENT_CARD:
        // Jack and profile changes: read every sink again.
        requestSinkList(context, false);
        break;
    default:
        break;
    }
}

void PulseSinkMirror::onServerInfo(pa_context*, const pa_server_info* info, void* data)
{
    auto* m = static_cast<PulseSinkMirror*>(data);
    if (!info)
        return;
    {
        std::lock_guard lock(m->m_mutex);
        m->m_defaultSink = info->default_sink_name ? info->default_sink_name : "";
        if (!m->m_defaultSink.empty())
            m->idForLocked(m->m_defaultSink);
    }
    m->announceDefault();
}

void PulseSinkMirror::onServerInfoFirst(pa_context* c, const pa_server_info* info, void* data)
{
    onServerInfo(c, info, data);
    static_cast<PulseSinkMirror*>(data)->syncStepDone();
}

void PulseSinkMirror::requestSinkList(pa_context* context, bool initial)
{
    m_rounds.push_back(std::make_unique<ListRound>(ListRound{this, initial, {}}));
    pa_operation_unref(pa_context_get_sink_info_list(context, &PulseSinkMirror::onSinkListed,
                                                     m_rounds.back().get()));
}

void PulseSinkMirror::onSinkListed(pa_context*, const pa_sink_info* info, int eol, void* data)
{
    auto* round = static_cast<ListRound*>(data);
    PulseSinkMirror* m = round->mirror;
    if (eol == 0 && info) {
        round->seen.insert(info->name);
        m->applySink(*info);
        return;
    }
    if (eol > 0)
        m->dropUnseen(round->seen);
    const bool initial = round->initial;
    std::erase_if(m->m_rounds, [&](const auto& r) { return r.get() == round; });
    if (initial)
        m->syncStepDone();
}

void PulseSinkMirror::onSink(pa_context*, const pa_sink_info* info, int eol, void* data)
{
    if (eol == 0 && info)
        static_cast<PulseSinkMirror*>(data)->applySink(*info);
}

void PulseSinkMirror::applySink(const pa_sink_info& info)
{
    std::vector<SinkPortRecord> ports;
    for (uint32_t i = 0; i < info.n_ports; ++i) {
        const pa_sink_port_info* p = info.ports[i];
        ports.push_back({QString::fromUtf8(p->name), p->type, p->available});
    }
    const QString active = info.active_port ? QString::fromUtf8(info.active_port->name) : QString();
    const char* formFactor = pa_proplist_gets(info.proplist, PA_PROP_DEVICE_FORM_FACTOR);
    const quint32 source = dataSourceForSink(ports, active, QString::fromUtf8(formFactor));

    std::vector<AudioObjectID> changed;
    {
        std::lock_guard lock(m_mutex);
        const AudioObjectID id = idForLocked(info.name);
        const auto it = m_sinks.find(info.name);
        // A sink that appears (again) changes nothing for its listeners.
        if (it != m_sinks.end() && it->second.source != source)
            changed.push_back(id);
        m_sinks[info.name] = Sink{info.index, source};
    }
    notifyDataSource(changed);
    announceDefault();
}

// Sinks that went away: their listeners hear of it.
template <typename Gone> void PulseSinkMirror::dropSinks(Gone isGone)
{
    std::vector<AudioObjectID> gone;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_sinks.begin(); it != m_sinks.end();) {
            if (isGone(it->first, it->second)) {
                gone.push_back(idForLocked(it->first));
                it = m_sinks.erase(it);
            } else {
                ++it;
            }
        }
    }
    notifyDataSource(gone);
    announceDefault();
}

void PulseSinkMirror::sinkRemoved(uint32_t index)
{
    dropSinks([&](const std::string&, const Sink& sink) { return sink.index == index; });
}

void PulseSinkMirror::dropUnseen(const std::set<std::string>& seen)
{
    dropSinks([&](const std::string& name, const Sink&) { return !seen.contains(name); });
}

} // namespace wl
