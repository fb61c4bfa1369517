// SPDX-License-Identifier: MIT
#pragma once

#include "VandrelSettings.h"

#include <QString>
#include <QStringList>

#include <memory>

class IVandrelStep;
class TStepContext;

/// The housekeeping settings: the transfer limit, and the retention of dated files on the FTP server and on disk.
namespace VandrelHousekeeping {

/// The transfer limit "KiB/s" of aText in bytes per second; 0 for empty text or "0" (no limit). Throws EVandrel
/// for anything but a whole number of KiB/s.
qint64 TransferLimitBytes(const QString& aText);
/// The number of dated files to keep of aText ("0" or empty text: all); aWhat names the setting in the error.
/// Throws EVandrel for anything but a whole number from 0 up.
int KeepCount(const QString& aText, const QString& aWhat);

/// The names among aNames to remove so that of those that have the form of aPattern (UFileNaming::ReadDateName)
/// only the aKeep newest stay, oldest first. A name in aSpare (the files this run made) is never removed and counts
/// as one of those kept. aKeep 0, or an empty pattern, removes nothing; a name of another form is never removed.
QStringList ExpiredNames(const QStringList& aNames, const QString& aPattern, int aKeep, const QStringList& aSpare);

/// True when a successful run of aSettings ends with the retention step: a count is set, and a ticked step made a
/// file it applies to (Upload for the server; Backup or Extract, Zip or Download for the local folders).
bool RetentionDue(const TVandrelSettings& aSettings);
/// The retention step that follows the last step of a successful run: removes the old dated archives on the FTP
/// server (with their ".sha256" files) and the old backups and archives in their local folders, one status line
/// for each. Throws EVandrel once it has done what it could when a file could not be removed.
std::shared_ptr<IVandrelStep> MakeRetentionStep();

} // namespace VandrelHousekeeping
