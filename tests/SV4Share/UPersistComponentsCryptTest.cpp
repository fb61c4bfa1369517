// SPDX-License-Identifier: MIT
#include "UPersistComponentsCrypt.h"
#include "EVandrel.h"
#include "TestLibraries.h"
#include "TestPaths.h"
#include "UHandles.h"
#include "UPersistRecords.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <memory>

using namespace UPersistComponentsCrypt;

namespace {

const USVCrypt::TCryptKey cSettingsKey = {0x7C, 0x15, 0xE9, 0xB2, 0xD4, 0xA8, 0x60, 0x3F};

template <typename T> T* Make(QWidget* aParent, const char* aName)
{
    auto* control = new T(aParent);
    control->setObjectName(QString::fromLatin1(aName));
    return control;
}

QLineEdit* MakeEdit(QWidget* aParent, const char* aName, const QString& aText)
{
    auto* edit = Make<QLineEdit>(aParent, aName);
    edit->setText(aText);
    return edit;
}

QByteArray FileBytes(const QString& aFileName)
{
    return UPersistRecords::ReadFileBytes(aFileName);
}

// Runs the independent codec (Botan's Twofish) over a file.
void RunBotanCodec(const QString& aCommand, const QString& aSource, const QString& aTarget)
{
    QProcess process;
    process.start(TestPaths::Python(),
                  {TestPaths::SourceDir() + QStringLiteral("/tests/SV4Share/settings_crypt.py"),
                   aCommand,
                   QStringLiteral("7C15E9B2D4A8603F"),
                   aSource,
                   aTarget});
    QVERIFY2(process.waitForFinished(30000), qPrintable(process.errorString()));
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
             process.readAllStandardError().constData());
}

} // namespace

class TPersistComponentsCryptTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> FDir;
    std::unique_ptr<QWidget> FForm;
    QString FFile;

private Q_SLOTS:
    void init()
    {
        PersistKey = cDefaultPersistKey;
        FDir = std::make_unique<QTemporaryDir>();
        FForm = std::make_unique<QWidget>();
        FFile = FDir->filePath(QStringLiteral("vandrel.cfg"));
    }

    void RoundTrip_RestoresEveryKind()
    {
        auto* edit = MakeEdit(FForm.get(), "edtName", QStringLiteral("Ren\u00e9 \u20ac 100"));
        auto* empty = MakeEdit(FForm.get(), "edtEmpty", QString());
        auto* plain = Make<QPlainTextEdit>(FForm.get(), "mmoPlain");
        plain->setPlainText(QStringLiteral("plain text"));
        auto* rich = Make<QTextEdit>(FForm.get(), "mmoRich");
        rich->setPlainText(QStringLiteral("rich text"));
        auto* ticked = Make<QCheckBox>(FForm.get(), "ckbxTicked");
        ticked->setChecked(true);
        auto* unticked = Make<QCheckBox>(FForm.get(), "ckbxUnticked");
        auto* editable = Make<QComboBox>(FForm.get(), "cmbEditable");
        editable->setEditable(true);
        editable->addItems({QString(), QStringLiteral("x y"), QStringLiteral("say \"hi\",now")});
        editable->setEditText(QStringLiteral("typed"));
        auto* fixed = Make<QComboBox>(FForm.get(), "cmbFixed");
        fixed->addItems({QStringLiteral("one"), QStringLiteral("two")});
        fixed->setCurrentIndex(1);
        auto* button = Make<QPushButton>(FForm.get(), "btbnOther");
        auto* label = Make<QLabel>(FForm.get(), "lblOther");
        const QList<QObject*> components = {edit, label, empty, plain, rich, ticked, button, unticked, editable, fixed};

        PersistKey = cSettingsKey;
        SaveComponents(FFile, components);

        edit->clear();
        empty->setText(QStringLiteral("changed"));
        plain->clear();
        rich->clear();
        ticked->setChecked(false);
        unticked->setChecked(true);
        editable->clear();
        fixed->clear();
        const TLoadResult result = LoadComponents(FFile, components);
        QVERIFY(result.Ok);
        QVERIFY(result.StatusLine.isEmpty());
        QCOMPARE(edit->text(), QStringLiteral("Ren\u00e9 \u20ac 100"));
        QCOMPARE(empty->text(), QString());
        QCOMPARE(plain->toPlainText(), QStringLiteral("plain text"));
        QCOMPARE(rich->toPlainText(), QStringLiteral("rich text"));
        QVERIFY(ticked->isChecked());
        QVERIFY(!unticked->isChecked());
        QCOMPARE(editable->currentText(), QStringLiteral("typed"));
        QCOMPARE(editable->count(), 3);
        QCOMPARE(editable->itemText(0), QString());
        QCOMPARE(editable->itemText(2), QStringLiteral("say \"hi\",now"));
        QCOMPARE(fixed->currentText(), QStringLiteral("two"));
        QCOMPARE(fixed->count(), 2);
        QVERIFY(QFileInfo::exists(FFile));
    }

    void PlainText_ListsRecordsFromLastElementToFirst()
    {
        auto* check = Make<QCheckBox>(FForm.get(), "ckbxOne");
        check->setChecked(true);
        auto* edit = MakeEdit(FForm.get(), "edtTwo", QStringLiteral("two"));
        auto* label = Make<QLabel>(FForm.get(), "lblThree");
        auto* combo = Make<QComboBox>(FForm.get(), "cmbFour");
        combo->addItems({QStringLiteral("a b"), QStringLiteral("c")});
        combo->setCurrentIndex(1);
        SaveComponents(FFile, {check, edit, label, combo});

        const QByteArray bytes = FileBytes(FFile);
        QVERIFY(bytes.endsWith("\r\n"));
        QCOMPARE(bytes.count('\n'), 1);
        struct stat info
        {
        };
        QCOMPARE(stat(QFile::encodeName(FFile).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);
        const QStringList expected = {QStringLiteral("cmbFour"),
                                      QStringLiteral("c"),
                                      QStringLiteral("\"a b\",c"),
                                      QStringLiteral("edtTwo"),
                                      QStringLiteral("two"),
                                      QStringLiteral("ckbxOne"),
                                      QStringLiteral("-1")};
        QCOMPARE(USVCrypt::DecryptString(QString::fromLatin1(bytes), cDefaultPersistKey),
                 UPersistRecords::JoinLines(expected));
    }

    void NamesDiffer_ControlKeepsStateAndFileStays()
    {
        auto* one = MakeEdit(FForm.get(), "edtOne", QStringLiteral("1"));
        auto* two = MakeEdit(FForm.get(), "edtTwo", QStringLiteral("2"));
        auto* three = MakeEdit(FForm.get(), "edtThree", QStringLiteral("3"));
        SaveComponents(FFile, {three, two, one});

        for (QLineEdit* edit : {one, two, three})
            edit->setText(QStringLiteral("current"));
        two->setObjectName(QStringLiteral("edtTwoRenamed"));
        const TLoadResult result = LoadComponents(FFile, {three, two, one});
        QVERIFY(result.Ok);
        QCOMPARE(one->text(), QStringLiteral("1"));
        QCOMPARE(two->text(), QStringLiteral("current"));
        // The renamed record left its value line to be read as the next name, so edtThree is not restored.
        QCOMPARE(three->text(), QStringLiteral("current"));
        QVERIFY(QFileInfo::exists(FFile));
    }

    void LinesRunOut_FileMovedAsideAndEarlierControlsRestored()
    {
        auto* one = MakeEdit(FForm.get(), "edtOne", QStringLiteral("saved"));
        SaveComponents(FFile, {one});
        const QByteArray saved = FileBytes(FFile);

        one->setText(QStringLiteral("current"));
        auto* two = MakeEdit(FForm.get(), "edtTwo", QStringLiteral("current two"));
        auto* check = Make<QCheckBox>(FForm.get(), "ckbxThree");
        check->setChecked(true);
        const TLoadResult result = LoadComponents(FFile, {check, two, one});
        QVERIFY(!result.Ok);
        QCOMPARE(result.MovedTo, FFile + QStringLiteral(".bad"));
        QVERIFY(result.StatusLine.contains(QStringLiteral("could not be read")));
        QVERIFY(result.StatusLine.contains(result.MovedTo));
        QCOMPARE(one->text(), QStringLiteral("saved"));
        QCOMPARE(two->text(), QStringLiteral("current two"));
        QVERIFY(check->isChecked());
        QVERIFY(!QFileInfo::exists(FFile));
        QCOMPARE(FileBytes(result.MovedTo), saved);
    }

    void BadTruthValue_FileMovedAsideWithoutOverwritingEarlierOne()
    {
        auto* edit = MakeEdit(FForm.get(), "edtOne", QString());
        auto* check = Make<QCheckBox>(FForm.get(), "ckbxTwo");
        for (const QString& expected : {FFile + QStringLiteral(".bad"), FFile + QStringLiteral(".bad.1")}) {
            UPersistRecords::WriteFileAtomically(FFile,
                                                 UPersistRecords::EncodeSettingsFile({QStringLiteral("edtOne"),
                                                                                      QStringLiteral("one"),
                                                                                      QStringLiteral("ckbxTwo"),
                                                                                      QStringLiteral("maybe")},
                                                                                     PersistKey));
            const TLoadResult result = LoadComponents(FFile, {check, edit});
            QCOMPARE(result.MovedTo, expected);
            QCOMPARE(edit->text(), QStringLiteral("one"));
            QVERIFY(!check->isChecked());
        }
        QVERIFY(QFileInfo::exists(FFile + QStringLiteral(".bad")));
    }

    void OtherKey_RestoresNothing()
    {
        QList<QObject*> components;
        for (const char* name : {"edtOne", "edtTwo", "edtThree", "edtFour"})
            components.append(MakeEdit(FForm.get(), name, QStringLiteral("saved")));
        SaveComponents(FFile, components);
        for (QObject* component : components)
            static_cast<QLineEdit*>(component)->setText(QStringLiteral("current"));

        PersistKey = cSettingsKey;
        const TLoadResult result = LoadComponents(FFile, components);
        for (QObject* component : components)
            QCOMPARE(static_cast<QLineEdit*>(component)->text(), QStringLiteral("current"));
        QVERIFY(result.Ok ? QFileInfo::exists(FFile) : QFileInfo::exists(result.MovedTo));
    }

    void EmptyArray_WritesEmptyFile()
    {
        SaveComponents(FFile, {});
        QCOMPARE(QFileInfo(FFile).size(), 0);
        QVERIFY(LoadComponents(FFile, {}).Ok);
        QVERIFY(QFileInfo::exists(FFile));

        auto* edit = MakeEdit(FForm.get(), "edtOne", QStringLiteral("current"));
        const TLoadResult result = LoadComponents(FFile, {edit});
        QVERIFY(!result.Ok);
        QCOMPARE(edit->text(), QStringLiteral("current"));
        QVERIFY(QFileInfo::exists(result.MovedTo));
    }

    void MissingFile_ThrowsAndChangesNothing()
    {
        auto* edit = MakeEdit(FForm.get(), "edtOne", QStringLiteral("current"));
        QVERIFY_THROWS_EXCEPTION(EVandrel, LoadComponents(FFile, {edit}));
        QCOMPARE(edit->text(), QStringLiteral("current"));
        QVERIFY(QDir(FDir->path()).isEmpty());
    }

    void FailedSave_KeepsOldFile()
    {
        auto* memo = Make<QPlainTextEdit>(FForm.get(), "mmoLarge");
        memo->setPlainText(QStringLiteral("small"));
        SaveComponents(FFile, {memo});
        const QByteArray old = FileBytes(FFile);

        // A file size limit makes the write fail for any user, root included.
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = 4096;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        {
            TFinally restore([&] {
                setrlimit(RLIMIT_FSIZE, &saved);
                signal(SIGXFSZ, oldHandler);
            });
            memo->setPlainText(QString(20000, u'x'));
            QVERIFY_THROWS_EXCEPTION(EVandrel, SaveComponents(FFile, {memo}));
        }
        QCOMPARE(FileBytes(FFile), old);
        QCOMPARE(QDir(FDir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("vandrel.cfg")});
    }

    void IndependentCodec_ReadsAndWritesTheSameFiles()
    {
        auto* user = MakeEdit(FForm.get(), "edtFTPUser", QString());
        auto* password = MakeEdit(FForm.get(), "medtFTPPassword", QString());
        auto* check = Make<QCheckBox>(FForm.get(), "ckbxUpload");
        const QList<QObject*> components = {check, password, user};
        PersistKey = cSettingsKey;

        const QString plainIn = FDir->filePath(QStringLiteral("in.txt"));
        QFile in(plainIn);
        QVERIFY(in.open(QIODevice::WriteOnly));
        in.write("edtFTPUser\r\nRen\xe9\r\nmedtFTPPassword\r\np\x80ss; w=rd\r\nckbxUpload\r\n-1\r\n");
        in.close();
        RunBotanCodec(QStringLiteral("encrypt"), plainIn, FFile);
        QVERIFY(LoadComponents(FFile, components).Ok);
        QCOMPARE(user->text(), QStringLiteral("Ren\u00e9"));
        QCOMPARE(password->text(), QStringLiteral("p\u20acss; w=rd"));
        QVERIFY(check->isChecked());

        user->setText(QStringLiteral("\u0160imon"));
        check->setChecked(false);
        SaveComponents(FFile, components);
        const QString plainOut = FDir->filePath(QStringLiteral("out.txt"));
        RunBotanCodec(QStringLiteral("decrypt"), FFile, plainOut);
        QCOMPARE(FileBytes(plainOut),
                 QByteArray("edtFTPUser\r\n\x8aimon\r\nmedtFTPPassword\r\np\x80ss; w=rd\r\nckbxUpload\r\n0\r\n"));
    }
};

VANDREL_QTEST_MAIN(TPersistComponentsCryptTest)

#include "UPersistComponentsCryptTest.moc"
