// SPDX-License-Identifier: MIT
// The connection button and the display of the current connection.
#include "Vandrel.h"

#include "UDatConModule.h"

#include "EVandrel.h"
#include "TDBConnection.h"
#include "UOleDbString.h"

#include <QMessageBox>

QString TfrmVandrel::CurrentDatabaseName() const
{
    // Only a suggestion for a file name: a connection that cannot tell gives no name. During a run the connection
    // belongs to the run (a worker may be executing on it), so it is not asked then.
    if (FRunning)
        return QString();
    try {
        TADOConDataModule& module = DatConModule();
        return module.Connected() ? module.Database() : QString();
    } catch (const std::exception&) {
        return QString();
    }
}

void TfrmVandrel::spdbtnMSLinkClick()
{
    // A run owns the connection: reconnecting or reading it under a worker's running statement would pull the
    // connection from under that statement.
    if (FRunning)
        return;
    Guarded([this] {
        TADOConDataModule& module = DatConModule();
        // Without a desktop nobody can answer: the open connection is kept, as on Cancel.
        if (module.Connected() && Interactive() &&
            QMessageBox::question(this,
                                  windowTitle(),
                                  QStringLiteral("Reconnect?"),
                                  QMessageBox::Yes | QMessageBox::Cancel,
                                  QMessageBox::Yes) == QMessageBox::Yes)
            module.SetConnected(false);
        module.Connect(QString(), lkAuto);
        ShowConnection();
    });
}

void TfrmVandrel::ShowConnection()
{
    TADOConDataModule& module = DatConModule();
    const QString connectionString = module.ConnectionString();
    QString server;
    bool found = false;
    const QStringList lines = connectionString.split(QLatin1Char(';'));
    for (const QString& line : lines) {
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals > 0 && line.left(equals).compare(QLatin1String("Data Source"), Qt::CaseInsensitive) == 0) {
            server = line.mid(equals + 1);
            found = true;
            break;
        }
    }
    // A string that refers to a data-link file names its server inside that file.
    if (!found && !UOleDbString::Value(UOleDbString::Parse(connectionString), QStringLiteral("FILE NAME")).isEmpty()) {
        try {
            server = module.ADOConnection().Property(QStringLiteral("Data Source"));
        } catch (const EVandrel&) {
            server.clear();
        }
    }
    // Both values are had before either field changes, so a failure leaves the fields as they were.
    const QString database = module.Database();
    FUi->edtDBServer->setText(server);
    FUi->edtDatabases->setText(database);
}
