// SPDX-License-Identifier: MIT
// The connection button and the display of the current connection.
#include "Vandrel.h"

#include "UDatConModule.h"

#include "EVandrel.h"
#include "TDBConnection.h"
#include "VandrelDatabase.h"

#include <QMessageBox>

QString TfrmVandrel::CurrentDatabaseName() const
{
    // Only a suggestion for a file name: a connection that cannot tell gives no name. During a run the connection
    // belongs to the run (a worker may be executing on it), so it is not asked then.
    if (FRun->Active())
        return QString();
    try {
        const VandrelDatabase::TModuleLock moduleLock;
        if (!moduleLock.Owns())
            return QString();
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
    if (FRun->Active())
        return;
    Guarded([this] {
        // A login that a run let go of may still hold the module until its time-out.
        const VandrelDatabase::TModuleLock moduleLock;
        if (!moduleLock.Owns())
            throw EVandrel(QStringLiteral("The database connection is still being made; try again in a moment."));
        TADOConDataModule& module = DatConModule();
        // A step that a run let go of may still be inside a statement on the current connection.
        VandrelDatabase::AvoidLeasedConnection(module);
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
    // Both values are had before either field changes, so a failure leaves the fields as they were.
    const VandrelDatabase::TConnectionDisplay display = VandrelDatabase::DescribeConnection(DatConModule());
    FUi->edtDBServer->setText(display.Server);
    FUi->edtDatabases->setText(display.Database);
}
