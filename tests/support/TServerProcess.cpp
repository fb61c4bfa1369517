// SPDX-License-Identifier: MIT
#include "TServerProcess.h"

#include "EVandrel.h"
#include "TestPaths.h"

#include <QDeadlineTimer>

TServerProcess::~TServerProcess()
{
    Stop();
}

void TServerProcess::Start(const QString& aProgram, const QStringList& aArguments, int aTimeoutMs)
{
    FProcess.setProcessChannelMode(QProcess::MergedChannels);
    FProcess.start(aProgram, aArguments);
    if (!FProcess.waitForStarted(aTimeoutMs))
        throw EVandrel(QStringLiteral("Cannot start test server %1: %2").arg(aProgram, FProcess.errorString()));
    QDeadlineTimer deadline(aTimeoutMs);
    while (!deadline.hasExpired()) {
        while (FProcess.canReadLine()) {
            const QByteArray line = FProcess.readLine();
            FOutput += line;
            if (line.startsWith("PORT ")) {
                FPort = static_cast<quint16>(line.mid(5).trimmed().toUInt());
                return;
            }
        }
        if (FProcess.state() != QProcess::Running)
            break;
        FProcess.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    }
    FOutput += FProcess.readAll();
    Stop();
    throw EVandrel(
        QStringLiteral("Test server %1 did not report its port:\r\n%2").arg(aProgram, QString::fromLocal8Bit(FOutput)));
}

void TServerProcess::StartPython(const QString& aScript, const QStringList& aArguments, int aTimeoutMs)
{
    QStringList args{QStringLiteral("-u"), TestPaths::SourceDir() + QLatin1Char('/') + aScript};
    args += aArguments;
    Start(TestPaths::Python(), args, aTimeoutMs);
}

QString TServerProcess::Output()
{
    FOutput += FProcess.readAll();
    return QString::fromLocal8Bit(FOutput);
}

void TServerProcess::Stop()
{
    if (FProcess.state() == QProcess::NotRunning)
        return;
    FProcess.closeWriteChannel();
    if (!FProcess.waitForFinished(3000)) {
        FProcess.terminate();
        if (!FProcess.waitForFinished(3000)) {
            FProcess.kill();
            FProcess.waitForFinished(3000);
        }
    }
}
