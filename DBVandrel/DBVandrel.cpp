// SPDX-License-Identifier: MIT
// Program entry: the application, the main window, signals, and the exit status.
#include "UDataLinkDialog.h"
#include "Vandrel.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <gcrypt.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int gSignalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(gSignalPipe[1], &byte, 1);
}

/// Without a display, the program runs on the offscreen platform so a scheduler can start it.
void ChoosePlatform()
{
    const bool hasDisplay = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
    if (!hasDisplay && !std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

void InitLibraries()
{
    curl_global_init(CURL_GLOBAL_ALL);
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
}

/// SIGTERM and SIGINT reach the window thread through a pipe and act like Cancel followed by closing.
void WatchSignals(TfrmVandrel& aWindow)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, gSignalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, &aWindow);
    QObject::connect(notifier, &QSocketNotifier::activated, &aWindow, [&aWindow] {
        char byte;
        [[maybe_unused]] const auto got = ::read(gSignalPipe[0], &byte, 1);
        aWindow.Terminate();
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}
} // namespace

int main(int argc, char** argv)
{
    ChoosePlatform();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Database Vandrel"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.3.3"));
    InitLibraries();

    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    TfrmVandrel window(arguments);
    UDataLinkDialog::InstallConnectionDialogs();
    const bool unattended = !TfrmVandrel::Interactive();
    window.SetUnattended(unattended);
    WatchSignals(window);
    if (unattended && !window.AutoStartHooked()) {
        std::fprintf(stderr,
                     "Database Vandrel: no desktop, and the settings in %s could not be loaded: no run.\n",
                     window.SettingsFileName().toLocal8Bit().constData());
        return esRunFailed;
    }
    if (unattended && !window.FUi->ckbxAutomated->isChecked()) {
        std::fprintf(stderr,
                     "Database Vandrel: no desktop and nothing to do: \"Auto Start\" is not ticked in %s.\n",
                     window.SettingsFileName().toLocal8Bit().constData());
        return esNothingToDo;
    }
    window.show();
    app.exec();
    // A worker told to stop (Cancel, a signal) removes its temporary files before the process ends.
    TProcThread::WaitForAll(10000);
    curl_global_cleanup();
    return window.ExitStatus();
}
