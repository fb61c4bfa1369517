// SPDX-License-Identifier: MIT
// Shared set-up of the window tests that run the database steps against the fake SQL Server.
#pragma once

#include "TFakeSqlServer.h"
#include "UDatCon.h"
#include "UDatConModule.h"
#include "UFileUtils.h"
#include "Vandrel.h"
#include "VandrelSalesData.h"
#include "VandrelTestSupport.h"

#include <QByteArray>
#include <QCheckBox>
#include <QString>
#include <QStringList>

namespace VandrelDbTest {

using VandrelSalesData::SalesData;

/// Points the connection module at aDatabase on aServer: the stored data link is rewritten and the open
/// connection closed, so the next database step connects anew through the store.
inline bool UseDatabase(const TFakeSqlServer& aServer, const QString& aDatabase)
{
    DatConModule().Close();
    DatConModule().SetLocationKind(lkAuto);
    DatConModule().SetFileName(QString());
    return UDatCon::StoreDataLink(aServer.ConnectionString(aDatabase),
                                  UFileUtils::ConfigDir() + QStringLiteral("DefaultDataLink.udl"));
}

using VandrelTest::NoSteps;
using VandrelTest::ShellLines;

} // namespace VandrelDbTest
