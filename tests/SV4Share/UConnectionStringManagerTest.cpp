// SPDX-License-Identifier: MIT
#include "UConnectionStringManager.h"
#include "EVandrel.h"
#include "TLockedFolder.h"
#include "TestPaths.h"
#include "UDatCon.h"
#include "UDatConModule.h"
#include "UFileUtils.h"
#include "UIniFile.h"
#include "UVersionInfo.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

namespace {
const QString cSales = QStringLiteral(
    "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;Initial Catalog=Sales;Data Source=SRV01");

QByteArray ReadAll(const QString& aFileName)
{
    QFile file(aFileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

unsigned Mode(const QString& aFileName)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(aFileName).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

void WriteAll(const QString& aFileName, const QByteArray& aBytes)
{
    QFile file(aFileName);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << aFileName.toStdString();
    file.write(aBytes);
}

/// A fresh configuration folder ($XDG_CONFIG_HOME/dbvandrel), a fresh current directory and a folder for settings
/// files per test; no settings file set.
class UConnectionStringManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FOldXdg = qgetenv("XDG_CONFIG_HOME");
        FOldCurrent = QDir::currentPath();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(FHome.path()));
        ASSERT_TRUE(QDir::setCurrent(FWork.path()));
        TConnectionStringManager::SetConfigurationFile(QString());
    }
    void TearDown() override
    {
        TConnectionStringManager::SetConfigurationFile(QString());
        QDir::setCurrent(FOldCurrent);
        qputenv("XDG_CONFIG_HOME", FOldXdg);
    }

    QString Config(const QString& aName) const { return FHome.path() + QStringLiteral("/dbvandrel/") + aName; }
    QString Work(const QString& aName) const { return QDir::currentPath() + QLatin1Char('/') + aName; }
    QString Job(const QString& aName) const { return FJobs.path() + QLatin1Char('/') + aName; }
    static QString Program() { return QFileInfo(TVersionInfo::ProgramFileName()).fileName(); }

    /// The eight shared places in the order they are searched.
    QList<QPair<QString, TLocationKind>> SharedPlaces() const
    {
        return {{Config(Program() + QStringLiteral(".udl")), lkUDL},
                {Config(Program() + QStringLiteral(".ini")), lkINI},
                {Config(QStringLiteral("DefaultDataLink.udl")), lkUDL},
                {Config(QStringLiteral("DefaultDataLink.ini")), lkINI},
                {Work(QStringLiteral("DefaultDataLink.udl")), lkUDL},
                {Work(QStringLiteral("DefaultDataLink.ini")), lkINI},
                {Work(Program() + QStringLiteral(".udl")), lkUDL},
                {Work(Program() + QStringLiteral(".ini")), lkINI}};
    }

    /// Creates every file of aOrder, then checks that the search finds them in that order, removing each found one;
    /// at the end nothing is found.
    void ExpectSearchOrder(const QList<QPair<QString, TLocationKind>>& aOrder)
    {
        QDir().mkpath(Config(QString()));
        for (const auto& candidate : aOrder)
            WriteAll(candidate.first, "[Other]\r\nx=1\r\n");
        for (const auto& candidate : aOrder) {
            TConnectionStringManager store;
            const QString read = store.ConnectionString();
            EXPECT_EQ(store.FileName, candidate.first);
            EXPECT_EQ(store.LocationKind, candidate.second) << candidate.first.toStdString();
            EXPECT_EQ(read, candidate.second == lkUDL ? QStringLiteral("FILE NAME=") + candidate.first : QString());
            QFile::remove(candidate.first);
        }
        TConnectionStringManager store;
        EXPECT_EQ(store.ConnectionString(), QString());
        EXPECT_EQ(store.LocationKind, lkPrompt);
        EXPECT_EQ(store.FileName, QString());
    }

    /// Every file of the configuration folder, the current directory and the settings folder, with its bytes.
    QMap<QString, QByteArray> Files() const
    {
        QMap<QString, QByteArray> files;
        for (const QString& folder : {Config(QString()), Work(QString()), Job(QString())}) {
            QDirIterator it(folder, QDir::Files | QDir::Hidden);
            while (it.hasNext()) {
                const QString name = it.next();
                files.insert(name, ReadAll(name));
            }
        }
        return files;
    }
    /// Removes every file that Files() lists.
    void RemoveFiles() const
    {
        for (const QString& name : Files().keys())
            QFile::remove(name);
    }

    QTemporaryDir FHome;
    QTemporaryDir FWork;
    QTemporaryDir FJobs;
    QByteArray FOldXdg;
    QString FOldCurrent;
};
} // namespace

TEST_F(UConnectionStringManagerTest, Search_FollowsTheEightCandidatesInOrder)
{
    ExpectSearchOrder(SharedPlaces());
}

TEST_F(UConnectionStringManagerTest, Search_FoldersOfACandidatesName_AreNoFiles)
{
    // Every place but the last holds a folder of the candidate's name: the search passes them all by.
    const QList<QPair<QString, TLocationKind>> places = SharedPlaces();
    for (qsizetype i = 0; i + 1 < places.size(); ++i)
        ASSERT_TRUE(QDir().mkpath(places.at(i).first));
    WriteAll(places.last().first, "[Other]\r\nx=1\r\n");
    TConnectionStringManager found;
    found.ConnectionString();
    EXPECT_EQ(found.FileName, places.last().first);
    EXPECT_EQ(found.LocationKind, places.last().second);

    // A kind without a file name takes no folder either; nor does the module's data-link search.
    QFile::remove(places.last().first);
    TConnectionStringManager udl;
    udl.LocationKind = lkUDL;
    EXPECT_EQ(udl.ConnectionString(), QString());
    TConnectionStringManager ini;
    ini.LocationKind = lkINI;
    EXPECT_EQ(ini.ConnectionString(), QString());
    EXPECT_EQ(ini.FileName, QString());
    EXPECT_EQ(TADOConDataModule::FindDataLinkFile(Config(QStringLiteral("DefaultDataLink"))), QString());
}

TEST_F(UConnectionStringManagerTest, Search_NamedSettingsFile_ItsOwnUdlThenIniComeFirst)
{
    WriteAll(Job(QStringLiteral("nightly.cfg")), "settings");
    TConnectionStringManager::SetConfigurationFile(Job(QStringLiteral("nightly.cfg")));
    ExpectSearchOrder(QList<QPair<QString, TLocationKind>>{{Job(QStringLiteral("nightly.udl")), lkUDL},
                                                           {Job(QStringLiteral("nightly.ini")), lkINI}} +
                      SharedPlaces());

    // A kind without a file name also tries the configuration's own file first.
    for (const QString& ext : {QStringLiteral(".udl"), QStringLiteral(".ini")}) {
        WriteAll(Config(Program() + ext), "[Other]\r\nx=1\r\n");
        WriteAll(Job(QStringLiteral("nightly") + ext), "[Other]\r\nx=1\r\n");
    }
    TConnectionStringManager udl;
    udl.LocationKind = lkUDL;
    EXPECT_EQ(udl.ConnectionString(), QStringLiteral("FILE NAME=") + Job(QStringLiteral("nightly.udl")));
    TConnectionStringManager ini;
    ini.LocationKind = lkINI;
    ini.ConnectionString();
    EXPECT_EQ(ini.FileName, Job(QStringLiteral("nightly.ini")));
}

TEST_F(UConnectionStringManagerTest, Search_DefaultSettingsFile_IsTheSearchWithoutOne)
{
    // The default settings file spelled three ways; its own "vandrel.udl"/"vandrel.ini" are never searched.
    QDir().mkpath(Config(QString()));
    WriteAll(UFileUtils::DefaultSettingsFile(), "settings");
    ASSERT_TRUE(QFile::link(Config(QString()), Job(QStringLiteral("link"))));
    for (const QString& settings :
         {QString(), UFileUtils::DefaultSettingsFile(), Job(QStringLiteral("link/vandrel.cfg"))}) {
        SCOPED_TRACE(settings.toStdString());
        TConnectionStringManager::SetConfigurationFile(settings);
        WriteAll(Config(QStringLiteral("vandrel.udl")), "[Other]\r\nx=1\r\n");
        WriteAll(Config(QStringLiteral("vandrel.ini")), "[Other]\r\nx=1\r\n");
        ExpectSearchOrder(SharedPlaces());
    }
}

TEST_F(UConnectionStringManagerTest, Save_BesideTheSettingsFile_OnlyWhenReadFromThereOrNothingStored)
{
    const QString cOld = QStringLiteral("Provider=SQLOLEDB;Data Source=OLD;Initial Catalog=Old");
    const QString ownIni = Job(QStringLiteral("nightly.ini"));
    const QString ownUdl = Job(QStringLiteral("nightly.udl"));
    const QString sharedIni = Config(QStringLiteral("DefaultDataLink.ini"));
    const QString programUdl = Config(Program() + QStringLiteral(".udl"));
    const QString workIni = Work(QStringLiteral("DefaultDataLink.ini"));
    // clang-format off
    const struct { const char* Name; QString Settings; QStringList Stored; QString Written; } rows[] = {
        {"NothingStored_OwnIni",           Job(QStringLiteral("nightly.cfg")), {}, ownIni},
        {"ReadFromOwnIni_StaysThere",      Job(QStringLiteral("nightly.cfg")), {ownIni, sharedIni}, ownIni},
        {"ReadFromOwnUdl_StaysThere",      Job(QStringLiteral("nightly.cfg")), {ownUdl, ownIni, sharedIni}, ownUdl},
        {"SharedIni_StaysShared",          Job(QStringLiteral("nightly.cfg")), {sharedIni}, sharedIni},
        {"ProgramUdl_StaysShared",         Job(QStringLiteral("nightly.cfg")), {programUdl, workIni}, programUdl},
        {"CurrentDirectory_StaysShared",   Job(QStringLiteral("nightly.cfg")), {workIni}, workIni},
        {"SettingsNamedLikeIni_NotTouched", Job(QStringLiteral("job.ini")), {}, sharedIni},
        {"DefaultSettings_SharedIni",      UFileUtils::DefaultSettingsFile(), {}, sharedIni},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        RemoveFiles();
        QDir().mkpath(Config(QString()));
        WriteAll(row.Settings, "settings");
        for (const QString& name : row.Stored) {
            if (name.endsWith(QStringLiteral(".udl"))) {
                ASSERT_TRUE(UDatCon::StoreDataLink(cOld, name));
            } else {
                TConnectionStringManager old;
                old.LocationKind = lkINI;
                old.FileName = name;
                old.SetConnectionString(cOld);
            }
        }
        TConnectionStringManager::SetConfigurationFile(row.Settings);
        const QMap<QString, QByteArray> before = Files();

        TConnectionStringManager store;
        store.SetConnectionString(cSales);
        EXPECT_EQ(store.FileName, row.Written);

        // Only the expected file changed, or appeared; every other file keeps its bytes.
        QMap<QString, QByteArray> after = Files();
        const QByteArray written = after.take(row.Written);
        EXPECT_NE(written, before.value(row.Written));
        QMap<QString, QByteArray> others = before;
        others.remove(row.Written);
        EXPECT_EQ(after.keys(), others.keys());
        EXPECT_TRUE(after == others);
        TConnectionStringManager fresh;
        const QString read = fresh.ConnectionString();
        EXPECT_EQ(fresh.FileName, row.Written);
        if (fresh.LocationKind == lkUDL) {
            const QString text = QStringDecoder(QStringConverter::Utf16LE)(written.mid(2));
            EXPECT_TRUE(text.contains(cSales));
        } else {
            EXPECT_EQ(read, cSales);
        }
        const QFileDevice::Permissions groupOrOthers =
            QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
        EXPECT_FALSE(QFileInfo(row.Written).permissions() & groupOrOthers);
        // A first save has the same encrypted layout wherever it goes.
        if (row.Stored.isEmpty()) {
            EXPECT_EQ(written, ReadAll(TestPaths::DataFile(QStringLiteral("shared-datcon.ini"))));
        }
    }
}

TEST_F(UConnectionStringManagerTest, NothingStored_WritesTheSharedIniFileForItsOwner)
{
    TConnectionStringManager store;
    EXPECT_EQ(store.ConnectionString(), QString());
    store.SetConnectionString(cSales);
    const QString shared = Config(QStringLiteral("DefaultDataLink.ini"));
    EXPECT_EQ(store.FileName, shared);
    EXPECT_EQ(store.LocationKind, lkINI);
    EXPECT_EQ(store.Key, QStringLiteral("Software\\Brantwell"));
    EXPECT_EQ(store.Value, QStringLiteral("SharedDatCon"));
    // Same bytes as the file another machine wrote with the same key.
    EXPECT_EQ(ReadAll(shared), ReadAll(TestPaths::DataFile(QStringLiteral("shared-datcon.ini"))));
    const QFileDevice::Permissions others =
        QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
    EXPECT_FALSE(QFileInfo(shared).permissions() & others);

    TConnectionStringManager fresh;
    EXPECT_EQ(fresh.ConnectionString(), cSales);
    EXPECT_EQ(fresh.FileName, shared);
}

TEST_F(UConnectionStringManagerTest, IniLayouts_ReadAndWrittenBackInPlace)
{
    const QByteArray ownAndPlain =
        "[oledb]\r\n(Default)=plain\r\n[software\\brantwell\\solvane]\r\nDatCon=" +
        ReadAll(TestPaths::DataFile(QStringLiteral("shared-datcon.ini"))).split('\r').at(1).mid(14) + "\r\n";
    // clang-format off
    const struct { const char* Name; QByteArray Content; QString Read; QString Section; QString Key; bool Encrypted; } rows[] = {
        {"Plain",        ReadAll(TestPaths::DataFile(QStringLiteral("oledb-plain.ini"))), cSales, QStringLiteral("oledb"), QStringLiteral("(Default)"), false},
        {"Shared",       ReadAll(TestPaths::DataFile(QStringLiteral("shared-datcon.ini"))), cSales, QStringLiteral("Software\\Brantwell"), QStringLiteral("SharedDatCon"), true},
        {"OwnBeforePlain", ownAndPlain, cSales, QStringLiteral("Software\\Brantwell\\Solvane"), QStringLiteral("DatCon"), true},
        {"NoLayout",     "; note\r\n[Other]\r\nx = 1 \r\n", QString(), QStringLiteral("Software\\Brantwell"), QStringLiteral("SharedDatCon"), true},
    };
    // clang-format on
    const QString changed = QStringLiteral("Provider=SQLOLEDB;Data Source=SRV02;Initial Catalog=Other");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        const QString name = Work(QStringLiteral("conn.ini"));
        WriteAll(name, row.Content);
        TConnectionStringManager reader;
        reader.LocationKind = lkINI;
        reader.FileName = name;
        EXPECT_EQ(reader.ConnectionString(), row.Read);

        TConnectionStringManager writer;
        writer.LocationKind = lkINI;
        writer.FileName = name;
        writer.SetConnectionString(changed);
        const TIniFile ini(name);
        const QString stored = ini.ReadString(row.Section, row.Key);
        EXPECT_EQ(stored == changed, !row.Encrypted);
        EXPECT_EQ(USVCrypt::DecryptString(stored, writer.CryptKey()) == changed, row.Encrypted);
        EXPECT_EQ(ini.Sections().size(), TIniFile(name).Sections().size());
        if (QByteArray(row.Name) == "NoLayout") {
            EXPECT_EQ(ini.ReadString(QStringLiteral("other"), QStringLiteral("X")), QStringLiteral("1"));
        }
        TConnectionStringManager again;
        again.LocationKind = lkINI;
        again.FileName = name;
        EXPECT_EQ(again.ConnectionString(), changed);
        QFile::remove(name);
    }
}

TEST_F(UConnectionStringManagerTest, IniFile_KeepsItsAccessAndIsRewrittenInPlaceInAFolderOfRoot)
{
    // A replaced INI file keeps the permissions it had.
    const QString shared = Work(QStringLiteral("conn.ini"));
    WriteAll(shared, "[Other]\r\nx=1\r\n");
    ASSERT_TRUE(
        QFile::setPermissions(shared, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
    TConnectionStringManager writer;
    writer.LocationKind = lkINI;
    writer.FileName = shared;
    EXPECT_EQ(writer.SetConnectionString(cSales), UPersistRecords::skReplaced);
    EXPECT_EQ(Mode(shared), 0640u);

    // The job's connection file in a folder its user may not write is rewritten where it is.
    TLockedFolder folder(FJobs.path(), QStringLiteral("etc"));
    ASSERT_TRUE(folder.AddFile(QStringLiteral("nightly.ini"), "[Other]\r\nx=1\r\n", 0640));
    ASSERT_TRUE(folder.Lock());
    const QString job = folder.FilePath(QStringLiteral("nightly.ini"));
    TLockedFolder::TAsUser user(folder);
    if (!user.Active())
        GTEST_SKIP() << "cannot act as a user who may not write the folder";
    TConnectionStringManager store;
    store.LocationKind = lkINI;
    store.FileName = job;
    EXPECT_EQ(store.SetConnectionString(cSales), UPersistRecords::skRewrittenInPlace);
    EXPECT_EQ(Mode(job), 0640u);
    TConnectionStringManager again;
    again.LocationKind = lkINI;
    again.FileName = job;
    EXPECT_EQ(again.ConnectionString(), cSales);
    EXPECT_EQ(TIniFile(job).ReadString(QStringLiteral("other"), QStringLiteral("x")), QStringLiteral("1"));
}

TEST_F(UConnectionStringManagerTest, UnknownCompany_NamesTheSectionsCompanyName)
{
    TVersionInfo none(QStringLiteral("/no/such/program"));
    TConnectionStringManager store(none);
    EXPECT_EQ(store.DefaultKey(), QStringLiteral("Software\\CompanyName\\ProductName"));
    EXPECT_EQ(store.DefaultSharedKey(), QStringLiteral("Software\\CompanyName"));
    store.SetConnectionString(cSales);
    EXPECT_EQ(TIniFile(Config(QStringLiteral("DefaultDataLink.ini"))).Sections(),
              QStringList{QStringLiteral("Software\\CompanyName")});
}

TEST_F(UConnectionStringManagerTest, DataLinkLocation_ReadsAsFileNameAndWritesThroughTheDataLinkWriter)
{
    TConnectionStringManager reader;
    reader.LocationKind = lkUDL;
    reader.FileName = QStringLiteral("/no/such/conn.txt");
    EXPECT_EQ(reader.ConnectionString(), QStringLiteral("FILE NAME=/no/such/conn.txt"));

    const QString name = Work(QStringLiteral("conn.udl"));
    WriteAll(name, "old");
    TConnectionStringManager writer;
    writer.LocationKind = lkUDL;
    writer.FileName = name;
    writer.SetConnectionString(cSales);
    EXPECT_TRUE(ReadAll(name).startsWith(QByteArray("\xFF\xFE[\0o\0", 6)));

    writer.FileName = Work(QStringLiteral("missing/conn.udl"));
    try {
        writer.SetConnectionString(cSales);
        ADD_FAILURE() << "no error";
    } catch (const EVandrel& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Could not store UDL"));
    }
}

TEST(UIniFileTest, Format_SectionsWithBackslashesCommentsAndEncodings)
{
    QTemporaryDir dir;
    const QString ansi = dir.filePath(QStringLiteral("a.ini"));
    WriteAll(ansi, "lost=1\r\n  ; comment\r\n[ Software\\Brantwell ]\r\n Key = caf\xE9 \x80 \r\n\r\n[next]\nA=1=2\n");
    TIniFile ini(ansi);
    EXPECT_EQ(ini.Sections(), (QStringList{QStringLiteral("Software\\Brantwell"), QStringLiteral("next")}));
    EXPECT_EQ(ini.ReadString(QStringLiteral("software\\BRANTWELL"), QStringLiteral("key")),
              QStringLiteral("caf\u00E9 \u20AC"));
    EXPECT_EQ(ini.ReadString(QStringLiteral("next"), QStringLiteral("a")), QStringLiteral("1=2"));
    ini.WriteString(QStringLiteral("NEXT"), QStringLiteral("b"), QStringLiteral("x"));
    ini.UpdateFile();
    EXPECT_EQ(ReadAll(ansi),
              QByteArray("[Software\\Brantwell]\r\nKey=caf\xE9 \x80\r\n\r\n[next]\r\nA=1=2\r\nb=x\r\n\r\n"));

    const QString wide = dir.filePath(QStringLiteral("w.ini"));
    WriteAll(wide,
             QByteArray("\xFF\xFE", 2) +
                 QStringEncoder(QStringConverter::Utf16LE)(QStringLiteral("[s]\r\nk=\u20AC\r\n")));
    TIniFile utf16(wide);
    EXPECT_EQ(utf16.ReadString(QStringLiteral("s"), QStringLiteral("k")), QStringLiteral("\u20AC"));
    utf16.UpdateFile();
    EXPECT_EQ(ReadAll(wide),
              QByteArray("\xFF\xFE", 2) +
                  QStringEncoder(QStringConverter::Utf16LE)(QStringLiteral("[s]\r\nk=\u20AC\r\n\r\n")));

    EXPECT_THROW(TIniFile(QString()).UpdateFile(), EVandrel);
}
