// SPDX-License-Identifier: MIT
// The connection button and the display of the current connection.
#include "Vandrel.h"

#include "UDatConModule.h"

#include "EVandrel.h"
#include "TDBConnection.h"
#include "USVSQLBackup.h"
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

void TfrmVandrel::spdbtnFillRestorePathsClick()
{
    // The connection belongs to a running step.
    if (FRun->Active())
        return;
    Guarded([this] {
        const VandrelDatabase::TModuleLock moduleLock;
        if (!moduleLock.Owns())
            throw EVandrel(QStringLiteral("The database connection is still being made; try again in a moment."));
        TADOConDataModule& module = DatConModule();
        VandrelDatabase::AvoidLeasedConnection(module);
        if (!module.Connected() && !module.Connect(QString(), lkAuto))
            return;
        // The backup's own folders, with the names the restore would give the files of the target database.
        const QList<TBackupFile> files =
            USVSQLBackup::GetBackupFiles(module.ADOConnection(), FUi->edtBackupFilename->text());
        const QString typed = FUi->edtRestoreAs->text().trimmed();
        const QString target = typed.isEmpty() ? module.Database() : typed;
        const QList<TFileMove> moves = USVSQLBackup::PlanFileMoves(files, target, false, QString(), QString());
        // The first data and log files: further ones follow them into the same folders.
        QString data;
        QString log;
        for (const TFileMove& move : moves) {
            QString& path = move.Type == QLatin1String("D") ? data : log;
            if (path.isEmpty())
                path = move.PhysicalName;
        }
        FUi->edtRestorePhysicalData->setText(data);
        FUi->edtRestorePhysicalLog->setText(log);
    });
}

void TfrmVandrel::ShowConnection()
{
    // Both values are had before either field changes, so a failure leaves the fields as they were.
    const VandrelDatabase::TConnectionDisplay display = VandrelDatabase::DescribeConnection(DatConModule());
    FUi->edtDBServer->setText(display.Server);
    FUi->edtDatabases->setText(display.Database);
}
