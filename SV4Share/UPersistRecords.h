// SPDX-License-Identifier: MIT
#pragma once

#include "USVCrypt.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

/// The widget-free half of the persistent control store: record lines, values and the settings file's codec.
namespace UPersistRecords {

/// Collects the record lines of a save, in visiting order.
class TRecordWriter
{
public:
    /// Appends one line.
    void WriteValue(const QString& aLine) { FLines.append(aLine); }
    /// The lines written so far.
    const QStringList& Lines() const noexcept { return FLines; }

private:
    QStringList FLines;
};

/// Hands out the record lines of a load, first line first.
class TRecordReader
{
public:
    /// Takes the lines to hand out.
    explicit TRecordReader(QStringList aLines);
    /// Returns the first line still waiting and removes it; throws EVandrel when none is left.
    QString ReadValue();
    /// The number of lines still waiting.
    qsizetype Remaining() const noexcept { return FLines.size() - FNext; }

private:
    QStringList FLines;
    qsizetype FNext = 0;
};

/// The stored line of a check box state: "-1" when ticked, "0" when not.
QString TruthLine(bool aValue);
/// Reads a stored truth value: a number (ticked unless zero), or "True"/"False" in any case; throws EVandrel else.
bool ReadTruthValue(const QString& aLine);

/// Joins items with ",", quoting those with a space, a control character, a comma or a double quote.
QString JoinDelimited(const QStringList& aItems);
/// Splits delimited text at commas and, outside quotes, at spaces and control characters.
QStringList SplitDelimited(const QString& aText);

/// Joins lines, each followed by CR LF.
QString JoinLines(const QStringList& aLines);
/// Splits text at CR LF, a lone CR or a lone LF; the text ends at its first NUL; a final break adds no line.
QStringList SplitLines(const QString& aText);

/// The settings file's bytes for the given plain lines: one Base64 line and CR LF (0 bytes for no lines).
QByteArray EncodeSettingsFile(const QStringList& aLines, USVCrypt::TCryptKey aKey);
/// The plain lines held by a settings file's bytes; a wrong key or damaged file gives garbage lines, no error.
QStringList DecodeSettingsFile(const QByteArray& aFileBytes, USVCrypt::TCryptKey aKey);

/// How WriteFileAtomically saved a file.
enum TSaveKind : int {
    skReplaced,        ///< a new file took the old one's place: a failed save would have left the old file as it was
    skRewrittenInPlace ///< the folder refuses new files, so the file itself was rewritten: a failure could damage it
};
/// Which permissions WriteFileAtomically gives the file.
enum TFileAccess : int {
    faOwnerOnly,   ///< readable and writable by the owner only (a replaced file's group keeps reading it if it could)
    faKeepExisting ///< a replaced file's permissions; a new file is readable and writable by its owner only
};

/// Reads a whole (small) file; throws EVandrel with the open or read error.
QByteArray ReadFileBytes(const QString& aFileName);
/// Replaces aFileName by a file holding aBytes: a temporary file in the same folder is written, flushed and renamed
/// over it, so on failure the old file is left as it was and EVandrel thrown. With faOwnerOnly the file is readable
/// and writable by its owner only; a file it replaces that its group may read (a job shared with a service account)
/// keeps that group and its read access, others never get any. Symbolic links are followed.
/// When the folder refuses the temporary file (permission denied) but the file exists and may be written, the file
/// itself is rewritten (written, cut to length, synced) and keeps its owner and mode: skRewrittenInPlace, after
/// which the caller should show RewrittenInPlaceLine. A failure on that path may leave the file damaged.
TSaveKind WriteFileAtomically(const QString& aFileName, const QByteArray& aBytes, TFileAccess aAccess = faOwnerOnly);
/// The status line after a save of aFileName returned skRewrittenInPlace: why, and what it risked.
QString RewrittenInPlaceLine(const QString& aFileName);
/// Moves a file aside as "<name>.bad" (or "<name>.bad.1", ".bad.2" ... never replacing an earlier one) and
/// returns the new path; throws EVandrel when it cannot be moved.
QString MoveAsideBadFile(const QString& aFileName);

} // namespace UPersistRecords
