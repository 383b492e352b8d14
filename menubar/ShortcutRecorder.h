// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/shortcut/ShortcutBinder.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class QLabel;
class QPushButton;
class QToolButton;

namespace wl {

// Records one chord for a settings key: click, then press the chord (Escape cancels, Backspace
// or Delete clears). A chord needs Ctrl, Alt or Super. The value is stored through the binder,
// so the new chord works at once; a chord another program holds is reported here and not kept.
// Where no chord can work in the session, the chord is kept but shown struck out, and the status
// says where to bind a lock key instead.
// Keyboard focus and assistive technology see a plain button named by the recorder's accessible
// name (the chord is its description) and the clear button: the recorder itself is no stop.
class ShortcutRecorder : public QWidget
{
    Q_OBJECT
public:
    explicit ShortcutRecorder(QWidget* parent = nullptr);
    ~ShortcutRecorder() override;

    // Uses the shared binder unless another is set first.
    void setBinder(ShortcutBinder& binder);
    void setAssociatedUserDefaultsKey(const QString& key);
    QString associatedUserDefaultsKey() const { return m_key; }

    std::optional<Shortcut> shortcutValue() const;
    bool isRecording() const { return m_recording; }
    QString displayText() const;
    // A problem with the last chord (taken, no modifier); empty when there is none.
    QString statusText() const;

    bool eventFilter(QObject* watched, QEvent* event) override;

public Q_SLOTS:
    void startRecording();
    void cancelRecording();
    void clearShortcut();

protected:
    bool event(QEvent* event) override;

private:
    ShortcutBinder& binder();
    // While recording, takes the keys (and a focus loss ends it); false for anything else.
    bool recordingEvent(QEvent* event);
    void handleKeyPress(QKeyEvent* event);
    void stopRecording();
    void store(const std::optional<Shortcut>& shortcut);
    void setStatus(const QString& text);
    QString textForStatus(KeyGrabber::GrabResult result) const;
    void refresh();

    QPointer<ShortcutBinder> m_binder;
    QMetaObject::Connection m_changedConnection;
    QMetaObject::Connection m_statusConnection;
    QString m_key;
    bool m_recording = false;
    QPushButton* m_button = nullptr;      // child
    QToolButton* m_clearButton = nullptr; // child
    QLabel* m_status = nullptr;           // child
};

} // namespace wl
