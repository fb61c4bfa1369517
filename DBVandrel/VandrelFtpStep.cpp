// SPDX-License-Identifier: MIT
// The FTP step: upload or download of the archive, the status light and the transfer progress.
#include "Vandrel.h"

#include "TShape.h"
#include "UFtpTransfer.h"
#include "UHandles.h"

#include <QColor>
#include <QFileInfo>

#include <algorithm>

using namespace UFtpTransfer;

void TfrmVandrel::FtpStep(bool aDownload)
{
    AssertWindowThread();
    const QString fileName = FUi->edtFTPFilename->text();
    const QString archive = FUi->edtArchiveFilename->text();
    TFtpTransfer ftp(FUi->edtFTPUrl->text(), FUi->edtFTPUser->text(), FUi->medtFTPPassword->text());
    ftp.SetStatusHandler([this](TFtpStatus aStatus, const QString& aText) { IdFTPStatus(aStatus, aText); });
    ftp.SetWorkHandler([this](qint64 aCount, qint64 aTotal) { return IdFTPWork(aCount, aTotal); });
    // The rename of a finished upload and the clean-up after a failed one cannot be abandoned; the window stays
    // responsive while the server answers.
    ftp.SetIdleHandler([this] { ProcessMessages(); });

    // Raised before connecting, so that a Cancel during a slow connect or login already counts.
    FCancelOnce = false;
    FFTPing = true;
    TFinally finish([this, &ftp]() noexcept {
        HideArrows();
        ftp.Disconnect();
        FFTPing = false;
    });
    if (aDownload) {
        ShowArrow(false, 72);
        ArchiveSize = -1;
        // A missing file ends the run: extract and restore would otherwise work on an old local archive.
        if (ftp.Download(fileName, archive) == frNotFound)
            AddErrorLine(NotFoundLine(ftp.ServerDirectory(), fileName));
    } else {
        ShowArrow(true, 72);
        ArchiveSize = QFileInfo(archive).size();
        ftp.Upload(archive, fileName);
    }
}

void TfrmVandrel::IdFTPStatus(TFtpStatus aStatus, const QString& /*aStatusText*/)
{
    QColor colour;
    switch (aStatus) {
    case fsResolving:
        colour = QColor(0xC0, 0xC0, 0xC0);
        break;
    case fsConnecting:
        colour = QColor(0xA6, 0xCA, 0xF0);
        break;
    case fsConnected:
        colour = QColor(0xC0, 0xDC, 0xC0);
        break;
    case fsStatusText:
        colour = QColor(0xFF, 0xFF, 0x00);
        break;
    case fsTransfer:
        colour = QColor(0x00, 0x80, 0x00);
        break;
    case fsDisconnecting:
        colour = QColor(0x80, 0x80, 0x80);
        break;
    case fsDisconnected:
        colour = QColor(0xFF, 0xFF, 0xFF);
        break;
    case fsTransferReady:
    case fsTransferAborted:
        return;
    }
    FUi->shpStatus->SetBrushColor(colour);
}

bool TfrmVandrel::IdFTPWork(qint64 aWorkCount, qint64 aWorkTotal)
{
    ArchiveSize = aWorkTotal;
    const qint64 percent = ArchiveSize != 0 ? std::clamp<qint64>(aWorkCount * 100 / ArchiveSize, 0, 100) : 0;
    SetProgress(static_cast<int>(percent));
    if (!FFTPing && !FCancelOnce) {
        AddStatusLine(QStringLiteral("FTP Canceled."));
        FCancelOnce = true;
        return false;
    }
    FCancelOnce = false;
    if (Closing())
        return false;
    ProcessMessages();
    return true;
}
