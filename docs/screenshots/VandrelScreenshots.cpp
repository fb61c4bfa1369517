// SPDX-License-Identifier: MIT
// Takes the README's pictures of the window: each page as a job shows it, and a run at work.
//   vandrel_screenshots OUTPUT-FOLDER [SETTINGS-FILE]
#include "UDataLinkDialog.h"
#include "Vandrel.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>

#include <cstdio>

namespace {
void Settle()
{
    for (int i = 0; i < 10; ++i)
        QApplication::processEvents();
}

bool Save(QWidget& aWindow, const QString& aFile)
{
    Settle();
    if (!aWindow.grab().save(aFile)) {
        std::fprintf(stderr, "Cannot write %s\n", qPrintable(aFile));
        return false;
    }
    std::printf("%s\n", qPrintable(aFile));
    return true;
}
} // namespace

int main(int aArgc, char* aArgv[])
{
    QApplication application(aArgc, aArgv);
    const QStringList arguments = QApplication::arguments().mid(1);
    if (arguments.isEmpty()) {
        std::fprintf(stderr, "usage: vandrel_screenshots OUTPUT-FOLDER [SETTINGS-FILE]\n");
        return 2;
    }
    const QDir output(arguments.at(0));
    if (!QDir().mkpath(output.path()))
        return 1;
    // A window on the given job; nothing starts by itself.
    TfrmVandrel window(arguments.mid(1, 1));
    window.FUi->ckbxAutomated->setChecked(false);
    window.resize(820, 600);
    window.show();
    TfrmVandrelForm& ui = *window.FUi;
    const std::pair<QWidget*, const char*> pages[] = {
        {ui.tbshtDatabase, "page-database.png"}, {ui.tbshtArchive, "page-archive.png"}, {ui.tbshtFTP, "page-ftp.png"}};
    for (const auto& [page, file] : pages) {
        ui.PageControl->setCurrentWidget(page);
        if (!Save(window, output.filePath(QLatin1String(file))))
            return 1;
    }
    // A run at work and one that failed: the arrow over its station, the bar, the report.
    window.AddStatusLine(QStringLiteral("Backing up database Sales to /srv/backup/DB12-10-2026.bak"));
    window.AddStatusLine(QStringLiteral("Zipping /srv/backup/DB12-10-2026.bak into /srv/backup/12-10-2026.zip"));
    window.ShowArrow(true, 48);
    window.SetProgress(42);
    if (!Save(window, output.filePath(QStringLiteral("running-zip.png"))))
        return 1;
    window.HideArrows();
    window.SetProgress(0);
    window.AddStatusLine(QStringLiteral("Upload Error:Login incorrect.\r\nUnable to upload the archive."), true);
    window.AddStatusLine(QStringLiteral("Failed: Upload Error:Login incorrect."), true);
    if (!Save(window, output.filePath(QStringLiteral("failed-upload.png"))))
        return 1;
    window.Run().Close();
    // The connection dialog with a login whose password is not saved.
    TDataLinkDialog dialog;
    dialog.SetConnectionString(
        QStringLiteral("Provider=SQLOLEDB.1;Data Source=db01.example.org,1433;User ID=backup;Initial Catalog=Sales"));
    dialog.show();
    if (!Save(dialog, output.filePath(QStringLiteral("connection-dialog.png"))))
        return 1;
    return 0;
}
