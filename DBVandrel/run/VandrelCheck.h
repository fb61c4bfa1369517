// SPDX-License-Identifier: MIT
#pragma once

#include "VandrelCommandLine.h"
#include "VandrelSettings.h"

#include <QString>

#include <atomic>
#include <functional>

/// A job checked without running it: for each ticked step, what it will need.
namespace VandrelCheck {

/// How one check came out.
enum TCheckResult : int {
    crOk,     ///< it will work
    crFailed, ///< it will not: Detail says why
    crSkipped ///< it could not be checked from here: Detail says why (does not fail the job)
};

/// One line of a check.
struct TCheckLine
{
    QString Subject; ///< what was checked ("FTP login to host/dir as user")
    TCheckResult Result = crOk;
    QString Detail; ///< the reason, or what was seen when it is fine
    /// "Subject: ok (detail)", "Subject: reason" or "Subject: not checked: reason", on one line.
    QString Text() const;
};

/// Receives each line as it is found.
using TCheckReport = std::function<void(const TCheckLine& aLine)>;

/// Checks the job aSettings without changing anything (but an FTP test file removed at once): the settings' values,
/// the database connection, the login's right to back up or restore and the backup folder as the server sees it,
/// the local folders with the space the last files took, the FTP login, listing and writing. aConnectionString is
/// the database connection to check; empty text: the one stored for the job. Stops early when aRunning turns false.
/// True when no check failed.
bool CheckJob(const TVandrelSettings& aSettings,
              const QString& aConnectionString,
              const TCheckReport& aReport,
              const std::atomic<bool>& aRunning);

/// `dbvandrel --check FILE`: reads the settings file aCommandLine names (leaving it as it is, even when damaged),
/// checks it and writes one line per check on standard output. Returns the exit status: 0 when every check passed,
/// 1 otherwise.
int RunCheck(const TCommandLine& aCommandLine);

} // namespace VandrelCheck
