// SPDX-License-Identifier: MIT
// Program entry: the window on a display, the run alone without one; signals and the exit status.
#include "UFreeTds.h"
#include "UVersionInfo.h"
#include "UWorker.h"
#include "VandrelHeadless.h"
#include "VandrelUsage.h"

#ifdef VANDREL_WITH_WINDOW
#include "UDataLinkDialog.h"
#include "Vandrel.h"

#include <QApplication>
#endif

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <functional>
#include <gcrypt.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int gSignalPipe[2] = {-1, -1};

void OnSignal(int aSignal)
{
    const char byte = aSignal == SIGINT ? 'I' : 'T';
    [[maybe_unused]] const auto written = ::write(gSignalPipe[1], &byte, 1);
}

void InitLibraries()
{
    curl_global_init(CURL_GLOBAL_ALL);
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
}

/// SIGTERM and SIGINT reach the main thread through a pipe and call aOnSignal there with the signal's name.
void WatchSignals(QObject* aContext, std::function<void(const QString&)> aOnSignal)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, gSignalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, aContext);
    QObject::connect(notifier, &QSocketNotifier::activated, aContext, [onSignal = std::move(aOnSignal)] {
        char byte = 'T';
        [[maybe_unused]] const auto got = ::read(gSignalPipe[0], &byte, 1);
        onSignal(byte == 'I' ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM"));
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

/// The end of every run: a worker told to stop (Cancel, a signal) removes its temporary files first.
int Finish(int aStatus)
{
    TProcThread::WaitForAll(10000);
    if (TProcThread::Running() > 0) {
        // A login that was let go of still waits for its server: the libraries must not be torn down under it.
        std::fflush(nullptr);
        ::_exit(aStatus);
    }
    curl_global_cleanup();
    return aStatus;
}

/// Answers --help and --version on standard output; returns false when aCommandLine asks for neither.
bool Answered(const TCommandLine& aCommandLine)
{
    if (!aCommandLine.Ok || (!aCommandLine.Help && !aCommandLine.Version))
        return false;
    const QString text = aCommandLine.Help ? VandrelUsage::HelpText() : VandrelUsage::VersionText();
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    return true;
}

/// --help and --version before anything else: no display, no application object, no settings file. Returns the
/// exit status, or -1 to go on (a command line with Qt's own options is read again once Qt has taken them).
int AnswerAtOnce(int aArgc, char** aArgv)
{
    QStringList arguments;
    for (int i = 1; i < aArgc; ++i)
        arguments.append(QString::fromLocal8Bit(aArgv[i]));
    return Answered(ParseCommandLine(arguments)) ? esSuccess : -1;
}

/// The command line after the program name (and after the options the application object took for itself).
TCommandLine ReadCommandLine()
{
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    const TCommandLine commandLine = ParseCommandLine(arguments);
    if (!commandLine.Ok)
        std::fprintf(stderr,
                     "Database Vandrel: %s\n%s\n",
                     commandLine.Error.toLocal8Bit().constData(),
                     VandrelUsage::TryHelpText().toLocal8Bit().constData());
    return commandLine;
}

/// Runs the settings file the command line names without any widget.
int RunWithoutDisplay(int aArgc, char** aArgv)
{
    QCoreApplication app(aArgc, aArgv);
    QCoreApplication::setApplicationName(QStringLiteral("Database Vandrel"));
    QCoreApplication::setApplicationVersion(TVersionInfo::ProgramVersion());
    const TCommandLine commandLine = ReadCommandLine();
    if (!commandLine.Ok)
        return esNothingToDo;
    if (Answered(commandLine))
        return esSuccess;
    InitLibraries();
    TVandrelHeadless job;
    const int status = job.Prepare(commandLine);
    if (status >= 0)
        return Finish(status);
    WatchSignals(&job, [&job](const QString& aSignal) { job.Terminate(aSignal); });
    job.Start();
    QCoreApplication::exec();
    return Finish(job.ExitStatus());
}
#ifdef VANDREL_WITH_WINDOW
/// True when a person can see a window: a display is named and Qt is not told to draw off screen.
bool HasDisplay()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && (std::strncmp(platform, "offscreen", 9) == 0 || std::strncmp(platform, "minimal", 7) == 0))
        return false;
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
}
#endif
} // namespace

int main(int argc, char** argv)
{
    // The settings hold passwords: no core dump, and no other process of the user may read this one's memory.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    if (const int status = AnswerAtOnce(argc, argv); status >= 0)
        return status;
    // Before any other thread runs: it sets the environment that the SQL Server driver reads.
    UFreeTds::Install();
#ifdef VANDREL_WITH_WINDOW
    if (!HasDisplay())
        return RunWithoutDisplay(argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Database Vandrel"));
    QApplication::setApplicationVersion(TVersionInfo::ProgramVersion());
    const TCommandLine commandLine = ReadCommandLine();
    if (!commandLine.Ok)
        return esNothingToDo;
    if (Answered(commandLine))
        return esSuccess;
    InitLibraries();

    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    UDataLinkDialog::InstallConnectionDialogs();
    TfrmVandrel window(arguments);
    if (window.Refused())
        return Finish(window.ExitStatus());
    WatchSignals(&window, [&window](const QString& aSignal) { window.Terminate(aSignal); });
    window.show();
    QApplication::exec();
    return Finish(window.ExitStatus());
#else
    return RunWithoutDisplay(argc, argv);
#endif
}
