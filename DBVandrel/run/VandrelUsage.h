// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

/// The program's answers to --help and --version, in the GNU way: plain text for standard output.
namespace VandrelUsage {
/// The name the program is installed under.
inline constexpr char cProgramName[] = "dbvandrel";
/// Usage, the settings file, every option, the exit statuses and the environment the program reads.
QString HelpText();
/// The version and the versions of the libraries the program runs on, then the copyright and the licence.
QString VersionText();
/// The line that follows a usage error on standard error.
QString TryHelpText();
} // namespace VandrelUsage
