// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

/// The program's command line: options first, then the settings file; "--" ends the options.
struct TCommandLine
{
    /// False when the command line cannot be used; Error then says why.
    bool Ok = true;
    /// Why the command line cannot be used.
    QString Error;
    /// The settings file named on the command line; empty when none was named (the default file is used).
    QString SettingsFile;
    /// Seconds without a message from the server after which a running backup is given up; 0 waits for ever.
    int StallTimeoutSeconds = 1800;
    /// --help: the program prints its usage and ends; nothing else is read or run.
    bool Help = false;
    /// --version: the program prints its version and ends; nothing else is read or run.
    bool Version = false;
};

/// Reads the arguments after the program name. Arguments after the settings file are ignored.
TCommandLine ParseCommandLine(const QStringList& aArguments);

/// How the settings file a command line names stands.
enum TSettingsFileState : int {
    sfExisting, ///< a file with content
    sfNew,      ///< no file of that name, or an empty one: a new configuration
    sfFolder    ///< a folder, not a file
};

/// How aFileName stands on disk.
TSettingsFileState SettingsFileState(const QString& aFileName);
