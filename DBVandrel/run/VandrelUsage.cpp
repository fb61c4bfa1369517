// SPDX-License-Identifier: MIT
#include "VandrelUsage.h"

#include "UVersionInfo.h"

#include <QStringList>

#include <curl/curl.h>
#include <gcrypt.h>
#include <sql.h>
#include <sqlext.h>
#include <zip.h>
#include <zlib.h>

namespace {
/// The version of unixODBC's driver manager ("03.52.0002.0003": ODBC 3.52, manager 2.3); empty when it cannot say.
QString DriverManagerVersion()
{
    SQLHENV environment = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment)))
        return {};
    QString version;
    SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLHDBC connection = SQL_NULL_HDBC;
    if (SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, environment, &connection))) {
        SQLCHAR text[64] = {};
        SQLSMALLINT length = 0;
        if (SQL_SUCCEEDED(SQLGetInfo(connection, SQL_DM_VER, text, sizeof text, &length))) {
            const QStringList parts = QString::fromLatin1(reinterpret_cast<const char*>(text)).split(QLatin1Char('.'));
            if (parts.size() == 4)
                version = QStringLiteral("%1.%2 (ODBC %3.%4)")
                              .arg(parts.at(2).toInt())
                              .arg(parts.at(3).toInt())
                              .arg(parts.at(0).toInt())
                              .arg(parts.at(1));
        }
        SQLFreeHandle(SQL_HANDLE_DBC, connection);
    }
    SQLFreeHandle(SQL_HANDLE_ENV, environment);
    return version;
}
} // namespace

namespace VandrelUsage {

QString HelpText()
{
    return QStringLiteral(
        R"(Usage: dbvandrel [OPTION]... [SETTINGS-FILE]
Carry a Microsoft SQL Server database from one server to another: back it up,
zip it and upload it to an FTP server; or download the archive, extract it and
restore the database.

With a display the window opens on SETTINGS-FILE. Without one (neither DISPLAY
nor WAYLAND_DISPLAY set, or QT_QPA_PLATFORM=offscreen) no window is made: the
steps ticked in SETTINGS-FILE run at once, provided "Auto Start" is ticked in
it, and the log goes to standard output.

SETTINGS-FILE is a file saved from the window (default: vandrel.cfg in the
configuration folder). A named file must exist unless a window opens on it.
NAME.cfg looks for its own database connection beside it first (NAME.udl, then
NAME.ini) and appends its history to NAME.log beside it (or in the
configuration folder when that folder cannot be written).

Options:
      --stall-timeout=SECONDS  cancel a backup during which the database
                                 server sends nothing for SECONDS
                                 (default 1800; 0 turns it off)
      --help                   display this help and exit
      --version                output version information and exit
      --                       end of the options (for a settings file
                                 whose name starts with '-')
With a display, Qt's own options (-platform, -style, ...) are accepted too.

Exit status:
  0  success (also a run cancelled from the window)
  1  a step failed or the run stopped on an error; unreadable settings
  2  nothing to do ("Auto Start" not ticked), a usage error, or a named
     settings file that does not exist or is a folder
  3  no database connection could be had
  4  stopped by SIGTERM or SIGINT
  5  another run of the same settings file holds it

Environment:
  XDG_CONFIG_HOME   the configuration folder is $XDG_CONFIG_HOME/dbvandrel
                    (default ~/.config/dbvandrel)
  DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM
                    whether the window opens (see above)
  LOGS_DIRECTORY    where the history goes first (systemd's LogsDirectory=)
  TMPDIR            the folder for temporary files (default /tmp)
  ODBCSYSINI, ODBCINI
                    where unixODBC finds its drivers (FreeTDS) and sources
  QT_LOGGING_RULES  "dbvandrel.debug=true" prints one line per event
  DBVANDREL_HINT    a line the window shows first in its status report

The manual: man dbvandrel.
)");
}

QString VersionText()
{
    const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
    QStringList libraries;
    libraries.append(QStringLiteral("Qt %1").arg(QString::fromLatin1(qVersion())));
    QString curlText = QStringLiteral("libcurl %1").arg(QString::fromLatin1(curl->version));
    QStringList transports;
    for (const char* part : {curl->ssl_version, curl->libssh_version}) {
        if (part)
            transports.append(QString::fromLatin1(part));
    }
    if (!transports.isEmpty())
        curlText += QStringLiteral(" (%1)").arg(transports.join(QStringLiteral(", ")));
    libraries.append(curlText);
    libraries.append(QStringLiteral("libzip %1").arg(QString::fromLatin1(zip_libzip_version())));
    libraries.append(QStringLiteral("zlib %1").arg(QString::fromLatin1(zlibVersion())));
    libraries.append(QStringLiteral("libgcrypt %1").arg(QString::fromLatin1(gcry_check_version(nullptr))));
    if (const QString odbc = DriverManagerVersion(); !odbc.isEmpty())
        libraries.append(QStringLiteral("unixODBC %1").arg(odbc));
    return QStringLiteral("dbvandrel (Database Vandrel) %1\n"
                          "%2\n"
                          "Copyright (C) 2026 The Database Vandrel developers.\n"
                          "License MIT: <https://opensource.org/license/mit>.\n"
                          "This is free software: you are free to change and redistribute it.\n"
                          "There is NO WARRANTY, to the extent permitted by law.\n")
        .arg(TVersionInfo::ProgramVersion(), libraries.join(QStringLiteral(", ")));
}

QString TryHelpText()
{
    return QStringLiteral("Try 'dbvandrel --help' for more information.");
}

} // namespace VandrelUsage
