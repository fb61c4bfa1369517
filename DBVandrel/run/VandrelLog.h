// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <cstdio>

/// The record of a job's runs: each line, with a local timestamp, goes to standard output and is appended to the
/// job's history file beside its settings file ("nightly.cfg" -> "nightly.log"; in the configuration folder when
/// that folder cannot be written; in $LOGS_DIRECTORY when a service manager names one). The history file is private to
/// its owner and rotated at 1 MiB, keeping three older files (".log.1" newest to ".log.3").
class TRunLog
{
public:
    /// A log of the job whose settings are aSettingsFile; empty: standard output only. aEcho false leaves standard
    /// output out (the history file only).
    explicit TRunLog(const QString& aSettingsFile = QString(), bool aEcho = true);
    TRunLog(const TRunLog&) = delete;
    TRunLog& operator=(const TRunLog&) = delete;
    ~TRunLog();

    /// Writes one line (its CR LF context breaks become line feeds) with the time it was written.
    void Line(const QString& aText);
    /// The history file written to; empty when none could be opened.
    const QString& HistoryFile() const { return FHistoryFile; }

    /// Bytes at which the history file is rotated.
    static constexpr qint64 cRotateBytes = 1024 * 1024;
    /// Older history files kept.
    static constexpr int cKeptFiles = 3;
    /// The history file for aSettingsFile, beside it ("x.cfg" -> "x.log").
    static QString HistoryFileFor(const QString& aSettingsFile);
    /// aText with "YYYY-MM-DD hh:mm:ss " (local time) before each of its lines.
    static QString Timestamped(const QString& aText);

private:
    bool Open(const QString& aFileName);
    void Rotate();

    QString FHistoryFile;
    std::FILE* FHistory = nullptr;
    bool FEcho = true;
};
