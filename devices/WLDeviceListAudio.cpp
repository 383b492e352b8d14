#include "devices/WLDeviceListAudio.h"

#include "app/Log.h"
#include "app/SettingsKeys.h"

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
    // Read once: the watch stays on this device whatever becomes the default later. A failed
    // read leaves 0, which names no device.
    AudioObjectID device = audio::kNoObject;
    quint32 size = kReadSize;
    m_hardware.AudioObjectGetPropertyData(audio::kSystemObject, propertyAddress(), 0, nullptr,
                                          &size, &device);
    setDefaultDevice(device);
    setSourceAddress({audio::kDataSource, audio::kScopeOutput, audio::kElementMain});

    startWatchingAudio();

    m_newDeviceObserver =
        ObserverRegistration(center, QString::fromLatin1(events::kSetNewDeviceEvent),
                             [this](const Notification& n) { setNewDeviceName(n); });
}

WLDeviceListAudio::~WLDeviceListAudio()
{
    m_newDeviceObserver = ObserverRegistration();
    m_hardware.AudioObjectRemovePropertyListener(defaultDevice(), sourceAddress(),
                                                 &WLDeviceListAudio::dataSourceListener, this);
}

QStringList WLDeviceListAudio::getCurrentDeviceList()
{
    const bool chosen = m_settings.boolForKey(QString::fromLatin1(keys::useHeadphones));
    // Asked always, so the log tells what plays now.
    const bool plugged = areHeadphonesConnected();
    if (chosen || plugged)
        return {QString::fromLatin1(kHeadphonesName)};
    return {};
}

quint32 WLDeviceListAudio::readDataSource()
{
    quint32 value = 0;
    quint32 size = kReadSize;
    m_hardware.AudioObjectGetPropertyData(defaultDevice(), sourceAddress(), 0, nullptr, &size,
                                          &value);
    return value;
}

bool WLDeviceListAudio::areHeadphonesConnected()
{
    switch (readDataSource()) {
    case audio::kSourceHeadphones:
        log(QStringLiteral("headphone"));
        return true;
    case audio::kSourceInternalSpeaker:
        log(QStringLiteral("speaker"));
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
    log(QStringLiteral("Start watching audio"));
    m_hardware.AudioObjectAddPropertyListener(defaultDevice(), sourceAddress(),
                                              &WLDeviceListAudio::dataSourceListener, this);
}

void WLDeviceListAudio::stopWatchingAudio()
{
    log(QStringLiteral("Stop watching audio"));
    m_hardware.AudioObjectRemovePropertyListener(defaultDevice(), sourceAddress(),
                                                 &WLDeviceListAudio::dataSourceListener, this);
}

void WLDeviceListAudio::watchedDeviceRemoved()
{
    if (const auto target = delegate().lock())
        target->watchedDeviceRemoved();
}

AudioStatus WLDeviceListAudio::dataSourceListener(AudioObjectID, quint32,
                                                  const AudioObjectPropertyAddress*,
                                                  void* inClientData)
{
    auto* watcher = static_cast<WLDeviceListAudio*>(inClientData);
    // Decided from the value now, read through the watcher's own properties. Anything but
    // headphones, a failed read included, is the key device gone.
    switch (watcher->readDataSource()) {
    case audio::kSourceHeadphones:
        log(QStringLiteral("headphone"));
        break;
    case audio::kSourceInternalSpeaker:
        log(QStringLiteral("speaker"));
        watcher->watchedDeviceRemoved();
        break;
    default:
        watcher->watchedDeviceRemoved();
        break;
    }
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
