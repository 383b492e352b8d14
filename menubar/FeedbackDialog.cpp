// SPDX-License-Identifier: GPL-3.0-or-later
#include "menubar/FeedbackDialog.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSysInfo>
#include <QVBoxLayout>

namespace wl {

FeedbackDialog::FeedbackDialog(QWidget* parent, QString recipient)
    : QDialog(parent), m_recipient(std::move(recipient)),
      m_opener([](const QUrl& url) { return QDesktopServices::openUrl(url); })
{
    setWindowTitle(tr("Send Feedback"));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(tr("Your message opens in your mail client, ready to send."), this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    m_subject = new QLineEdit(tr("Wardlatch feedback"), this);
    layout->addWidget(m_subject);
    m_message = new QPlainTextEdit(this);
    m_message->setPlaceholderText(tr("What happened, or what would you like?"));
    layout->addWidget(m_message, 1);
    m_error = new QLabel(this);
    m_error->setTextFormat(Qt::PlainText);
    m_error->hide();
    layout->addWidget(m_error);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    buttons->addButton(tr("Open in Mail"), QDialogButtonBox::AcceptRole);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &FeedbackDialog::send);
    connect(buttons, &QDialogButtonBox::rejected, this, &FeedbackDialog::reject);
}

FeedbackDialog* FeedbackDialog::showFeedbackDialog(QWidget* parent)
{
    auto* dialog = new FeedbackDialog(parent); // owned by itself: deleted on close
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    return dialog;
}

void FeedbackDialog::setUrlOpener(UrlOpener opener)
{
    m_opener = std::move(opener);
}

void FeedbackDialog::setSubject(const QString& subject)
{
    m_subject->setText(subject);
}

void FeedbackDialog::setMessage(const QString& message)
{
    m_message->setPlainText(message);
}

QString FeedbackDialog::subject() const
{
    return m_subject->text();
}

QString FeedbackDialog::message() const
{
    return m_message->toPlainText();
}

QString FeedbackDialog::errorText() const
{
    return m_error->text();
}

QUrl FeedbackDialog::mailtoUrl(const QString& recipient, const QString& subject,
                               const QString& body)
{
    // Mail links want CRLF line breaks, and every reserved character encoded.
    QString crlf = body;
    crlf.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    crlf.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    const QByteArray query =
        "subject=" + QUrl::toPercentEncoding(subject) + "&body=" + QUrl::toPercentEncoding(crlf);
    QUrl url;
    url.setScheme(QStringLiteral("mailto"));
    url.setPath(recipient);
    url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    return url;
}

QUrl FeedbackDialog::composedUrl() const
{
    const QString about = QStringLiteral("\n\n--\nWardlatch %1, Qt %2, %3")
                              .arg(QStringLiteral(WL_VERSION), QString::fromLatin1(qVersion()),
                                   QSysInfo::prettyProductName());
    return mailtoUrl(m_recipient, subject(), message() + about);
}

void FeedbackDialog::send()
{
    if (m_opener && m_opener(composedUrl())) {
        m_error->hide();
        accept();
        return;
    }
    m_error->setText(tr("No mail client could be opened."));
    m_error->show();
}

} // namespace wl
