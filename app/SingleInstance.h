#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>

#include <chrono>
#include <memory>

class QLocalSocket;

namespace wl {

// One Wardlatch per user session. The first instance holds a lock file and listens on a local
// socket in a folder only this user can open; a later start asks it to open its panel and ends.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
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
    std::chrono::milliseconds m_requestTimeout{2000};
    int m_maxClients = 16;
    int m_clients = 0;
    bool m_turningAway = false;
};

} // namespace wl
