// SPDX-License-Identifier: MIT
#include "TFakeSqlServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

TFakeSqlServer::TFakeSqlServer(const QStringList& aExtraArguments)
{
    FServer.StartPython(
        QStringLiteral("tests/fakesql/fakesql.py"),
        QStringList{QStringLiteral("--root"), FRoot.path(), QStringLiteral("--user"), QStringLiteral("sa:Secret1")} +
            aExtraArguments);
}

void TFakeSqlServer::CreateDatabase(const QString& aName, const QByteArray& aData, bool aWithLog)
{
    const QString folder = FRoot.path() + QLatin1Char('/') + aName + QLatin1Char('/');
    WriteAll(folder + aName + QStringLiteral(".mdf"), aData);
    if (aWithLog)
        WriteAll(folder + aName + QStringLiteral("_log.ldf"), QByteArray(3000, 'L'));
}

QString TFakeSqlServer::ConnectionString(const QString& aDatabase) const
{
    QString s = QStringLiteral("Provider=SQLOLEDB.1;Password=Secret1;Persist Security Info=True;User ID=sa;");
    if (!aDatabase.isEmpty())
        s += QStringLiteral("Initial Catalog=") + aDatabase + QLatin1Char(';');
    return s + QStringLiteral("Data Source=127.0.0.1,%1").arg(FServer.Port());
}

QString MakeCertificate(const QString& aFolder, const QString& aName, const QString& aHost)
{
    const QString certificate = aFolder + QLatin1Char('/') + aName + QStringLiteral(".crt");
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"),
                   QStringLiteral("-x509"),
                   QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"),
                   QStringLiteral("-nodes"),
                   QStringLiteral("-days"),
                   QStringLiteral("2"),
                   QStringLiteral("-keyout"),
                   aFolder + QLatin1Char('/') + aName + QStringLiteral(".key"),
                   QStringLiteral("-out"),
                   certificate,
                   QStringLiteral("-subj"),
                   QStringLiteral("/CN=") + aHost,
                   QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=DNS:%1%2")
                       .arg(aHost, aHost == QLatin1String("localhost") ? QStringLiteral(",IP:127.0.0.1") : QString())});
    const bool made =
        openssl.waitForFinished(60000) && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
    return made ? certificate : QString();
}

QByteArray ReadAll(const QString& aFileName)
{
    QFile file(aFileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& aFileName, const QByteArray& aData)
{
    QDir().mkpath(QFileInfo(aFileName).absolutePath());
    QFile file(aFileName);
    if (file.open(QIODevice::WriteOnly))
        file.write(aData);
}
