// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/GuardState.h"

#include <QLocale>

namespace wl {

namespace {
QString quoted(const QString& name)
{
    return QStringLiteral("“%1”").arg(name);
}

// "“Cruzer Blade”", or "the headphones".
QString deviceText(const KeyDeviceFacts& facts)
{
    return facts.choice == KeyDeviceFacts::Choice::Headphones ? GuardState::tr("the headphones")
                                                              : quoted(facts.name);
}
} // namespace

GuardState::GuardState(QObject* parent) : QObject(parent)
{
    m_pauseTimer.setSingleShot(true);
    // A wall-clock deadline is shown; the timer itself follows it closely enough.
    m_pauseTimer.setTimerType(Qt::CoarseTimer);
    connect(&m_pauseTimer, &QTimer::timeout, this, [this] {
        resume();
        Q_EMIT pauseEnded();
    });
    update();
}

void GuardState::setFacts(const KeyDeviceFacts& facts)
{
    m_facts = facts;
    update();
}

void GuardState::pause(std::optional<std::chrono::milliseconds> duration)
{
    m_pausedFlag = true;
    m_paused = true;
    if (duration) {
        m_pausedUntil = QDateTime::currentDateTime().addMSecs(duration->count());
        m_pauseTimer.start(*duration);
    } else {
        m_pausedUntil.reset();
        m_pauseTimer.stop();
    }
    update();
}

void GuardState::resume()
{
    m_pauseTimer.stop();
    m_pausedFlag = false;
    m_paused = false;
    m_pausedUntil.reset();
    update();
}

void GuardState::lockFinished(bool confirmed)
{
    m_lastLockUnconfirmed = !confirmed;
    update();
}

void GuardState::update()
{
    Snapshot next;
    next.facts = m_facts;
    next.lastLockUnconfirmed = m_lastLockUnconfirmed;
    if (m_facts.choice == KeyDeviceFacts::Choice::None)
        next.kind = Kind::NothingChosen;
    else if (m_pausedFlag)
        next.kind = Kind::Paused;
    else if (!m_facts.watched)
        next.kind = Kind::CannotWatch;
    else if (!m_facts.present)
        next.kind = Kind::NotConnected;
    else
        next.kind = Kind::Guarding;
    next.paused = m_pausedFlag;
    if (m_pausedFlag)
        next.pausedUntil = m_pausedUntil;
    if (next == m_snapshot)
        return;
    m_snapshot = next;
    Q_EMIT changed();
}

QString GuardState::describe(const Snapshot& s)
{
    QString text;
    switch (s.kind) {
    case Kind::NothingChosen:
        text = tr("Wardlatch is not guarding: choose a key device");
        break;
    case Kind::Guarding:
        text = s.facts.choice == KeyDeviceFacts::Choice::Headphones
                   ? tr("Wardlatch: locks when the headphones are unplugged")
                   : tr("Wardlatch: locks when %1 is removed").arg(quoted(s.facts.name));
        break;
    case Kind::NotConnected:
        text = s.facts.choice == KeyDeviceFacts::Choice::Headphones
                   ? tr("Wardlatch: the headphones are not connected")
                   : tr("Wardlatch: %1 is not connected").arg(quoted(s.facts.name));
        break;
    case Kind::CannotWatch:
        text = s.facts.choice == KeyDeviceFacts::Choice::Headphones
                   ? tr("Wardlatch is not guarding: no audio output can be watched")
                   : tr("Wardlatch is not guarding: %1 cannot be watched").arg(deviceText(s.facts));
        break;
    case Kind::Paused:
        text = s.pausedUntil
                   ? tr("Wardlatch is paused until %1")
                         .arg(QLocale().toString(s.pausedUntil->time(), QLocale::ShortFormat))
                   : tr("Wardlatch is paused until you resume it");
        break;
    }
    if (s.lastLockUnconfirmed)
        text += QLatin1Char('\n') + tr("The last lock could not be confirmed");
    return text;
}

} // namespace wl
