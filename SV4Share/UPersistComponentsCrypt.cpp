// SPDX-License-Identifier: MIT
#include "UPersistComponentsCrypt.h"

#include "EVandrel.h"
#include "UPersistRecords.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>

namespace UPersistComponentsCrypt {

USVCrypt::TCryptKey PersistKey = cDefaultPersistKey;

namespace {

using UPersistRecords::TRecordReader;
using UPersistRecords::TRecordWriter;

enum TControlKind : int { ckNone, ckLineEdit, ckPlainTextEdit, ckTextEdit, ckCheckBox, ckComboBox };

// Text edits are tested first, then check boxes, then combo boxes; the first match wins.
TControlKind KindOf(const QObject* aComponent)
{
    if (qobject_cast<const QLineEdit*>(aComponent))
        return ckLineEdit;
    if (qobject_cast<const QPlainTextEdit*>(aComponent))
        return ckPlainTextEdit;
    if (qobject_cast<const QTextEdit*>(aComponent))
        return ckTextEdit;
    if (qobject_cast<const QCheckBox*>(aComponent))
        return ckCheckBox;
    if (qobject_cast<const QComboBox*>(aComponent))
        return ckComboBox;
    return ckNone;
}

QStringList ComboItems(const QComboBox* aCombo)
{
    QStringList items;
    for (int i = 0; i < aCombo->count(); ++i)
        items.append(aCombo->itemText(i));
    return items;
}

void SetComboText(QComboBox* aCombo, const QString& aText)
{
    if (aCombo->isEditable())
        aCombo->setEditText(aText);
    else
        aCombo->setCurrentIndex(aCombo->findText(aText, Qt::MatchExactly));
}

void SaveComponent(TRecordWriter& aWriter, const QObject* aComponent)
{
    const TControlKind kind = KindOf(aComponent);
    if (kind == ckNone)
        return;
    aWriter.WriteValue(aComponent->objectName());
    switch (kind) {
    case ckLineEdit:
        aWriter.WriteValue(static_cast<const QLineEdit*>(aComponent)->text());
        break;
    case ckPlainTextEdit:
        aWriter.WriteValue(static_cast<const QPlainTextEdit*>(aComponent)->toPlainText());
        break;
    case ckTextEdit:
        aWriter.WriteValue(static_cast<const QTextEdit*>(aComponent)->toPlainText());
        break;
    case ckCheckBox:
        aWriter.WriteValue(UPersistRecords::TruthLine(static_cast<const QCheckBox*>(aComponent)->isChecked()));
        break;
    case ckComboBox: {
        const auto* combo = static_cast<const QComboBox*>(aComponent);
        aWriter.WriteValue(combo->currentText());
        aWriter.WriteValue(UPersistRecords::JoinDelimited(ComboItems(combo)));
        break;
    }
    case ckNone:
        break;
    }
}

void LoadComponent(TRecordReader& aReader, QObject* aComponent)
{
    const TControlKind kind = KindOf(aComponent);
    if (kind == ckNone)
        return;
    // A record of another control: only its name line is used up and this control keeps its state.
    if (aReader.ReadValue() != aComponent->objectName())
        return;
    switch (kind) {
    case ckLineEdit:
        static_cast<QLineEdit*>(aComponent)->setText(aReader.ReadValue());
        break;
    case ckPlainTextEdit:
        static_cast<QPlainTextEdit*>(aComponent)->setPlainText(aReader.ReadValue());
        break;
    case ckTextEdit:
        static_cast<QTextEdit*>(aComponent)->setPlainText(aReader.ReadValue());
        break;
    case ckCheckBox:
        static_cast<QCheckBox*>(aComponent)->setChecked(UPersistRecords::ReadTruthValue(aReader.ReadValue()));
        break;
    case ckComboBox: {
        auto* combo = static_cast<QComboBox*>(aComponent);
        const QString text = aReader.ReadValue();
        SetComboText(combo, text);
        const QStringList items = UPersistRecords::SplitDelimited(aReader.ReadValue());
        combo->clear();
        combo->addItems(items);
        SetComboText(combo, text); // the stored text stays shown after its list is replaced
        break;
    }
    case ckNone:
        break;
    }
}

TLoadResult SetAside(const QString& aFileName, const QString& aReason)
{
    TLoadResult result;
    result.Ok = false;
    try {
        result.MovedTo = UPersistRecords::MoveAsideBadFile(aFileName);
        result.StatusLine = QStringLiteral("The settings could not be read (%1); the file was moved to %2")
                                .arg(aReason, result.MovedTo);
    } catch (const EVandrel& e) {
        result.StatusLine = QStringLiteral("The settings could not be read (%1); the file could not be moved aside: %2")
                                .arg(aReason, e.Message());
    }
    return result;
}

} // namespace

UPersistRecords::TSaveKind SaveComponents(const QString& aFileName, const QList<QObject*>& aComponents)
{
    TRecordWriter writer;
    for (qsizetype i = aComponents.size() - 1; i >= 0; --i)
        SaveComponent(writer, aComponents.at(i));
    return UPersistRecords::WriteFileAtomically(aFileName,
                                                UPersistRecords::EncodeSettingsFile(writer.Lines(), PersistKey));
}

TLoadResult LoadComponents(const QString& aFileName, const QList<QObject*>& aComponents)
{
    const QByteArray fileBytes = UPersistRecords::ReadFileBytes(aFileName);
    TRecordReader reader(UPersistRecords::DecodeSettingsFile(fileBytes, PersistKey));
    try {
        for (qsizetype i = aComponents.size() - 1; i >= 0; --i)
            LoadComponent(reader, aComponents.at(i));
    } catch (const EVandrel& e) {
        return SetAside(aFileName, e.Message());
    }
    return TLoadResult();
}

} // namespace UPersistComponentsCrypt
