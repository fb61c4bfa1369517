// SPDX-License-Identifier: MIT
#include "EVandrel.h"

#include <utility>

EVandrel::EVandrel(QString aMessage)
    : FMessage(std::move(aMessage))
    , FWhat(FMessage.toUtf8())
{
}

void EVandrel::AddContext(const QString& aLine)
{
    FMessage += QStringLiteral("\r\n") + aLine;
    FWhat = FMessage.toUtf8();
}

const char* EVandrel::what() const noexcept
{
    return FWhat.constData();
}
