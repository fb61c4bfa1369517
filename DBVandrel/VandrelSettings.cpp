// SPDX-License-Identifier: MIT
// Loading and saving the persistent controls.
#include "Vandrel.h"

#include "EVandrel.h"

#include <QFileInfo>

#include <algorithm>

namespace {
/// At most this many persistent controls are collected.
constexpr int cMaxPersistent = 999;
} // namespace

void TfrmVandrel::LoadSettings(const QString& aFileName)
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

    if (QFileInfo::exists(aFileName))
        throw EVandrel(QStringLiteral("Settings files cannot be read by this build: %1").arg(aFileName));

    edtArchiveFilenameChange();
    edtBackupFilenameChange();
    if (!FUi->edtBackupNameFormat->text().isEmpty())
        sdbtnGenerateNameClick();
    if (!FUi->edtArchiveDateBasedName->text().isEmpty())
        spdbnGenerateArchiveNameClick();
    if (!FUi->edtFTPNameFormat->text().isEmpty())
        spdbnGenerateFTPNameClick();
}

void TfrmVandrel::btbnSaveClick()
{
    Guarded([this] {
        FUi->mmoShell->clear();
        throw EVandrel(QStringLiteral("Settings cannot be saved by this build."));
    });
}
