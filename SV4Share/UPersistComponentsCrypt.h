// SPDX-License-Identifier: MIT
#pragma once

#include "UPersistRecords.h"
#include "USVCrypt.h"

#include <QList>
#include <QObject>
#include <QString>

/// Saves the state of window controls to one encrypted settings file and restores it from there.
/// Text edits (QLineEdit, QPlainTextEdit, QTextEdit) keep their text, check boxes their state and combo boxes
/// their text and items; a control is known by its objectName. Other objects are skipped.
namespace UPersistComponentsCrypt {

/// The key of the settings file; callers assign their own before each save and load.
extern USVCrypt::TCryptKey PersistKey;
/// The built-in value of PersistKey.
inline constexpr USVCrypt::TCryptKey cDefaultPersistKey = {0x3B, 0x9F, 0x27, 0xD1, 0xC8, 0x6E, 0x05, 0xA4};

/// Outcome of a load whose records could not be applied.
struct TLoadResult
{
    /// False when the settings could not be read; the controls read before the fault keep their new values.
    bool Ok = true;
    /// Where the unreadable file was moved (empty when it stayed in place or all went well).
    QString MovedTo;
    /// A status line for the window telling that the settings could not be read and where the file went.
    QString StatusLine;
};

/// Writes the controls (visited from the last element to the first) to aFileName under PersistKey; the file is
/// replaced atomically and made private to its owner, or rewritten in place when its folder refuses new files
/// (UPersistRecords::WriteFileAtomically; the result says which). Throws EVandrel when it cannot be written.
UPersistRecords::TSaveKind SaveComponents(const QString& aFileName, const QList<QObject*>& aComponents);
/// Restores the controls (visited from the last element to the first) from aFileName under PersistKey. A file
/// that cannot be opened throws EVandrel and changes nothing. Records that cannot be applied move the file aside
/// as "<name>.bad" and are reported in the result, never thrown.
TLoadResult LoadComponents(const QString& aFileName, const QList<QObject*>& aComponents);

} // namespace UPersistComponentsCrypt
