// SPDX-License-Identifier: MIT
#include "VandrelHeadless.h"

#include "EVandrel.h"
#include "UConnectionStringManager.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

namespace VandrelConsole {

QString ForDisplay(QString aText)
{
    aText.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return aText;
}

void WriteLine(FILE* aStream, const QString& aText)
{
    const QByteArray bytes = ForDisplay(aText).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), aStream);
    std::fputc('\n', aStream);
    std::fflush(aStream);
}

} // namespace VandrelConsole

TVandrelHeadless::TVandrelHeadless(QObject* aParent)
    : QObject(aParent)
    , FRun([this] { return FSettings; }, *this, this)
{
    FRun.SetUnattended(true);
    connect(&FRun, &TVandrelRun::StatusLine, this, [this](const QString& aLine, bool aFailure) {
        Log(aLine);
        // A failure is for a person to read: a scheduler mails what reaches standard error.
        if (aFailure)
            VandrelConsole::WriteLine(stderr, aLine);
    });
    connect(&FRun, &TVandrelRun::ServerLine, this, &TVandrelHeadless::Log);
    connect(&FRun, &TVandrelRun::LogLine, this, &TVandrelHeadless::Log);
    connect(&FRun, &TVandrelRun::ExitRequested, this, [](int aStatus) { QCoreApplication::exit(aStatus); });
}

void TVandrelHeadless::Log(const QString& aLine)
{
    if (!FLog)
        FLog = std::make_unique<TRunLog>();
    FLog->Line(aLine);
}

void TVandrelHeadless::ShowError(const QString& aText)
{
    VandrelConsole::WriteLine(stderr, aText);
    Log(aText);
}

int TVandrelHeadless::Prepare(const TCommandLine& aCommandLine)
{
    FSettingsFileName = aCommandLine.SettingsFile.isEmpty() ? DefaultSettingsFileName()
                                                            : QFileInfo(aCommandLine.SettingsFile).absoluteFilePath();
    // The job's own connection file beside its settings file comes before the shared ones.
    TConnectionStringManager::SetConfigurationFile(FSettingsFileName);
    FRun.SetStallTimeout(aCommandLine.StallTimeoutSeconds);
    const QByteArray fileName = FSettingsFileName.toLocal8Bit();
    const TSettingsFileState state = SettingsFileState(FSettingsFileName);
    // A job whose file was moved or mistyped must never run another job's settings, nor the defaults.
    if (!aCommandLine.SettingsFile.isEmpty() && state != sfExisting) {
        std::fprintf(stderr,
                     state == sfFolder ? "Database Vandrel: %s is a folder, not a settings file: no run.\n"
                                       : "Database Vandrel: the settings file %s does not exist or is empty: no run.\n",
                     fileName.constData());
        FRun.SetExitStatus(esNothingToDo);
        return esNothingToDo;
    }
    FLog = std::make_unique<TRunLog>(FSettingsFileName);
    bool loaded = true;
    try {
        if (state == sfExisting) {
            const TSettingsLoad load = LoadSettingsFile(FSettingsFileName, cSettingsKey, FSettings);
            if (!load.Ok) {
                Log(load.StatusLine);
                loaded = false;
            }
        }
        for (const QString& message : PrepareLoadedSettings(FSettings, FRun.Today()))
            ShowError(message);
    } catch (...) {
        ShowError(CurrentFailureText());
        loaded = false;
    }
    // Settings that could not be read in full must not start a run: half the fields may be defaults.
    if (!loaded) {
        std::fprintf(stderr,
                     "Database Vandrel: no desktop, and the settings in %s could not be loaded: no run.\n",
                     fileName.constData());
        FRun.SetExitStatus(esRunFailed);
        return esRunFailed;
    }
    if (!FSettings.Automated) {
        std::fprintf(stderr,
                     "Database Vandrel: no desktop and nothing to do: \"Auto Start\" is not ticked in %s.\n",
                     fileName.constData());
        FRun.SetExitStatus(esNothingToDo);
        return esNothingToDo;
    }
    FRun.SetSettingsFile(FSettingsFileName);
    return -1;
}

void TVandrelHeadless::Start()
{
    QTimer::singleShot(0, &FRun, &TVandrelRun::AutoStart);
}
