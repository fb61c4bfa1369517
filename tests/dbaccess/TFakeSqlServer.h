// SPDX-License-Identifier: MIT
#pragma once

#include "TServerProcess.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

/// The project's fake SQL Server on loopback, with its database folders in a temporary root.
class TFakeSqlServer
{
public:
    /// Starts the server for user sa (password Secret1) with aExtraArguments.
    explicit TFakeSqlServer(const QStringList& aExtraArguments = {});
    /// The folder that holds one sub-folder per database.
    QString Root() const { return FRoot.path(); }
    /// Creates database aName with a data file aName.mdf (aData) and, unless aWithLog is false, aName_log.ldf.
    void CreateDatabase(const QString& aName, const QByteArray& aData, bool aWithLog = true);
    /// An OLE DB connection string for user sa on the server, with aDatabase as Initial Catalog when given.
    QString ConnectionString(const QString& aDatabase = QString()) const;
    /// The server's output so far (for failure messages).
    QString Output() { return FServer.Output(); }
    /// Stops the server; Output() then holds its whole log.
    void Stop() { FServer.Stop(); }

private:
    QTemporaryDir FRoot;
    TServerProcess FServer;
};

/// Makes a self-signed certificate for aHost (and 127.0.0.1 when aHost is localhost) with openssl: aFolder/aName.crt
/// and aFolder/aName.key. Returns the certificate's path, or empty when openssl failed.
QString
MakeCertificate(const QString& aFolder, const QString& aName, const QString& aHost = QStringLiteral("localhost"));

/// Reads a whole (small) file; empty when it does not exist.
QByteArray ReadAll(const QString& aFileName);
/// Writes a file, creating its folder.
void WriteAll(const QString& aFileName, const QByteArray& aData);
