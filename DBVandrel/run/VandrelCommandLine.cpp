// SPDX-License-Identifier: MIT
#include "VandrelCommandLine.h"

#include <QFileInfo>

namespace {
const QString cStallTimeout = QStringLiteral("--stall-timeout");
const QString cHelp = QStringLiteral("--help");
const QString cVersion = QStringLiteral("--version");

bool ReadSeconds(const QString& aText, int& aSeconds)
{
    bool ok = false;
    const int value = aText.toInt(&ok);
    if (!ok || value < 0)
        return false;
    aSeconds = value;
    return true;
}
} // namespace

TCommandLine ParseCommandLine(const QStringList& aArguments)
{
    TCommandLine result;
    const auto fail = [&result](const QString& aError) {
        result.Ok = false;
        result.Error = aError;
        return result;
    };
    bool options = true;
    for (qsizetype i = 0; i < aArguments.size(); ++i) {
        const QString& argument = aArguments.at(i);
        if (options && argument == QLatin1String("--")) {
            options = false;
            continue;
        }
        if (options && argument.startsWith(QLatin1Char('-')) && argument != QLatin1String("-")) {
            QString value;
            bool hasValue = false;
            QString name = argument;
            if (const qsizetype equals = argument.indexOf(QLatin1Char('=')); equals > 0) {
                name = argument.left(equals);
                value = argument.mid(equals + 1);
                hasValue = true;
            }
            if (name == cHelp || name == cVersion) {
                if (hasValue)
                    return fail(QStringLiteral("The option %1 takes no value.").arg(name));
                (name == cHelp ? result.Help : result.Version) = true;
                continue;
            }
            if (name != cStallTimeout)
                return fail(QStringLiteral("Unknown option: %1").arg(argument));
            if (!hasValue) {
                if (i + 1 >= aArguments.size())
                    return fail(QStringLiteral("The option %1 needs a number of seconds.").arg(name));
                value = aArguments.at(++i);
            }
            if (!ReadSeconds(value, result.StallTimeoutSeconds))
                return fail(QStringLiteral("The option %1 needs a number of seconds (0 or more), not \"%2\".")
                                .arg(name, value));
            continue;
        }
        // The settings file; anything after it is ignored.
        result.SettingsFile = argument;
        break;
    }
    return result;
}

TSettingsFileState SettingsFileState(const QString& aFileName)
{
    const QFileInfo info(aFileName);
    if (info.isDir())
        return sfFolder;
    if (!info.exists() || info.size() == 0)
        return sfNew;
    return sfExisting;
}
