// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/WLDeviceListAudio.h"

#include "app/SettingsKeys.h"
#include "platform/log/Log.h"

namespace wl {

namespace {
constexpr quint32 kReadSize = sizeof(quint32);
}

WLDeviceListAudio::WLDeviceListAudio(std::weak_ptr<WLDeviceListDelegate> delegate,
                                     AudioHardware& hardware, Settings& settings,
                                     NotificationCenter& center)
    : m_hardware(hardware), m_settings(settings), m_delegate(std::move(delegate))
{
    setDefaultDevice(audio::kNoObject);
    setPropertyAddress({audio::kDefaultOutputDevice, audio::kScopeGlobal, audio::kElementMain});
    // A failed read leaves 0, which names no device; the watch picks the device up once the
    // audio layer announces one.
    setDefaultDevice(readDefaultDevice());
    setSourceAddress({audio::kDataSource, audio::kScopeOutput, audio::kElementMain});

    startWatchingAudio();

    m_newDeviceObserver =
        ObserverRegistration(center, QString::fromLatin1(events::kSetNewDeviceEvent),
                             [this](const Notification& n) { setNewDeviceName(n); });
}

WLDeviceListAudio::~WLDeviceListAudio()
{
    m_newDeviceObserver = ObserverRegistration();
    // Quietly, so the audio layer never calls a watcher that is gone: once the removals
    // return, no call of ours is in progress and none can start.
    m_watching = false;
    m_hardware.AudioObjectRemovePropertyListener(audio::kSystemObject, propertyAddress(),
                                                 &WLDeviceListAudio::defaultOutputListener, this);
    follow({Step::Disarm}, false);
}

QStringList WLDeviceListAudio::getCurrentDeviceList()
{
    const bool chosen = m_settings.boolForKey(QString::fromLatin1(keys::useHeadphones));
    // Quietly: the panel asks at every opening, and what plays then is not news.
    const bool plugged = readDataSource(readDefaultDevice()) == audio::kSourceHeadphones;
    if (chosen || plugged)
        return {QString::fromLatin1(kHeadphonesName)};
    return {};
}

AudioObjectID WLDeviceListAudio::readDefaultDevice(AudioStatus* status)
{
    AudioObjectID device = audio::kNoObject;
    quint32 size = kReadSize;
    const AudioStatus result = m_hardware.AudioObjectGetPropertyData(
        audio::kSystemObject, propertyAddress(), 0, nullptr, &size, &device);
    if (status)
        *status = result;
    return result == audio::kNoError ? device : audio::kNoObject;
}

quint32 WLDeviceListAudio::readDataSource(AudioObjectID device)
{
    quint32 value = 0;
    quint32 size = kReadSize;
    if (device != audio::kNoObject)
        m_hardware.AudioObjectGetPropertyData(device, sourceAddress(), 0, nullptr, &size, &value);
    return value;
}

bool WLDeviceListAudio::areHeadphonesConnected()
{
    switch (readDataSource(readDefaultDevice())) {
    case audio::kSourceHeadphones:
        log(QStringLiteral("headphone"), LogCategory::Audio);
        return true;
    case audio::kSourceInternalSpeaker:
        log(QStringLiteral("speaker"), LogCategory::Audio);
        return false;
    default:
        return false;
    }
}

void WLDeviceListAudio::setNewDeviceName(const Notification& notification)
{
    const QVariant name = notification.userInfo.value(QString::fromLatin1(events::kNewDeviceName));
    if (name.isValid() && name.toString() == QLatin1String(kHeadphonesName)) {
        m_settings.setBool(QString::fromLatin1(keys::useHeadphones), true);
        startWatchingAudio();
    } else {
        m_settings.removeObjectForKey(QString::fromLatin1(keys::useHeadphones));
        stopWatchingAudio();
    }
}

void WLDeviceListAudio::startWatchingAudio()
{
    if (!m_settings.boolForKey(QString::fromLatin1(keys::useHeadphones)))
        return;
    m_watching = true;
    // The default output is followed from now on, also while none can be read.
    m_hardware.AudioObjectAddPropertyListener(audio::kSystemObject, propertyAddress(),
                                              &WLDeviceListAudio::defaultOutputListener, this);
    follow({Step::Arm}, false);
}

void WLDeviceListAudio::stopWatchingAudio()
{
    log(QStringLiteral("Stop watching audio"), LogCategory::Audio);
    m_watching = false;
    m_hardware.AudioObjectRemovePropertyListener(audio::kSystemObject, propertyAddress(),
                                                 &WLDeviceListAudio::defaultOutputListener, this);
    follow({Step::Disarm}, false);
}

void WLDeviceListAudio::follow(Request request, bool fromListener)
{
    std::unique_lock lock(m_followMutex);
    m_requests.push_back(request);
    if (m_following) {
        if (!fromListener)
            m_followIdle.wait(lock, [&] { return !m_following; });
        return;
    }
    m_following = true;
    while (!m_requests.empty()) {
        const Request next = m_requests.front();
        m_requests.pop_front();
        lock.unlock();
        handle(next);
        m_watchedNow = m_watched;
        m_headphonesNow = m_lastSource == audio::kSourceHeadphones;
        std::function<void()> observer;
        {
            std::lock_guard properties(m_propertyMutex);
            observer = m_stateObserver;
        }
        if (observer)
            observer();
        lock.lock();
    }
    m_following = false;
    // Notified with the lock held: a destructor woken by it cannot finish before this returns.
    m_followIdle.notify_all();
}

void WLDeviceListAudio::handle(const Request& request)
{
    switch (request.step) {
    case Step::Arm: {
        AudioStatus status = audio::kNoError;
        const AudioObjectID device = readDefaultDevice(&status);
        if (device == audio::kNoObject) {
            bindTo(audio::kNoObject);
            m_lastSource = 0;
            log(status == audio::kNotRunning
                    ? QStringLiteral("No audio server is running: the headphones are not watched "
                                     "until one starts")
                    : QStringLiteral("No default audio output: the headphones are not watched "
                                     "until there is one"),
                LogCategory::Audio);
            return;
        }
        log(QStringLiteral("Start watching audio"), LogCategory::Audio);
        bindTo(device);
        m_lastSource = readDataSource(device);
        return;
    }
    case Step::Disarm: {
        // Asked to end also when nothing is watched; the audio layer takes that calmly.
        const AudioObjectID device = m_watched != audio::kNoObject ? m_watched : defaultDevice();
        m_hardware.AudioObjectRemovePropertyListener(device, sourceAddress(),
                                                     &WLDeviceListAudio::dataSourceListener, this);
        m_watched = audio::kNoObject;
        m_lastSource = 0;
        return;
    }
    case Step::DefaultChanged: {
        if (!m_watching)
            return;
        AudioStatus status = audio::kNoError;
        const AudioObjectID target = readDefaultDevice(&status);
        if (target != m_watched)
            moveTo(target, status);
        return;
    }
    case Step::SourceChanged: {
        if (!m_watching || request.device != m_watched || m_watched == audio::kNoObject)
            return; // a registration on its way out
        // Decided from the value now: anything but headphones is the key device gone.
        const quint32 source = readDataSource(m_watched);
        if (source != 0)
            m_lastSource = source;
        switch (source) {
        case audio::kSourceHeadphones:
            log(QStringLiteral("headphone"), LogCategory::Audio);
            return;
        case audio::kSourceInternalSpeaker:
            log(QStringLiteral("speaker"), LogCategory::Audio);
            watchedDeviceRemoved();
            return;
        case 0:
            break;
        default:
            watchedDeviceRemoved();
            return;
        }
        // Nothing to read: either the device is still the default one and what it plays
        // through is unknown (not headphones), or it went away, with the server or alone.
        AudioStatus status = audio::kNoError;
        const AudioObjectID target = readDefaultDevice(&status);
        if (target == m_watched) {
            m_lastSource = 0;
            watchedDeviceRemoved();
        } else {
            moveTo(target, status);
        }
        return;
    }
    }
}

void WLDeviceListAudio::moveTo(AudioObjectID target, AudioStatus status)
{
    const AudioObjectID old = m_watched;
    const quint32 last = m_lastSource;
    const quint32 source = readDataSource(target);
    if (old != audio::kNoObject) {
        const bool serverGone = status == audio::kNotRunning;
        // Another output taking over is the key device leaving only when headphones played
        // before and do not now. An output that vanished with nothing after it counts
        // unless it was known not to be headphones.
        const bool headphonesTaken =
            source != audio::kSourceHeadphones &&
            (target != audio::kNoObject
                 ? last == audio::kSourceHeadphones
                 : last != audio::kSourceInternalSpeaker && last != audio::kSourceOther);
        if (serverGone || headphonesTaken) {
            if (source == audio::kSourceInternalSpeaker)
                log(QStringLiteral("speaker"), LogCategory::Audio);
            watchedDeviceRemoved();
        }
    }
    bindTo(target);
    m_lastSource = source;
    if (target != audio::kNoObject)
        log(QStringLiteral("Start watching audio"), LogCategory::Audio);
    else if (status == audio::kNotRunning)
        log(QStringLiteral("The audio server went away: the headphones are watched again when "
                           "it is back"),
            LogCategory::Audio);
    else
        log(QStringLiteral("No default audio output: the headphones are not watched until there "
                           "is one"),
            LogCategory::Audio);
}

void WLDeviceListAudio::bindTo(AudioObjectID device)
{
    const AudioObjectID old = m_watched;
    if (old != audio::kNoObject && old != device)
        m_hardware.AudioObjectRemovePropertyListener(old, sourceAddress(),
                                                     &WLDeviceListAudio::dataSourceListener, this);
    m_watched = device;
    if (device == audio::kNoObject)
        return;
    setDefaultDevice(device);
    // Made again when already in force: the audio layer keeps an identical one once.
    m_hardware.AudioObjectAddPropertyListener(device, sourceAddress(),
                                              &WLDeviceListAudio::dataSourceListener, this);
}

void WLDeviceListAudio::setStateObserver(std::function<void()> observer)
{
    std::lock_guard lock(m_propertyMutex);
    m_stateObserver = std::move(observer);
}

void WLDeviceListAudio::watchedDeviceRemoved()
{
    if (const auto target = delegate().lock())
        target->watchedDeviceRemoved();
}

AudioStatus WLDeviceListAudio::dataSourceListener(AudioObjectID inObjectID, quint32,
                                                  const AudioObjectPropertyAddress*,
                                                  void* inClientData)
{
    static_cast<WLDeviceListAudio*>(inClientData)->follow({Step::SourceChanged, inObjectID}, true);
    return audio::kNoError;
}

AudioStatus WLDeviceListAudio::defaultOutputListener(AudioObjectID, quint32,
                                                     const AudioObjectPropertyAddress*,
                                                     void* inClientData)
{
    static_cast<WLDeviceListAudio*>(inClientData)->follow({Step::DefaultChanged}, true);
    return audio::kNoError;
}

std::weak_ptr<WLDeviceListDelegate> WLDeviceListAudio::delegate() const
{
    std::lock_guard lock(m_propertyMutex);
    return m_delegate;
}

void WLDeviceListAudio::setDelegate(std::weak_ptr<WLDeviceListDelegate> delegate)
{
    std::lock_guard lock(m_propertyMutex);
    m_delegate = std::move(delegate);
}

AudioObjectPropertyAddress WLDeviceListAudio::propertyAddress() const
{
    std::lock_guard lock(m_propertyMutex);
    return m_propertyAddress;
}

void WLDeviceListAudio::setPropertyAddress(const AudioObjectPropertyAddress& address)
{
    std::lock_guard lock(m_propertyMutex);
    m_propertyAddress = address;
}

AudioObjectPropertyAddress WLDeviceListAudio::sourceAddress() const
{
    std::lock_guard lock(m_propertyMutex);
    return m_sourceAddress;
}

void WLDeviceListAudio::setSourceAddress(const AudioObjectPropertyAddress& address)
{
    std::lock_guard lock(m_propertyMutex);
    m_sourceAddress = address;
}

} // namespace wl
