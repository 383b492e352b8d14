// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>
#include <QUrl>

#include <functional>

class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace wl {

// Composes a feedback message and hands it to the user's mail client as a mailto: link.
class FeedbackDialog : public QDialog
{
    Q_OBJECT
public:
    using UrlOpener = std::function<bool(const QUrl&)>;

    // recipient may be empty: the user then fills in the address in the mail client.
    explicit FeedbackDialog(QWidget* parent = nullptr, QString recipient = {});

    // Shows a new dialog that deletes itself when closed.
    static FeedbackDialog* showFeedbackDialog(QWidget* parent = nullptr);

    // Opens the composed message; the default opener is the desktop's URL handler.
    void setUrlOpener(UrlOpener opener);

    void setSubject(const QString& subject);
    void setMessage(const QString& message);
    QString subject() const;
    QString message() const;
    QString errorText() const;

    // The message as it goes to the mail client, with a line about this build appended.
    QUrl composedUrl() const;
    static QUrl mailtoUrl(const QString& recipient, const QString& subject, const QString& body);

public Q_SLOTS:
    // Opens the mail client; the dialog stays open, text intact, if none could be opened.
    void send();

private:
    QString m_recipient;
    UrlOpener m_opener;
    QLineEdit* m_subject = nullptr;      // child
    QPlainTextEdit* m_message = nullptr; // child
    QLabel* m_error = nullptr;           // child
};

} // namespace wl
