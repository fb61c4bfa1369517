// SPDX-License-Identifier: MIT
#pragma once

#include "Vandrel.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest>

/// Small helpers shared by the window tests.
namespace VandrelTest {

/// A private configuration folder for the test run: settings and connection files go there, never to the user's.
class TConfigFolder : public QTemporaryDir
{
public:
    TConfigFolder() { qputenv("XDG_CONFIG_HOME", path().toUtf8()); }
};

/// The lines of the status report, as text (a failure's icon left out).
inline QStringList ShellLines(const TfrmVandrel& aWindow)
{
    QString text = aWindow.FUi->mmoShell->toPlainText();
    text.remove(QString(QChar::ObjectReplacementCharacter) + QLatin1Char(' '));
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

/// The lines of the status report drawn as failures (red, behind the error icon).
inline QStringList FailureLines(const TfrmVandrel& aWindow)
{
    QStringList lines;
    for (QTextBlock block = aWindow.FUi->mmoShell->document()->begin(); block.isValid(); block = block.next()) {
        if (block.text().startsWith(QChar::ObjectReplacementCharacter))
            lines.append(block.text().mid(2));
    }
    return lines;
}

/// Unticks every step and both automation boxes, and keeps the files after the run.
inline void NoSteps(TfrmVandrel& aWindow)
{
    TfrmVandrelForm& ui = *aWindow.FUi;
    for (QCheckBox* box : {ui.ckbxBackup,
                           ui.ckbxCompress,
                           ui.ckbxUpload,
                           ui.ckbxDownload,
                           ui.ckbxExtract,
                           ui.ckbxRestore,
                           ui.ckbxAutomated,
                           ui.ckbxAutoExit})
        box->setChecked(false);
    ui.ckbxKeepBackup->setChecked(true);
    ui.ckbxKeepArchive->setChecked(true);
}

/// Writes a whole file, creating its folder.
inline void WriteFile(const QString& aName, const QByteArray& aData)
{
    QVERIFY(QDir().mkpath(QFileInfo(aName).path()));
    QFile file(aName);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(aData), aData.size());
}

/// A whole file; empty when it cannot be read.
inline QByteArray ReadFile(const QString& aName)
{
    QFile file(aName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace VandrelTest
