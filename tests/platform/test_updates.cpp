// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"
#include "menubar/FeedbackDialog.h"
#include "platform/settings/Settings.h"
#include "platform/updates/IssueReporter.h"
#include "platform/updates/UpdateChecker.h"

#include <QTemporaryDir>
#include <QUrlQuery>

#include <gmock/gmock.h>

#include <csignal>
#include <stdexcept>

using namespace wl;

namespace {

struct MockUpdateDelegate : UpdateCheckerDelegate
{
    MOCK_METHOD(void, updaterWillRelaunchApplication, (UpdateChecker&), (override));
};

TEST(UpdateChecker, KeepsTheCheckChoicesAndTellsItsLiveDelegateOfARelaunch)
{
    QTemporaryDir dir;
    Settings settings(dir.filePath("wardlatch.conf"));
    UpdateChecker updater(settings);
    updater.setAutomaticallyChecksForUpdates(true);
    updater.setUpdateCheckInterval(21600);
    Settings reread(settings.filePath());
    EXPECT_TRUE(reread.boolForKey(keys::AutomaticallyChecksForUpdates));
    EXPECT_EQ(reread.integerForKey(keys::UpdateCheckInterval), 21600);

    updater.announceRelaunch(); // no delegate yet
    auto delegate = std::make_shared<MockUpdateDelegate>();
    EXPECT_CALL(*delegate, updaterWillRelaunchApplication(::testing::Ref(updater)));
    updater.setDelegate(delegate);
    updater.announceRelaunch();
    delegate.reset(); // held weakly, so gone
    updater.announceRelaunch();
}

TEST(FeedbackDialog, HandsTheMessageIntactToTheMailClientOrKeepsIt)
{
    FeedbackDialog dialog(nullptr, QStringLiteral("someone@example.org"));
    QList<QUrl> opened;
    dialog.setUrlOpener([&](const QUrl& url) {
        opened << url;
        return opened.size() > 1; // no mail client the first time
    });
    const QString subject = QStringLiteral("Lock & key = 100% #1 +more?");
    dialog.setSubject(subject);
    dialog.setMessage(QStringLiteral("line one\nline two & x=y\n\u00fcber #tag %20 + done"));
    dialog.send();
    EXPECT_FALSE(dialog.errorText().isEmpty()); // the dialog stays, saying why

    dialog.send();
    ASSERT_EQ(opened.size(), 2);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    const QUrl url = opened.back();
    EXPECT_EQ(url.scheme() + ":" + url.path(), "mailto:someone@example.org");
    const QUrlQuery query(url);
    EXPECT_EQ(query.queryItemValue("subject", QUrl::FullyDecoded), subject);
    // Mail links want CRLF; the build's line follows the message.
    EXPECT_TRUE(query.queryItemValue("body", QUrl::FullyDecoded)
                    .startsWith(QStringLiteral("line one\r\nline two & x=y\r\n\u00fcber #tag %20 "
                                               "+ done\r\n\r\n--\r\nWardlatch " WL_VERSION)));
}

// Each crash runs in a child process (a death test), which must end by the signal's own default
// action, with the report on stderr.
TEST(IssueReporterDeathTest, FatalSignalsAndUncaughtExceptionsWriteOneReportAndEndAsBefore)
{
    using namespace ::testing;
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string frame = "wardlatch: [^\n]*\\[0x[0-9a-f]+\\]";
    for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) {
        const std::string head = "wardlatch: fatal signal " + std::to_string(sig) + " \\(SIG" +
                                 sigabbrev_np(sig) + "\\), backtrace:\n";
        EXPECT_EXIT((IssueReporter::setup(true), std::raise(sig)), KilledBySignal(sig),
                    head + "(.*\n)*" + frame);
    }
    const auto throwUncaught = []() noexcept {
        IssueReporter::setup(true);
        void (*volatile thrower)() = [] { throw std::runtime_error("the key device vanished"); };
        thrower();
    };
    EXPECT_EXIT(throwUncaught(), KilledBySignal(SIGABRT),
                AllOf(HasSubstr("wardlatch: uncaught exception: the key device vanished\n"
                                "wardlatch: backtrace:\n"),
                      ContainsRegex(frame), Not(HasSubstr("fatal signal")))); // reported once
}

TEST(IssueReporter, InstallsNothingUnlessAskedTo)
{
    IssueReporter::setup(false);
    EXPECT_FALSE(IssueReporter::isSetUp());
}

} // namespace
