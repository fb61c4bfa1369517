// SPDX-License-Identifier: MIT
// The dialog hooks in a program without a widget application (a QCoreApplication whose thread serves no event
// loop): they answer "cancelled" at once, on any thread, and never wait for that thread.
#include "UDatCon.h"
#include "UDataLinkDialog.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

/// Asks both hooks and a question for the application thread; true when each declined and the question was
/// never asked.
bool AllDeclined()
{
    QString result;
    const bool connection = UDatCon::ADOConnectionString(QStringLiteral("Provider=SQLOLEDB"), result);
    QString user = QStringLiteral("sa");
    QString password;
    const bool login = UDatCon::LoginPrompt(user, password);
    bool asked = false;
    const bool answered = UDataLinkDialog::AskOnApplicationThread([&asked] {
        asked = true;
        return true;
    });
    return !connection && !login && !answered && !asked;
}

TEST(UDataLinkDialogTest, WithoutWidgetApplication_HooksDeclineAtOnceOnAnyThread)
{
    UDataLinkDialog::InstallConnectionDialogs();
    EXPECT_TRUE(AllDeclined());

    std::packaged_task<bool()> task(&AllDeclined);
    std::future<bool> declined = task.get_future();
    std::thread worker(std::move(task));
    const bool ended = declined.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    // Serves any call the worker waits for, so that it can be joined after a failure.
    while (declined.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        QCoreApplication::processEvents();
    worker.join();
    EXPECT_TRUE(ended) << "a hook waited for the application thread";
    EXPECT_TRUE(declined.get());

    UDatCon::SetConnectionDialogHook({});
    UDatCon::SetLoginDialogHook({});
}

} // namespace
