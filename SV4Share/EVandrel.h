// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

/// The program's failure: one plain-text message; layers above append context lines after CR LF.
class EVandrel : public std::exception
{
public:
    /// Creates a failure with its message.
    explicit EVandrel(QString aMessage);

    /// The whole message, context lines included.
    const QString& Message() const noexcept { return FMessage; }
    /// Appends a context line (CR LF, then the line) to the message of this same failure.
    void AddContext(const QString& aLine);
    /// The message as UTF-8.
    const char* what() const noexcept override;

private:
    QString FMessage;
    QByteArray FWhat;
};

/// A failure of the database access layer (connection, command, query); callers tell it apart from others.
class EDatabaseError : public EVandrel
{
public:
    using EVandrel::EVandrel;
};

/// The text to show for any failure: an EVandrel's message, another exception's what(), or, for an empty text, an
/// unknown exception or no exception, "The operation failed for an unknown reason.".
QString FailureText(const std::exception_ptr& aFailure);
/// FailureText of the exception being handled; for use inside a catch block.
QString CurrentFailureText();
