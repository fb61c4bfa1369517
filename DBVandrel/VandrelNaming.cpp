// SPDX-License-Identifier: MIT
// File names: generated from date patterns, checked, browsed; the FTP address; the move fields; the connection.
#include "Vandrel.h"

void TfrmVandrel::edtBackupFilenameChange() {}
void TfrmVandrel::edtArchiveFilenameChange() {}
void TfrmVandrel::edtFTPUrlChange() {}
void TfrmVandrel::ckbxMoveClick() {}
void TfrmVandrel::sdbtnGenerateNameClick() {}
void TfrmVandrel::spdbnGenerateArchiveNameClick() {}
void TfrmVandrel::spdbnGenerateFTPNameClick() {}
void TfrmVandrel::spdbtnBrowseBackupFileClick() {}
void TfrmVandrel::spdbtnBrowseArchiveFileClick() {}
void TfrmVandrel::spdbtnMSLinkClick() {}
void TfrmVandrel::ShowConnection() {}
