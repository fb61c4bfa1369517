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

QString FailureText(const std::exception_ptr& aFailure)
{
    QString text;
    try {
        if (aFailure)
            std::rethrow_exception(aFailure);
    } catch (const EVandrel& e) {
        text = e.Message();
    } catch (const std::exception& e) {
        text = QString::fromLocal8Bit(e.what());
    } catch (...) {
        // Nothing readable: the generic text below.
    }
    return text.isEmpty() ? QStringLiteral("The operation failed for an unknown reason.") : text;
}

QString CurrentFailureText()
{
    return FailureText(std::current_exception());
}
