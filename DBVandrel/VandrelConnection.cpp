// SPDX-License-Identifier: MIT
// The connection button and the display of the current connection.
#include "Vandrel.h"

QString TfrmVandrel::CurrentDatabaseName() const
{
    return QString();
}

void TfrmVandrel::spdbtnMSLinkClick()
{
    Guarded([this] { ShowConnection(); });
}

void TfrmVandrel::ShowConnection() {}
