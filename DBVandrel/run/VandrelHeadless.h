// SPDX-License-Identifier: MIT
#pragma once

#include "VandrelCommandLine.h"
#include "VandrelLog.h"
#include "VandrelRun.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <memory>

/// Console output shared by every way of showing a run.
namespace VandrelConsole {
/// The text with each CR LF (between a message and its context lines) made a line feed, for terminals and widgets.
QString ForDisplay(QString aText);
/// Writes one line to aStream and flushes it.
void WriteLine(FILE* aStream, const QString& aText);
} // namespace VandrelConsole

/// A run of a settings file without a display: no widget and no dialog. Status lines go to standard output,
/// errors for a person to standard error; questions are answered "no".
class TVandrelHeadless : public QObject, private IRunPrompts
{
    Q_OBJECT
public:
    /// A job that has not loaded its settings yet.
    explicit TVandrelHeadless(QObject* aParent = nullptr);

    /// Loads the settings file aCommandLine names (the default one when it names none). Returns -1 when the run may
    /// start, else the exit status to end with at once (a missing file, settings that could not be read, nothing to
    /// do), after saying why on standard error.
    int Prepare(const TCommandLine& aCommandLine);
    /// Starts the run (on the first pass of the event loop); the application exits when the run asks to.
    void Start();
    /// SIGTERM or SIGINT (aSignal names it).
    void Terminate(const QString& aSignal) { FRun.Terminate(aSignal); }
    /// The settings file in use.
    const QString& SettingsFileName() const { return FSettingsFileName; }
    /// The run.
    TVandrelRun& Run() { return FRun; }
    /// The exit status the program should end with.
    int ExitStatus() const { return FRun.ExitStatus(); }

private:
    bool CanAsk() const override { return false; }
    bool Confirm(const QString&) override { return false; }
    void ShowError(const QString& aText) override;

    /// Writes a line to standard output and the history file.
    void Log(const QString& aLine);

    TVandrelSettings FSettings;
    QString FSettingsFileName;
    std::unique_ptr<TRunLog> FLog;
    TVandrelRun FRun;
};
