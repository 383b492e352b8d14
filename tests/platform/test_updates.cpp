// SPDX-License-Identifier: GPL-3.0-or-later
#include "menubar/FeedbackDialog.h"
#include "platform/settings/Settings.h"
#include "platform/updates/IssueReporter.h"
#include "platform/updates/UpdateChecker.h"

#include <QTemporaryDir>
#include <QUrlQuery>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <stdexcept>

using namespace wl;

namespace {

class RecordingUpdateDelegate : public UpdateCheckerDelegate
{
public:
    void updaterWillRelaunchApplication(UpdateChecker& updater) override
    {
        announcedBy << &updater;
    }
    QList<UpdateChecker*> announcedBy;
};

TEST(UpdateChecker, KeepsItsSettingsInTheStore)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("wardlatch.conf");
    {
        Settings settings(path);
        UpdateChecker updater(settings);
        EXPECT_FALSE(updater.automaticallyChecksForUpdates());
        EXPECT_EQ(updater.updateCheckInterval(), 0);
        updater.setAutomaticallyChecksForUpdates(true);
        updater.setUpdateCheckInterval(21600);
        EXPECT_FALSE(updater.hasReleaseFeed());
    }
    Settings reread(path);
    UpdateChecker updater(reread);
    EXPECT_TRUE(updater.automaticallyChecksForUpdates());
    EXPECT_EQ(updater.updateCheckInterval(), 21600);
}

TEST(UpdateChecker, AnnouncesARelaunchToItsLiveDelegateOnly)
{
    QTemporaryDir dir;
    Settings settings(dir.filePath("wardlatch.conf"));
    UpdateChecker updater(settings);
    updater.announceRelaunch(); // no delegate yet

    auto delegate = std::make_shared<RecordingUpdateDelegate>();
    updater.setDelegate(delegate);
    updater.announceRelaunch();
    ASSERT_EQ(delegate->announcedBy.size(), 1);
    EXPECT_EQ(delegate->announcedBy.front(), &updater);

    std::weak_ptr<RecordingUpdateDelegate> weak = delegate;
    delegate.reset();
    EXPECT_TRUE(weak.expired()); // held weakly
    updater.announceRelaunch();
}

TEST(FeedbackMail, MailtoCarriesSubjectAndBodyIntact)
{
    const QString subject = QStringLiteral("Lock & key = 100% #1 +more?");
    const QString body = QStringLiteral("line one\nline two & x=y\n\u00fcber #tag %20 + done");
    const QUrl url =
        FeedbackDialog::mailtoUrl(QStringLiteral("someone@example.org"), subject, body);
    EXPECT_EQ(url.scheme(), "mailto");
    EXPECT_EQ(url.path(), "someone@example.org");
    EXPECT_TRUE(url.isValid());
    const QUrlQuery query(url);
    EXPECT_EQ(query.queryItemValue("subject", QUrl::FullyDecoded), subject);
    QString expectedBody = body;
    expectedBody.replace("\n", "\r\n");
    EXPECT_EQ(query.queryItemValue("body", QUrl::FullyDecoded), expectedBody);
    EXPECT_EQ(query.queryItems().size(), 2);
    // What a mail client receives as text keeps every delimiter encoded.
    const QString encoded = url.toString(QUrl::FullyEncoded);
    EXPECT_TRUE(encoded.startsWith("mailto:someone@example.org?subject="));
    EXPECT_FALSE(encoded.contains(' '));
    EXPECT_FALSE(encoded.contains('#'));
}

TEST(FeedbackMail, SendingOpensTheMailClientOrKeepsTheMessage)
{
    FeedbackDialog dialog;
    QList<QUrl> opened;
    dialog.setUrlOpener([&](const QUrl& url) {
        opened << url;
        return false;
    });
    dialog.setSubject("Hello");
    dialog.setMessage("It locked twice");
    dialog.send();
    ASSERT_EQ(opened.size(), 1);
    EXPECT_FALSE(dialog.errorText().isEmpty());
    EXPECT_EQ(dialog.message(), "It locked twice");
    EXPECT_NE(dialog.result(), QDialog::Accepted);

    dialog.setUrlOpener([&](const QUrl& url) {
        opened << url;
        return true;
    });
    dialog.send();
    ASSERT_EQ(opened.size(), 2);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    const QString body = QUrlQuery(opened.back()).queryItemValue("body", QUrl::FullyDecoded);
    EXPECT_TRUE(body.startsWith("It locked twice\r\n"));
    EXPECT_TRUE(body.contains("Wardlatch " WL_VERSION));
}

// The crash reports run in a child process (a death test), which must end by the signal's own
// default action, with the report on stderr.
class IssueReporterDeathTest : public ::testing::Test
{
protected:
    IssueReporterDeathTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

[[noreturn]] void crashWith(int sig)
{
    IssueReporter::setup(true);
    std::raise(sig);
    std::abort();
}

void throwKeyDeviceError()
{
    throw std::runtime_error("the key device vanished twice");
}

void throwUncaught() noexcept
{
    IssueReporter::setup(true);
    void (*volatile thrower)() = throwKeyDeviceError;
    thrower();
}

constexpr char kBacktraceFrame[] = "wardlatch: [^\n]*\\[0x[0-9a-f]+\\]";

TEST_F(IssueReporterDeathTest, FatalSignalsWriteAReportAndEndByTheSignal)
{
    const std::pair<int, const char*> cases[] = {
        {SIGSEGV, "SIGSEGV"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},
        {SIGFPE, "SIGFPE"},   {SIGILL, "SIGILL"},
    };
    for (const auto& [sig, name] : cases) {
        const std::string pattern = std::string("wardlatch: fatal signal ") + std::to_string(sig) +
                                    " \\(" + name + "\\), backtrace:\n(.*\n)*" + kBacktraceFrame;
        EXPECT_EXIT(crashWith(sig), ::testing::KilledBySignal(sig), pattern) << name;
    }
}

TEST_F(IssueReporterDeathTest, UncaughtExceptionWritesOneReportAndAborts)
{
    using namespace ::testing;
    EXPECT_EXIT(throwUncaught(), KilledBySignal(SIGABRT),
                AllOf(HasSubstr("wardlatch: uncaught exception: the key device vanished twice\n"
                                "wardlatch: backtrace:\n"),
                      ContainsRegex(kBacktraceFrame),
                      // the abort that follows is not reported a second time
                      Not(HasSubstr("fatal signal"))));
}

TEST(IssueReporter, InstallsNothingUnlessAskedTo)
{
    IssueReporter::setup(false);
    EXPECT_FALSE(IssueReporter::isSetUp());
}

} // namespace
