// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <functional>

namespace UFileUtils {
/// Starts aFile (a program, or a document through the desktop's opener when it is not executable) with
/// aParameters in aDirectory and waits for it to end, calling aWaitCallback (may be empty) before every poll.
/// Returns the exit code of the started process, or -1 when nothing could be started or it crashed.
int ShellExecuteWaitFor(const std::function<void()>& aWaitCallback,
                        const QString& aOperation,
                        const QString& aFile,
                        const QString& aParameters,
                        const QString& aDirectory);
/// The system's own folder ("/var", which holds the system's persistent temporary folder "tmp").
QString GetWindowsDir();
/// A folder for temporary files, created when missing: the platform's temporary folder with a trailing "/",
/// else the fallbacks "/var/tmp" and "/tmp" (without one). Throws EVandrel when none can be had.
QString GetTempDir();
/// The program's configuration folder with a trailing "/": $XDG_CONFIG_HOME/dbvandrel/ (default
/// ~/.config/dbvandrel/). It stands for the executable's folder; it is not created here.
QString ConfigDir();
/// The settings file used when none is named: "vandrel.cfg" in the configuration folder.
QString DefaultSettingsFile();
/// True when aFileName names a file (links followed): a folder, a dangling link or nothing at all is no file.
bool FileExists(const QString& aFileName);
/// True when aFirst and aSecond name the same file: equal once made absolute and cleaned, with links followed as far
/// as the file, or else its folder, exists. An empty name matches nothing.
bool SameFile(const QString& aFirst, const QString& aSecond);
/// Creates the folder of aFileName when it is the configuration folder and is missing (owner-only access).
/// Other folders are left alone. Throws EVandrel when it cannot be created.
void ForceConfigDirFor(const QString& aFileName);
} // namespace UFileUtils
