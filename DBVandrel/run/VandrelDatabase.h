// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <memory>

class TADOConDataModule;
class TDBConnection;
class TStepContext;
struct TDBError;

/// The database work of the steps below the window: the connection loop, the size report and the USE.
namespace VandrelDatabase {

/// The server and database the connection display shows.
struct TConnectionDisplay
{
    QString Server;
    QString Database;
};

/// Marks a connection as worked on by a step for as long as the lease lives. A step that its run let go of may
/// still be inside a statement; the next step must not use that connection object.
class TConnectionLease
{
public:
    /// Takes the lease on aConnection.
    explicit TConnectionLease(std::shared_ptr<TDBConnection> aConnection);
    TConnectionLease(const TConnectionLease&) = delete;
    TConnectionLease& operator=(const TConnectionLease&) = delete;
    /// Gives the lease back.
    ~TConnectionLease();
    /// The leased connection.
    TDBConnection& Connection() const { return *FConnection; }

private:
    std::shared_ptr<TDBConnection> FConnection;
};

/// True while a lease on aConnection lives.
bool Leased(const TDBConnection* aConnection);

/// Gives the module a fresh connection when a step that was let go of still works on the current one.
void AvoidLeasedConnection(TADOConDataModule& aModule);

/// Holds the connection module for one step or the window: the module serves one thread at a time. A step waits
/// for it while its run is not cancelled (a login that was let go of keeps it until its time-out).
class TModuleLock
{
public:
    /// Waits for the module; throws EVandrel when aContext is cancelled first.
    explicit TModuleLock(const TStepContext& aContext);
    /// Takes the module when it is free; Owns() tells whether it was.
    TModuleLock();
    TModuleLock(const TModuleLock&) = delete;
    TModuleLock& operator=(const TModuleLock&) = delete;
    /// Releases the module.
    ~TModuleLock();
    /// True while the module is held.
    bool Owns() const { return FOwns; }
    /// Releases the module early.
    void Unlock();

private:
    bool FOwns = false;
};

/// Opens the module's connection for a database step, asking through the step's context. aAskAgain: a failed
/// connection is shown and asked for again (restore) instead of ending the step (backup). Throws
/// EConnectionRequired when the program must end for want of a connection, EDatabaseError when the backup's
/// connection fails. The caller holds a TModuleLock. Returns false when the run was cancelled meanwhile (the step
/// then ends at once).
bool ConnectDatabase(TADOConDataModule& aModule, TStepContext& aContext, bool aAskAgain);
/// The server (the connection string's "Data Source", or the data-link file's) and the current database.
/// Throws EDatabaseError when the connection cannot report them.
TConnectionDisplay DescribeConnection(TADOConDataModule& aModule);
/// Makes aDatabase the connection's current database ("USE [aDatabase]").
void UseDatabase(TDBConnection& aConnection, const QString& aDatabase);
/// The current database's data, index and used log space in KiB (sp_spaceused, DBCC sqlperf(logspace)).
/// aDatabase names the row of the log report. Throws when the server reports no such figures.
qint64 ReportDatabaseSize(TDBConnection& aConnection, const QString& aDatabase);
/// The percentage a backup or restore progress message (number 3211, in any language) reports: the one number in
/// its text, at most 100; -1 for any other message.
int ProgressPercent(const TDBError& aMessage);

} // namespace VandrelDatabase
