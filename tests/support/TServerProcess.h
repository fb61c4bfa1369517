// SPDX-License-Identifier: MIT
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

/// A loopback server started by a test: a child process that prints "PORT <n>" on standard output
/// once it listens, and ends when its standard input closes (so it never outlives the test run).
class TServerProcess
{
public:
    TServerProcess() = default;
    TServerProcess(const TServerProcess&) = delete;
    TServerProcess& operator=(const TServerProcess&) = delete;
    /// Stops the server.
    ~TServerProcess();

    /// Starts aProgram with aArguments and waits for its "PORT <n>" line; throws EVandrel on failure.
    void Start(const QString& aProgram, const QStringList& aArguments, int aTimeoutMs = 20000);
    /// Starts a Python script of the source tree (path relative to the source root) with the test interpreter.
    void StartPython(const QString& aScript, const QStringList& aArguments, int aTimeoutMs = 20000);
    /// The port the server listens on (0 before Start).
    quint16 Port() const { return FPort; }
    /// Everything the server wrote to standard output and error so far.
    QString Output();
    /// Closes its standard input, then terminates it if it does not end by itself.
    void Stop();

private:
    QProcess FProcess;
    QByteArray FOutput;
    quint16 FPort = 0;
};
