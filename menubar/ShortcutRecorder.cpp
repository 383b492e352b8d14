// SPDX-License-Identifier: GPL-3.0-or-later
#include "menubar/ShortcutRecorder.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace wl {

ShortcutRecorder::ShortcutRecorder(QWidget* parent) : QWidget(parent)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    auto* row = new QHBoxLayout;
    column->addLayout(row);
    // Not checkable: a checkable button is announced as a check box named after the chord.
    m_button = new QPushButton(this);
    m_button->setObjectName(QStringLiteral("recordButton"));
    m_button->installEventFilter(this);
    setFocusProxy(m_button);
    m_clearButton = new QToolButton(this);
    m_clearButton->setObjectName(QStringLiteral("clearButton"));
    m_clearButton->setText(QStringLiteral("\u00d7"));
    m_clearButton->setToolTip(tr("Clear shortcut"));
    m_clearButton->setAccessibleName(tr("Clear shortcut"));
    row->addWidget(m_button, 1);
    row->addWidget(m_clearButton);
    m_status = new QLabel(this);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    m_status->hide();
    column->addWidget(m_status);

    connect(m_button, &QPushButton::clicked, this, [this] {
        if (m_recording)
            cancelRecording();
        else
            startRecording();
    });
    connect(m_clearButton, &QToolButton::clicked, this, &ShortcutRecorder::clearShortcut);
    refresh();
}

ShortcutRecorder::~ShortcutRecorder()
{
    m_button->removeEventFilter(this);
    if (m_recording)
        releaseKeyboard();
}

ShortcutBinder& ShortcutRecorder::binder()
{
    if (!m_binder)
        setBinder(ShortcutBinder::sharedBinder());
    return *m_binder;
}

void ShortcutRecorder::setBinder(ShortcutBinder& binder)
{
    disconnect(m_changedConnection);
    disconnect(m_statusConnection);
    m_binder = &binder;
    m_changedConnection =
        connect(&binder, &ShortcutBinder::shortcutChanged, this, [this](const QString& key) {
            if (key == m_key)
                refresh();
        });
    m_statusConnection = connect(&binder, &ShortcutBinder::bindingStatusChanged, this,
                                 [this](const QString& key, KeyGrabber::GrabResult result) {
                                     if (key != m_key)
                                         return;
                                     setStatus(textForStatus(result));
                                     refresh();
                                 });
    refresh();
}

void ShortcutRecorder::setAssociatedUserDefaultsKey(const QString& key)
{
    m_key = key;
    setStatus(textForStatus(binder().bindingStatus(key)));
    refresh();
}

std::optional<Shortcut> ShortcutRecorder::shortcutValue() const
{
    if (m_key.isEmpty() || !m_binder)
        return std::nullopt;
    return m_binder->shortcutForKey(m_key);
}

QString ShortcutRecorder::displayText() const
{
    return m_button->text();
}

QString ShortcutRecorder::statusText() const
{
    return m_status->text();
}

void ShortcutRecorder::refresh()
{
    const std::optional<Shortcut> value = shortcutValue();
    // The stored chord stays (it works again in another session) but is not shown as in force.
    const bool inert = value && !m_recording && m_binder && !m_binder->sessionHasGlobalShortcuts();
    if (m_recording)
        m_button->setText(tr("Type shortcut"));
    else if (value)
        m_button->setText(value->displayText());
    else
        m_button->setText(tr("Record Shortcut"));
    QFont font = m_button->font();
    font.setStrikeOut(inert);
    m_button->setFont(font);
    // The name says what the button is for; the chord (or the hint) is said after it.
    m_button->setAccessibleName(accessibleName().isEmpty() ? tr("Shortcut") : accessibleName());
    m_button->setAccessibleDescription(
        inert ? tr("%1, not available in this session").arg(m_button->text()) : m_button->text());
    m_button->setEnabled(!m_key.isEmpty());
    m_clearButton->setEnabled(value.has_value() && !m_recording);
}

QString ShortcutRecorder::textForStatus(KeyGrabber::GrabResult result) const
{
    switch (result) {
    case KeyGrabber::GrabResult::Taken:
        return tr("This shortcut is taken by another program");
    case KeyGrabber::GrabResult::Unavailable:
        // Said plainly: a lock shortcut that silently does nothing is worse than none.
        if (m_binder && !m_binder->sessionHasGlobalShortcuts())
            return tr("Shortcuts cannot work in this session: bind \u201cwardlatch --lock\u201d "
                      "in the desktop's keyboard settings");
        return tr("Shortcuts cannot be used in this session");
    case KeyGrabber::GrabResult::Ok:
        break;
    }
    return {};
}

void ShortcutRecorder::setStatus(const QString& text)
{
    m_status->setText(text);
    m_status->setVisible(!text.isEmpty());
}

void ShortcutRecorder::startRecording()
{
    if (m_recording || m_key.isEmpty())
        return;
    m_recording = true;
    setStatus({});
    setFocus(Qt::OtherFocusReason);
    // While recording, our own global grab must not swallow the chord being typed: an active
    // keyboard grab takes precedence over passive key grabs.
    grabKeyboard();
    refresh();
}

void ShortcutRecorder::stopRecording()
{
    if (!m_recording)
        return;
    m_recording = false;
    releaseKeyboard();
    // The hint about the chord goes; a standing problem with the binding shows again.
    setStatus(textForStatus(binder().bindingStatus(m_key)));
    refresh();
}

void ShortcutRecorder::cancelRecording()
{
    stopRecording();
}

void ShortcutRecorder::clearShortcut()
{
    stopRecording();
    store(std::nullopt);
}

void ShortcutRecorder::store(const std::optional<Shortcut>& shortcut)
{
    if (m_key.isEmpty())
        return;
    const KeyGrabber::GrabResult result = binder().storeShortcut(m_key, shortcut);
    if (result == KeyGrabber::GrabResult::Taken)
        setStatus(tr("%1 is taken by another program").arg(shortcut->displayText()));
    else
        setStatus(textForStatus(result));
    refresh();
}

bool ShortcutRecorder::event(QEvent* event)
{
    if (recordingEvent(event))
        return true;
    if (event->type() == QEvent::Polish)
        refresh(); // the accessible name is set after construction
    return QWidget::event(event);
}

bool ShortcutRecorder::eventFilter(QObject* watched, QEvent* event)
{
    // The record button has the focus: shortcut overrides reach it, not the keyboard grab.
    if (watched == m_button && recordingEvent(event))
        return true;
    return QWidget::eventFilter(watched, event);
}

bool ShortcutRecorder::recordingEvent(QEvent* event)
{
    if (!m_recording)
        return false;
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // Keep the chord from application shortcuts and focus changes (Tab).
        event->accept();
        return true;
    case QEvent::KeyPress:
        handleKeyPress(static_cast<QKeyEvent*>(event));
        return true;
    case QEvent::KeyRelease:
        return true;
    case QEvent::FocusOut:
        if (static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason)
            stopRecording();
        return false;
    default:
        return false;
    }
}

void ShortcutRecorder::handleKeyPress(QKeyEvent* event)
{
    const Qt::KeyboardModifiers modifiers =
        event->modifiers() &
        (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    Qt::Key key = Qt::Key(event->key());
    if (key == Qt::Key_Backtab)
        key = Qt::Key_Tab;
    const Shortcut chord(key, modifiers);
    if (chord.isValid()) {
        stopRecording();
        store(chord);
        return;
    }
    if (modifiers == Qt::NoModifier && key == Qt::Key_Escape) {
        stopRecording();
        return;
    }
    if (modifiers == Qt::NoModifier && (key == Qt::Key_Backspace || key == Qt::Key_Delete)) {
        clearShortcut();
        return;
    }
    Shortcut probe(key, Qt::ControlModifier);
    if (probe.isValid()) // a real key, but no modifier that makes it a chord
        setStatus(tr("Use Ctrl, Alt or Super with the key"));
}

} // namespace wl
