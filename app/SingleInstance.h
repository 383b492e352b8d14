// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QLocalSocket;

namespace wl {

// One Wardlatch per user session. The first instance holds a lock file and listens on a local
// socket in a folder only this user can open; a later start asks it to open its panel and ends.
// The command line asks the running instance to lock, or how it guards, over the same socket.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    struct Status
    {
        bool guarding = false;
        QString description;
    };
    // Locks, and calls done on the main thread with whether the lock was confirmed.
    using LockHandler = std::function<void(std::function<void(bool confirmed)> done)>;
    using StatusHandler = std::function<Status()>;

    explicit SingleInstance(QString folder = defaultFolder(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR/wardlatch, else a per-user folder under the temporary directory.
    static QString defaultFolder();

    // True when this process is the instance; false when another one runs and was told to show
    // itself (or the folder is unsafe to use: then we run anyway, and say so).
    bool claim();

    // How long a client of the running instance may take to send its request, and how many may
    // wait at once; further ones are told the instance is busy and closed at once.
    void setClientLimits(std::chrono::milliseconds requestTimeout, int maxClients);

    // Who answers the command line's requests; without one, such a request is ignored.
    void setLockHandler(LockHandler handler) { m_lockHandler = std::move(handler); }
    void setStatusHandler(StatusHandler handler) { m_statusHandler = std::move(handler); }

    // The command line's side; neither call becomes the instance.
    enum class LockAnswer
    {
        NotRunning,
        Locked,
        Unconfirmed,
        NoAnswer, // reached, but it said nothing we know within replyTimeout
    };
    static LockAnswer askToLock(const QString& folder, std::chrono::milliseconds replyTimeout);
    // None when no instance runs; one that does not answer within replyTimeout is not guarding.
    static std::optional<Status> askStatus(const QString& folder,
                                           std::chrono::milliseconds replyTimeout);

Q_SIGNALS:
    void activationRequested();

private:
    bool prepareFolder();
    bool tellRunningInstance();
    void listen();
    void accept(QLocalSocket* peer);

    const QString m_folder;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer m_server;
    LockHandler m_lockHandler;
    StatusHandler m_statusHandler;
    std::chrono::milliseconds m_requestTimeout{2000};
    int m_maxClients = 16;
    int m_clients = 0;
    bool m_turningAway = false;
};

} // namespace wl
