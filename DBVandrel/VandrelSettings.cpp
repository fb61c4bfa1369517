// SPDX-License-Identifier: MIT
// Loading and saving the persistent controls.
#include "Vandrel.h"

#include "EVandrel.h"
#include "UPersistComponentsCrypt.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {
/// At most this many persistent controls are collected.
constexpr int cMaxPersistent = 999;
/// The key of the window's settings files, set into the store before every load and save.
constexpr USVCrypt::TCryptKey cSettingsKey = {0x7C, 0x15, 0xE9, 0xB2, 0xD4, 0xA8, 0x60, 0x3F};
} // namespace

bool TfrmVandrel::LoadSettings(const QString& aFileName)
{
    // Tag 1 marks a persistent control. The list holds them in reverse creation order; the store visits it from
    // its end, so the file lists the controls in creation order.
    FPersistentComponents.clear();
    QList<QWidget*> tagged;
    for (QWidget* widget : findChildren<QWidget*>())
        if (widget->property("Tag").toInt() == 1)
            tagged.append(widget);
    std::sort(tagged.begin(), tagged.end(), [](const QWidget* a, const QWidget* b) {
        return a->property("CreationIndex").toInt() > b->property("CreationIndex").toInt();
    });
    for (QWidget* widget : tagged.mid(0, cMaxPersistent))
        FPersistentComponents.append(widget);

    UPersistComponentsCrypt::PersistKey = cSettingsKey;
    bool loaded = true;
    if (QFileInfo::exists(aFileName)) {
        // An unreadable file is moved aside by the store; the window says so and keeps what was restored.
        const UPersistComponentsCrypt::TLoadResult result =
            UPersistComponentsCrypt::LoadComponents(aFileName, FPersistentComponents);
        if (!result.Ok) {
            AddErrorLine(result.StatusLine);
            loaded = false;
        }
    }

    edtArchiveFilenameChange();
    edtBackupFilenameChange();
    if (!FUi->edtBackupNameFormat->text().isEmpty())
        sdbtnGenerateNameClick();
    if (!FUi->edtArchiveDateBasedName->text().isEmpty())
        spdbnGenerateArchiveNameClick();
    if (!FUi->edtFTPNameFormat->text().isEmpty())
        spdbnGenerateFTPNameClick();
    return loaded;
}

void TfrmVandrel::btbnSaveClick()
{
    Guarded([this] {
        FUi->mmoShell->clear();
        // The default settings folder is created when the settings are first saved.
        const QString folder = QFileInfo(FSettingsFileName).absolutePath();
        if (!QDir().mkpath(folder))
            throw EVandrel(QStringLiteral("Cannot create the folder \"%1\".").arg(folder));
        UPersistComponentsCrypt::PersistKey = cSettingsKey;
        UPersistComponentsCrypt::SaveComponents(FSettingsFileName, FPersistentComponents);
    });
}
