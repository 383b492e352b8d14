#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>

#include <memory>

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

Q_SIGNALS:
    void activationRequested();

private:
    bool prepareFolder();
    bool tellRunningInstance();
    void listen();

    const QString m_folder;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer m_server;
};

} // namespace wl
