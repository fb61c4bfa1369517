// SPDX-License-Identifier: MIT
#include "UFtpTransfer.h"

#include "EVandrel.h"
#include "TServerProcess.h"
#include "UHandles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>

#include <vector>

using namespace UFtpTransfer;

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

/// Shows a directory's files (name and contents) readably in failure messages.
inline void PrintTo(const QMap<QString, QByteArray>& aFiles, std::ostream* aStream)
{
    for (const auto& [name, contents] : aFiles.asKeyValueRange())
        *aStream << "\n  " << name.toStdString() << ": " << contents.left(40).toStdString();
}

namespace {

const QString cUser = QStringLiteral("vandrel");
const QString cPassword = QStringLiteral("secret");

/// Writes aSize pseudo-random bytes (seeded) in chunks.
void WriteRandomFile(const QString& aPath, qint64 aSize, quint32 aSeed)
{
    QFile file(aPath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << file.errorString().toStdString();
    QRandomGenerator random(aSeed);
    std::vector<quint32> chunk(256 * 1024);
    for (qint64 left = aSize; left > 0;) {
        random.fillRange(chunk.data(), chunk.size());
        const qint64 bytes = std::min<qint64>(left, static_cast<qint64>(chunk.size() * sizeof(quint32)));
        ASSERT_EQ(file.write(reinterpret_cast<const char*>(chunk.data()), bytes), bytes);
        left -= bytes;
    }
}

void WriteText(const QString& aPath, const QByteArray& aData)
{
    QFile file(aPath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(aData), aData.size());
}

QByteArray FileHash(const QString& aPath)
{
    QFile file(aPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

/// A directory's files by name, with their contents.
using TFiles = QMap<QString, QByteArray>;

/// aText with the unique digits of aside names replaced by "*".
QString WithoutAsideDigits(QString aText)
{
    static const QRegularExpression digits(QStringLiteral(R"(\.old-[0-9a-f]{16}\.vandrel)"));
    return aText.replace(digits, QStringLiteral(".old-*.vandrel"));
}

/// Records what a transfer reported.
struct TRecorder
{
    std::vector<TFtpStatus> Statuses;
    std::vector<std::pair<qint64, qint64>> Work;
    qint64 CancelAfter = -1; ///< abandon once this many bytes moved (-1: never)

    void Attach(TFtpTransfer& aFtp)
    {
        aFtp.SetStatusHandler([this](TFtpStatus aStatus, const QString&) { Statuses.push_back(aStatus); });
        aFtp.SetWorkHandler([this](qint64 aCount, qint64 aTotal) {
            Work.emplace_back(aCount, aTotal);
            return CancelAfter < 0 || aCount < CancelAfter;
        });
    }
    bool Saw(TFtpStatus aStatus) const
    {
        return std::find(Statuses.begin(), Statuses.end(), aStatus) != Statuses.end();
    }
};

class UFtpTransferTest : public ::testing::Test
{
protected:
    void StartServer(const QStringList& aExtra = {})
    {
        ASSERT_TRUE(FTemp.isValid());
        ASSERT_TRUE(QDir().mkpath(Root()));
        ASSERT_TRUE(QDir().mkpath(Local()));
        QStringList args{QStringLiteral("--root"),
                         Root(),
                         QStringLiteral("--port"),
                         QStringLiteral("0"),
                         QStringLiteral("--user"),
                         cUser + QLatin1Char(':') + cPassword};
        FServer.StartPython(QStringLiteral("tests/support/ftpserver.py"), args + aExtra);
    }
    QString Root() const { return FTemp.filePath(QStringLiteral("root")); }
    QString Local() const { return FTemp.filePath(QStringLiteral("local")); }
    QString Address(const QString& aDirectory = QString()) const
    {
        const QString host = QStringLiteral("127.0.0.1:%1").arg(FServer.Port());
        return aDirectory.isEmpty() ? host : host + QLatin1Char('/') + aDirectory;
    }
    QStringList LocalFiles() const { return QDir(Local()).entryList(QDir::Files | QDir::Hidden); }
    /// The server directory's files; with aMaskAsides the digits of aside names are "*".
    TFiles RemoteFiles(bool aMaskAsides = false) const
    {
        TFiles files;
        for (const QString& name : QDir(Root()).entryList(QDir::Files | QDir::Hidden)) {
            QFile file(Root() + QLatin1Char('/') + name);
            files.insert(aMaskAsides ? WithoutAsideDigits(name) : name,
                         file.open(QIODevice::ReadOnly) ? file.readAll() : "(unreadable)");
        }
        return files;
    }

    QTemporaryDir FTemp;
    TServerProcess FServer;
};

TEST_F(UFtpTransferTest, RoundTrip_SubDirectoryAndUnusualName)
{
    StartServer();
    ASSERT_TRUE(QDir().mkpath(Root() + QStringLiteral("/a/b")));
    const QString name = QStringLiteral("archive #1 100% \u00e9t\u00e9.zip");
    const QString source = Local() + QStringLiteral("/source.zip");
    constexpr qint64 cSize = 3 * 1024 * 1024 + 17;
    WriteRandomFile(source, cSize, 7);

    TRecorder up;
    {
        TFtpTransfer ftp(Address(QStringLiteral("a/b")), cUser, cPassword);
        up.Attach(ftp);
        EXPECT_EQ(ftp.Upload(source, name), frDone);
    }
    EXPECT_EQ(FileHash(Root() + QStringLiteral("/a/b/") + name), FileHash(source));
    EXPECT_EQ(QDir(Root() + QStringLiteral("/a/b")).entryList(QDir::Files), QStringList{name});
    ASSERT_FALSE(up.Work.empty());
    EXPECT_EQ(up.Work.back(), std::make_pair(cSize, cSize)) << "the bar reaches 100%";
    for (size_t i = 1; i < up.Work.size(); ++i)
        EXPECT_LE(up.Work[i - 1].first, up.Work[i].first);
    // The light's phases in the order of the connection's life.
    const std::vector<TFtpStatus> order{
        fsResolving, fsConnecting, fsConnected, fsTransfer, fsDisconnecting, fsDisconnected};
    auto at = up.Statuses.begin();
    for (TFtpStatus status : order) {
        at = std::find(at, up.Statuses.end(), status);
        ASSERT_NE(at, up.Statuses.end()) << "phase " << status << " missing or out of order";
    }
    EXPECT_EQ(up.Statuses.back(), fsDisconnected);

    const QString target = Local() + QStringLiteral("/target.zip");
    WriteText(target, "an older archive");
    TRecorder down;
    {
        TFtpTransfer ftp(Address(QStringLiteral("a/b/")), cUser, cPassword);
        down.Attach(ftp);
        EXPECT_EQ(ftp.Download(name, target), frDone);
    }
    EXPECT_EQ(FileHash(target), FileHash(source));
    EXPECT_EQ(LocalFiles(), (QStringList{QStringLiteral("source.zip"), QStringLiteral("target.zip")}));
    ASSERT_FALSE(down.Work.empty());
    EXPECT_EQ(down.Work.back(), std::make_pair(cSize, cSize));
}

/// The renames and removals the server was asked for, in order, with the digits of aside names as "*".
QStringList RenamesAndRemovals(const QString& aServerLog)
{
    static const QRegularExpression command(QStringLiteral(R"(<- ((?:RNFR|RNTO|DELE) [^\r\n]*))"));
    QStringList result;
    for (const QRegularExpressionMatch& match : command.globalMatch(aServerLog))
        result.append(WithoutAsideDigits(match.captured(1)));
    return result;
}

TEST_F(UFtpTransferTest, Upload_ReplacesOldFile_AlsoWhereRenameOverIsRefused)
{
    const QString renameInPlace[] = {QStringLiteral("RNFR db.zip.part.vandrel"), QStringLiteral("RNTO db.zip")};
    for (bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "server refuses rename over a file" : "server renames over a file");
        FServer.Stop();
        StartServer(refuse ? QStringList{QStringLiteral("--refuse-rename-over"), QStringLiteral("--log-commands")}
                           : QStringList{QStringLiteral("--log-commands")});
        const qsizetype logStart = FServer.Output().size(); // the output of the servers before is kept
        WriteText(Root() + QStringLiteral("/db.zip"), "old contents");
        WriteText(Local() + QStringLiteral("/new.zip"), "new contents");
        TFtpTransfer ftp(Address(), cUser, cPassword);
        EXPECT_EQ(ftp.Upload(Local() + QStringLiteral("/new.zip"), QStringLiteral("db.zip")), frDone);
        ftp.Disconnect();
        EXPECT_EQ(RemoteFiles(), (TFiles{{QStringLiteral("db.zip"), "new contents"}}));
        FServer.Stop();
        // The old file is never deleted before the new one holds its name: it moves aside, and goes last.
        QStringList expected(std::begin(renameInPlace), std::end(renameInPlace));
        if (refuse)
            expected << QStringLiteral("RNFR db.zip") << QStringLiteral("RNTO db.zip.old-*.vandrel") << renameInPlace[0]
                     << renameInPlace[1] << QStringLiteral("DELE db.zip.old-*.vandrel");
        EXPECT_EQ(RenamesAndRemovals(FServer.Output().mid(logStart)), expected);
    }
}

struct TCommitFailureCase
{
    const char* Name;
    QStringList ServerOptions;
    bool OldFile;        ///< "db.zip" holds "old" before the upload
    const char* Context; ///< the error's last line; {host} stands for the server's address
    TFiles Files;        ///< the server's directory afterwards (aside digits as "*")
};

class UFtpTransferCommitTest : public UFtpTransferTest, public ::testing::WithParamInterface<TCommitFailureCase>
{
};

TEST_P(UFtpTransferCommitTest, Upload_FailedCommit_SaysWhatTheServerHolds)
{
    const TCommitFailureCase& row = GetParam();
    StartServer(row.ServerOptions);
    if (row.OldFile)
        WriteText(Root() + QStringLiteral("/db.zip"), "old");
    WriteText(Local() + QStringLiteral("/new.zip"), "new");
    TFtpTransfer ftp(Address(), cUser, cPassword);
    try {
        ftp.Upload(Local() + QStringLiteral("/new.zip"), QStringLiteral("db.zip"));
        FAIL() << "the upload reported success";
    } catch (const EVandrel& e) {
        const QStringList lines = e.Message().split(QStringLiteral("\r\n"));
        EXPECT_TRUE(lines.first().contains(QStringLiteral("(server reply: 550 "))) << e.Message().toStdString();
        EXPECT_EQ(WithoutAsideDigits(lines.last()),
                  QString::fromUtf8(row.Context).replace(QStringLiteral("{host}"), Address()));
    }
    ftp.Disconnect();
    EXPECT_EQ(RemoteFiles(true), row.Files);
}

// clang-format off
const TCommitFailureCase cCommitFailureCases[] = {
    {"NoOldFile_RenameRefused", {QStringLiteral("--refuse-rename")}, false,
     R"(Unable to rename "db.zip.part.vandrel" to "db.zip" on FTP server "{host}": there is no archive under "db.zip"; )"
     R"(the new one is kept as "db.zip.part.vandrel".)",
     {{QStringLiteral("db.zip.part.vandrel"), "new"}}},
    {"OldFile_NoRenameAtAll", {QStringLiteral("--refuse-rename")}, true,
     R"(Unable to move "db.zip" aside to "db.zip.old-*.vandrel" on FTP server "{host}": the previous archive is still )"
     R"(in place under "db.zip"; the new one is kept as "db.zip.part.vandrel".)",
     {{QStringLiteral("db.zip"), "old"}, {QStringLiteral("db.zip.part.vandrel"), "new"}}},
    {"NewOneRefused_OldOnePutBack",
     {QStringLiteral("--refuse-rename-over"), QStringLiteral("--refuse-rename-from"), QStringLiteral("*.part.vandrel")}, true,
     R"(Unable to rename "db.zip.part.vandrel" to "db.zip" on FTP server "{host}": the previous archive is still in )"
     R"(place under "db.zip"; the new one is kept as "db.zip.part.vandrel".)",
     {{QStringLiteral("db.zip"), "old"}, {QStringLiteral("db.zip.part.vandrel"), "new"}}},
    {"NewOneRefused_PutBackRefused",
     {QStringLiteral("--refuse-rename-over"), QStringLiteral("--refuse-rename-from"), QStringLiteral("*.part.vandrel"),
      QStringLiteral("--refuse-rename-from"), QStringLiteral("*.old-*")}, true,
     R"(Unable to rename "db.zip.part.vandrel" to "db.zip" on FTP server "{host}", nor put the previous archive back: )"
     R"(there is no archive under "db.zip"; the previous one is kept as "db.zip.old-*.vandrel" and the new one as )"
     R"("db.zip.part.vandrel".)",
     {{QStringLiteral("db.zip.old-*.vandrel"), "old"}, {QStringLiteral("db.zip.part.vandrel"), "new"}}},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Commit,
                         UFtpTransferCommitTest,
                         ::testing::ValuesIn(cCommitFailureCases),
                         [](const auto& aInfo) { return std::string(aInfo.param.Name); });

/// The stores the server was asked for, in order.
QStringList Stores(const QString& aServerLog)
{
    static const QRegularExpression command(QStringLiteral(R"(<- (STOR [^\r\n]*))"));
    QStringList result;
    for (const QRegularExpressionMatch& match : command.globalMatch(aServerLog))
        result.append(match.captured(1));
    return result;
}

enum TStoreEnd : int { seDone, seFailed, seCancelled };

/// What "db.zip" holds after the upload.
enum TLeft : int { lfNew, lfOld, lfPart, lfNothing };

struct TRefusedStoreCase
{
    const char* Name;
    QStringList ServerOptions;
    TStoreEnd End;
    bool Direct;           ///< stored under the name itself after the refusal: a notice, and a second STOR
    const char* FirstLine; ///< a text of the error's first line
    const char* LastLine;  ///< the error's last line, or when cancelled the last notice ({host}: the address)
    TLeft Left;
};

class UFtpTransferRefusedStoreTest : public UFtpTransferTest, public ::testing::WithParamInterface<TRefusedStoreCase>
{
};

TEST_P(UFtpTransferRefusedStoreTest, Upload_TemporaryNameRefused_StoresUnderTheNameItself)
{
    const TRefusedStoreCase& row = GetParam();
    StartServer(row.ServerOptions + QStringList{QStringLiteral("--log-commands")});
    constexpr qint64 cSize = 8 * 1024 * 1024;
    const QString source = Local() + QStringLiteral("/new.zip");
    WriteRandomFile(source, cSize, 15);
    WriteText(Root() + QStringLiteral("/db.zip"), "old contents");
    TRecorder up;
    up.CancelAfter = row.End == seCancelled ? 1024 * 1024 : -1;
    QStringList notices;
    {
        TFtpTransfer ftp(Address(), cUser, cPassword);
        up.Attach(ftp);
        ftp.SetStallTimeout(std::chrono::seconds(1));
        ftp.SetNoticeHandler([&notices](const QString& aLine) { notices.append(aLine); });
        try {
            EXPECT_EQ(ftp.Upload(source, QStringLiteral("db.zip")), row.End == seDone ? frDone : frCanceled);
            EXPECT_NE(row.End, seFailed) << "no error raised";
        } catch (const EVandrel& e) {
            EXPECT_EQ(row.End, seFailed) << e.Message().toStdString();
            const QStringList lines = e.Message().split(QStringLiteral("\r\n"));
            EXPECT_TRUE(lines.first().contains(QString::fromUtf8(row.FirstLine))) << e.Message().toStdString();
            EXPECT_EQ(lines.last(), QString::fromUtf8(row.LastLine).replace(QStringLiteral("{host}"), Address()));
        }
    }
    const QString stored =
        QStringLiteral("The FTP server refused the temporary name \"db.zip.part.vandrel\" (553 Could "
                       "not create file.): the archive is stored under \"db.zip\" directly, and an "
                       "archive already there is overwritten in place.");
    QStringList expectedNotices;
    if (row.Direct)
        expectedNotices << stored;
    if (row.End == seCancelled)
        expectedNotices << QString::fromUtf8(row.LastLine);
    EXPECT_EQ(notices, expectedNotices);

    // Nothing of the upload's own is left; "db.zip" holds what the row says.
    const TFiles files = RemoteFiles();
    EXPECT_EQ(files.keys(), row.Left == lfNothing ? QStringList() : QStringList{QStringLiteral("db.zip")});
    const QByteArray left = files.value(QStringLiteral("db.zip"));
    switch (row.Left) {
    case lfNew:
        EXPECT_EQ(FileHash(Root() + QStringLiteral("/db.zip")), FileHash(source));
        break;
    case lfOld:
        EXPECT_EQ(left, QByteArray("old contents"));
        break;
    case lfPart:
        EXPECT_GT(left.size(), 0);
        EXPECT_LT(left.size(), cSize);
        break;
    case lfNothing:
        break;
    }
    FServer.Stop();
    QStringList expectedStores{QStringLiteral("STOR db.zip.part.vandrel")};
    if (row.Direct)
        expectedStores << QStringLiteral("STOR db.zip");
    EXPECT_EQ(Stores(FServer.Output()), expectedStores);
}

const QString cRefused = QStringLiteral("--refuse-store");
const QString cTemporaries = QStringLiteral("*.part.vandrel");
const char* const cUploadFailed = R"(Unable to upload "db.zip" to FTP server "{host}".)";

// clang-format off
const TRefusedStoreCase cRefusedStoreCases[] = {
    {"OnlyTheTemporaryRefused", {cRefused, cTemporaries}, seDone, true, "", "", lfNew},
    {"EveryNameRefused_OldArchiveUntouched", {cRefused, QStringLiteral("*")}, seFailed, true,
     "(server reply: 553 Could not create file.)", cUploadFailed, lfOld},
    // No space is no refusal of the name: a direct store would only destroy the old archive.
    {"NoSpace_NoDirectStore",
     {cRefused, cTemporaries, QStringLiteral("--store-reply"), QStringLiteral("552 Insufficient storage space.")},
     seFailed, false, "(server reply: 552 Insufficient storage space.)", cUploadFailed, lfOld},
    {"TransientRefusal_NoDirectStore",
     {cRefused, cTemporaries, QStringLiteral("--store-reply"), QStringLiteral("450 Try again later.")},
     seFailed, false, "(server reply: 450 Try again later.)", cUploadFailed, lfOld},
    {"DirectStoreStalls_IncompleteFileRemoved",
     {cRefused, cTemporaries, QStringLiteral("--stall-after"), QString::number(256 * 1024)}, seFailed, true,
     "The transfer stalled",
     R"(The archive was being stored under "db.zip" directly: the incomplete file was removed, and there is no )"
     R"(complete archive under that name on the server.)", lfNothing},
    {"DirectStoreStalls_RemovalRefused",
     {cRefused, cTemporaries, QStringLiteral("--stall-after"), QString::number(256 * 1024),
      QStringLiteral("--refuse-delete")}, seFailed, true,
     "The transfer stalled",
     R"(The archive was being stored under "db.zip" directly: there is no complete archive under that name on the )"
     R"(server, only an incomplete file that could not be removed.)", lfPart},
    {"DirectStoreCancelled_IncompleteFileRemoved",
     {cRefused, cTemporaries, QStringLiteral("--max-rate"), QStringLiteral("2000000")}, seCancelled, true, "",
     R"(The archive was being stored under "db.zip" directly: the incomplete file was removed, and there is no )"
     R"(complete archive under that name on the server.)", lfNothing},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(RefusedStore,
                         UFtpTransferRefusedStoreTest,
                         ::testing::ValuesIn(cRefusedStoreCases),
                         [](const auto& aInfo) { return std::string(aInfo.param.Name); });

/// Names beside the archive "db.zip", and whether they are the upload's own.
struct TNameCase
{
    const char* Name;
    bool Own;
};

// clang-format off
const TNameCase cNameCases[] = {
    {"db.zip.part.vandrel",                     true},
    {"db.zip.old-0123456789abcdef.vandrel",     true},
    {"db.zip.part",                             false},  // a user's file in a common pattern
    {"db.zip.old-0123456789abcdef",             false},
    {"db.zip.old-0123456789ABCDEF.vandrel",     false},
    {"db.zip.old-0123456789abcde.vandrel",      false},  // 15 digits
    {"db.zip.old-0123456789abcdef0.vandrel",    false},  // 17 digits
    {"db.zip.old-0123456789abcdef.vandrel.zip", false},
    {"db.zip.part.vandrel.bak",                 false},
    {"xdb.zip.part.vandrel",                    false},
    {"Db.zip.part.vandrel",                     false},
    {"other.zip.old-0123456789abcdef.vandrel",  false},
};
// clang-format on

TEST_F(UFtpTransferTest, Upload_FirstRemovesWhatAKilledRunLeft_AndNothingElse)
{
    StartServer();
    TFiles before{{QStringLiteral("db.zip"), "old"}};
    for (const TNameCase& row : cNameCases)
        before.insert(QString::fromUtf8(row.Name), row.Name);
    for (const auto& [name, contents] : before.asKeyValueRange())
        WriteText(Root() + QLatin1Char('/') + name, contents);
    // A directory named like an aside file is not a file of ours.
    ASSERT_TRUE(QDir().mkpath(Root() + QStringLiteral("/db.zip.old-fedcba9876543210.vandrel")));
    WriteText(Local() + QStringLiteral("/new.zip"), "new");

    std::vector<TLeftover> reported;
    {
        TFtpTransfer ftp(Address(), cUser, cPassword);
        ftp.SetLeftoverHandler([&](const TLeftover& aLeftover) { reported.push_back(aLeftover); });
        EXPECT_EQ(ftp.Upload(Local() + QStringLiteral("/new.zip"), QStringLiteral("db.zip")), frDone);
    }
    QStringList lines;
    for (const TLeftover& leftover : reported)
        lines.append(LeftoverLine(leftover));
    EXPECT_EQ(lines,
              (QStringList{QStringLiteral("Removed \"db.zip.old-0123456789abcdef.vandrel\" from the FTP server: an "
                                          "earlier upload that did not finish left it there."),
                           QStringLiteral("Removed \"db.zip.part.vandrel\" from the FTP server: an earlier upload "
                                          "that did not finish left it there.")}));
    TFiles after = before;
    after[QStringLiteral("db.zip")] = "new";
    for (const TNameCase& row : cNameCases)
        if (row.Own)
            after.remove(QString::fromUtf8(row.Name));
    EXPECT_EQ(RemoteFiles(), after);
    EXPECT_TRUE(QFileInfo(Root() + QStringLiteral("/db.zip.old-fedcba9876543210.vandrel")).isDir());
}

TEST_F(UFtpTransferTest, RemoveLeftovers_NameMissing_PutsTheAsideFileBack)
{
    // A run killed between its two renames left the old archive aside, the new one under its temporary name and
    // nothing under the name itself.
    const QString aside = QStringLiteral("db.zip.old-00000000000000aa.vandrel");
    for (bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "server refuses renames" : "server renames");
        FServer.Stop();
        ASSERT_TRUE(QDir(Root()).removeRecursively());
        StartServer(refuse ? QStringList{QStringLiteral("--refuse-rename")} : QStringList{});
        const TFiles before{{aside, "old"}, {QStringLiteral("db.zip.part.vandrel"), "new"}};
        for (const auto& [name, contents] : before.asKeyValueRange())
            WriteText(Root() + QLatin1Char('/') + name, contents);
        TFtpTransfer ftp(Address(), cUser, cPassword);
        ASSERT_TRUE(ftp.Connect());
        QStringList lines;
        for (const TLeftover& leftover : ftp.RemoveLeftovers(ftp.List(), QStringLiteral("db.zip")))
            lines.append(LeftoverLine(leftover));
        ftp.Disconnect();
        ASSERT_EQ(lines.size(), 2) << lines.join(QLatin1Char('\n')).toStdString();
        if (refuse) {
            EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Could not put \"%1\" back as \"db.zip\" on the FTP "
                                                           "server: Quote command returned error")
                                                .arg(aside)))
                << lines[0].toStdString();
            EXPECT_TRUE(lines[0].endsWith(QStringLiteral("(server reply: 550 Rename refused.)")))
                << lines[0].toStdString();
            EXPECT_EQ(RemoteFiles(), (TFiles{{aside, "old"}}));
        } else {
            EXPECT_EQ(lines[0],
                      QStringLiteral("Put \"%1\" back as \"db.zip\" on the FTP server: an earlier upload stopped while "
                                     "replacing that archive.")
                          .arg(aside));
            EXPECT_EQ(RemoteFiles(), (TFiles{{QStringLiteral("db.zip"), "old"}}));
        }
        EXPECT_EQ(lines[1],
                  QStringLiteral("Removed \"db.zip.part.vandrel\" from the FTP server: an earlier upload that did not "
                                 "finish left it there."));
    }
}

struct TNotFoundCase
{
    const char* Name;
    const char* ServerFile; ///< created in the directory ("" for none)
    bool AsDirectory;
    QByteArray Contents;
};

class UFtpTransferNotFoundTest : public UFtpTransferTest, public ::testing::WithParamInterface<TNotFoundCase>
{
};

TEST_P(UFtpTransferNotFoundTest, Download_ReportsServerDirectoryAndCreatesNothing)
{
    const TNotFoundCase& row = GetParam();
    StartServer();
    const QString directory = Root() + QStringLiteral("/it's");
    ASSERT_TRUE(QDir().mkpath(directory));
    WriteText(directory + QStringLiteral("/other.zip"), "x");
    if (row.AsDirectory)
        ASSERT_TRUE(QDir().mkpath(directory + QLatin1Char('/') + QString::fromUtf8(row.ServerFile)));
    else if (*row.ServerFile)
        WriteText(directory + QLatin1Char('/') + QString::fromUtf8(row.ServerFile), row.Contents);

    const QString target = Local() + QStringLiteral("/archive.zip");
    TFtpTransfer ftp(Address(QStringLiteral("it's")), cUser, cPassword);
    ASSERT_EQ(ftp.Download(QStringLiteral("archive.zip"), target), frNotFound);
    EXPECT_EQ(NotFoundLine(ftp.ServerDirectory(), QStringLiteral("archive.zip")),
              QStringLiteral("FTP Directory '/it''s' does not appear to contain a file named: archive.zip"));
    EXPECT_TRUE(LocalFiles().isEmpty());
}

// clang-format off
const TNotFoundCase cNotFoundCases[] = {
    {"Missing",          "",            false, {}},
    {"OtherLetterCase",  "Archive.ZIP", false, "data"},
    {"EmptyFile",        "archive.zip", false, {}},
    {"DirectoryOfName",  "archive.zip", true,  {}},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(NotFound,
                         UFtpTransferNotFoundTest,
                         ::testing::ValuesIn(cNotFoundCases),
                         [](const auto& aInfo) { return std::string(aInfo.param.Name); });

TEST_F(UFtpTransferTest, Failures_RaiseClearErrorsAndKeepTheLocalArchive)
{
    StartServer();
    const QString target = Local() + QStringLiteral("/archive.zip");
    WriteText(target, "kept");
    WriteText(Root() + QStringLiteral("/archive.zip"), "remote");
    struct TCase
    {
        const char* Name;
        QString Address;
        QString Password;
        bool Download;
        QString LocalFile;
        const char* Expected;
    };
    const QString missingLocal = Local() + QStringLiteral("/missing.zip");
    // clang-format off
    const TCase cases[] = {
        {"login refused",      Address(),                      QStringLiteral("wrong"), true,  target,       "530"},
        {"directory missing",  Address(QStringLiteral("nope")), cPassword,              true,  target,       "550"},
        {"host not found",     QStringLiteral("vandrel-test.invalid/x"), cPassword,     true,  target,       "resolve"},
        {"connection refused", QStringLiteral("127.0.0.1:1"),   cPassword,              false, target,       "onnect"},
        {"local file missing", Address(),                       cPassword,              false, missingLocal, "missing.zip"},
    };
    // clang-format on
    for (const TCase& row : cases) {
        SCOPED_TRACE(row.Name);
        TFtpTransfer ftp(row.Address, cUser, row.Password);
        try {
            if (row.Download)
                ftp.Download(QStringLiteral("archive.zip"), row.LocalFile);
            else
                ftp.Upload(row.LocalFile, QStringLiteral("archive.zip"));
            ADD_FAILURE() << "no error raised";
        } catch (const EVandrel& e) {
            EXPECT_TRUE(e.Message().contains(QString::fromUtf8(row.Expected))) << e.Message().toStdString();
        }
        QFile kept(target);
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), QByteArray("kept"));
        EXPECT_EQ(LocalFiles(), QStringList{QStringLiteral("archive.zip")});
    }
    QFile remote(Root() + QStringLiteral("/archive.zip"));
    ASSERT_TRUE(remote.open(QIODevice::ReadOnly));
    EXPECT_EQ(remote.readAll(), QByteArray("remote"));
}

/// A file system of 256 KiB mounted on a directory for the life of the object, in a mount namespace of the calling
/// thread only, so that nothing outlives the test, not even after a crash. Needs root: Mounted() tells.
class TSmallFileSystem
{
public:
    explicit TSmallFileSystem(const QString& aPath)
    {
        FOriginal = ::open("/proc/thread-self/ns/mnt", O_RDONLY | O_CLOEXEC);
        FDirectory = ::open(".", O_RDONLY | O_CLOEXEC | O_DIRECTORY);
        if (FOriginal < 0 || FDirectory < 0 || ::unshare(CLONE_NEWNS) != 0)
            return;
        FUnshared = true;
        const QByteArray path = QFile::encodeName(aPath);
        FMounted = ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   ::mount("vandrel-test", path.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k") == 0;
    }
    TSmallFileSystem(const TSmallFileSystem&) = delete;
    TSmallFileSystem& operator=(const TSmallFileSystem&) = delete;
    /// Goes back to the original namespace; the test's one ends with its mount.
    ~TSmallFileSystem()
    {
        if (FUnshared) {
            EXPECT_EQ(::setns(FOriginal, CLONE_NEWNS), 0) << std::strerror(errno);
            EXPECT_EQ(::fchdir(FDirectory), 0) << std::strerror(errno); // setns moved to the root
        }
        for (int fd : {FOriginal, FDirectory})
            if (fd >= 0)
                ::close(fd);
    }
    bool Mounted() const { return FMounted; }

private:
    int FOriginal = -1;
    int FDirectory = -1;
    bool FUnshared = false;
    bool FMounted = false;
};

void IgnoreSignal(int) {}

/// Lowers the process's file size limit for the life of the object: a write beyond it fails with EFBIG.
class TFileSizeLimit
{
public:
    explicit TFileSizeLimit(rlim_t aBytes)
    {
        struct sigaction quiet = {};
        quiet.sa_handler = &IgnoreSignal; // instead of the signal's default: ending the process
        ::sigaction(SIGXFSZ, &quiet, &FOldAction);
        ::getrlimit(RLIMIT_FSIZE, &FOld);
        rlimit lowered = FOld;
        lowered.rlim_cur = aBytes;
        FSet = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;
    ~TFileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &FOld);
        ::sigaction(SIGXFSZ, &FOldAction, nullptr);
    }
    bool Set() const { return FSet; }

private:
    rlimit FOld = {};
    struct sigaction FOldAction = {};
    bool FSet = false;
};

enum TLocalLimit : int { llSmallFileSystem, llFileSizeLimit };

struct TWriteFailureCase
{
    const char* Name;
    TLocalLimit Limit;
    int Errno; ///< the reason the write fails with
};

class UFtpTransferWriteFailureTest : public UFtpTransferTest, public ::testing::WithParamInterface<TWriteFailureCase>
{
};

TEST_P(UFtpTransferWriteFailureTest, Download_SaysWhyTheLocalWriteFailed_AndKeepsTheOldArchive)
{
    const TWriteFailureCase& row = GetParam();
    StartServer();
    WriteRandomFile(Root() + QStringLiteral("/db.zip"), 1024 * 1024, 9);
    std::optional<TSmallFileSystem> small;
    if (row.Limit == llSmallFileSystem) {
        small.emplace(Local());
        if (!small->Mounted())
            GTEST_SKIP() << "mounting a small file system needs root";
    }
    const QString target = Local() + QStringLiteral("/db.zip");
    WriteText(target, "older archive");
    std::optional<TFileSizeLimit> limit;
    if (row.Limit == llFileSizeLimit) {
        limit.emplace(64 * 1024);
        ASSERT_TRUE(limit->Set());
    }
    {
        TFtpTransfer ftp(Address(), cUser, cPassword);
        try {
            ftp.Download(QStringLiteral("db.zip"), target);
            ADD_FAILURE() << "no error raised";
        } catch (const EVandrel& e) {
            const QString reason = QString::fromLocal8Bit(std::strerror(row.Errno));
            EXPECT_EQ(e.Message(),
                      QStringLiteral("Cannot write \"%1\": %2\r\nUnable to download \"db.zip\" from FTP server \"%3\".")
                          .arg(target, reason, Address()));
        }
    }
    limit.reset();
    EXPECT_EQ(LocalFiles(), QStringList{QStringLiteral("db.zip")});
    QFile kept(target);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("older archive"));
}

// clang-format off
const TWriteFailureCase cWriteFailureCases[] = {
    {"DiskFull",      llSmallFileSystem, ENOSPC},  // "No space left on device"
    {"FileSizeLimit", llFileSizeLimit,   EFBIG},   // needs no root
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(LocalWrite,
                         UFtpTransferWriteFailureTest,
                         ::testing::ValuesIn(cWriteFailureCases),
                         [](const auto& aInfo) { return std::string(aInfo.param.Name); });

unsigned Mode(const QString& aPath)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(aPath).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(UFtpTransferTest, Download_FilesAreForTheOwnerOnly_WhateverTheUmask)
{
    StartServer();
    WriteRandomFile(Root() + QStringLiteral("/db.zip"), 3 * 1024 * 1024, 10);
    const mode_t mask = ::umask(0);
    TFinally restoreMask([mask]() noexcept { ::umask(mask); });
    const QString target = Local() + QStringLiteral("/db.zip");
    for (bool replace : {false, true}) {
        SCOPED_TRACE(replace ? "replacing a file readable by all" : "a new file");
        QFile::remove(target);
        if (replace) {
            WriteText(target, "older archive");
            ASSERT_EQ(Mode(target), 0666u);
        }
        std::vector<unsigned> temporaryModes;
        TFtpTransfer ftp(Address(), cUser, cPassword);
        ftp.SetWorkHandler([&](qint64, qint64) {
            for (const QString& name : LocalFiles())
                if (name != QStringLiteral("db.zip"))
                    temporaryModes.push_back(Mode(Local() + QLatin1Char('/') + name));
            return true;
        });
        ASSERT_EQ(ftp.Download(QStringLiteral("db.zip"), target), frDone);
        EXPECT_FALSE(temporaryModes.empty()) << "no temporary file seen while the transfer ran";
        for (unsigned mode : temporaryModes)
            EXPECT_EQ(mode, 0600u);
        EXPECT_EQ(Mode(target), 0600u);
        EXPECT_EQ(FileHash(target), FileHash(Root() + QStringLiteral("/db.zip")));
    }
}

TEST_F(UFtpTransferTest, LineBreaks_RefusedBeforeAnythingIsSent)
{
    StartServer();
    WriteText(Local() + QStringLiteral("/a.zip"), "data");
    struct TCase
    {
        QString Address, User, FileName;
    };
    const QString injected = QStringLiteral("x\r\nDELE a.zip");
    const TCase cases[] = {{Address(injected), cUser, QStringLiteral("a.zip")},
                           {Address(), cUser + QStringLiteral("\n"), QStringLiteral("a.zip")},
                           {Address(), cUser, injected},
                           {Address(), cUser, QStringLiteral("a.zip\r")}};
    for (const TCase& row : cases) {
        SCOPED_TRACE(row.Address.toStdString() + " / " + row.User.toStdString() + " / " + row.FileName.toStdString());
        TRecorder recorder;
        try {
            TFtpTransfer ftp(row.Address, row.User, cPassword);
            recorder.Attach(ftp);
            ftp.Upload(Local() + QStringLiteral("/a.zip"), row.FileName);
            ADD_FAILURE() << "no error raised";
        } catch (const EVandrel& e) {
            EXPECT_TRUE(e.Message().contains(QStringLiteral("line break"))) << e.Message().toStdString();
        }
        EXPECT_FALSE(recorder.Saw(fsConnecting));
    }
    EXPECT_TRUE(QDir(Root()).entryList(QDir::Files).isEmpty());
}

TEST_F(UFtpTransferTest, Cancel_KeepsOldArchivesAndLeavesNoTemporaryFile)
{
    // A throttled server (it sends a second's worth at once, then waits): on the loopback the whole file would arrive
    // between two progress calls of libcurl.
    StartServer({QStringLiteral("--max-rate"), QStringLiteral("2000000")});
    constexpr qint64 cSize = 8 * 1024 * 1024;
    WriteRandomFile(Root() + QStringLiteral("/big.zip"), cSize, 3);
    WriteRandomFile(Local() + QStringLiteral("/upload.zip"), cSize, 4);
    const QString target = Local() + QStringLiteral("/big.zip");
    WriteText(target, "older archive");
    const QByteArray remoteBefore = FileHash(Root() + QStringLiteral("/big.zip"));

    TRecorder down;
    down.CancelAfter = 1024 * 1024;
    {
        TFtpTransfer ftp(Address(), cUser, cPassword);
        down.Attach(ftp);
        EXPECT_EQ(ftp.Download(QStringLiteral("big.zip"), target), frCanceled);
        EXPECT_TRUE(ftp.Abandoned());
    }
    EXPECT_LT(down.Work.back().first, cSize);
    EXPECT_TRUE(down.Saw(fsTransferAborted));
    QFile kept(target);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("older archive"));
    EXPECT_EQ(LocalFiles(), (QStringList{QStringLiteral("big.zip"), QStringLiteral("upload.zip")}));

    TRecorder up;
    up.CancelAfter = 1024 * 1024;
    {
        TFtpTransfer ftp(Address(), cUser, cPassword);
        up.Attach(ftp);
        EXPECT_EQ(ftp.Upload(Local() + QStringLiteral("/upload.zip"), QStringLiteral("big.zip")), frCanceled);
    }
    EXPECT_LT(up.Work.back().first, cSize);
    EXPECT_EQ(FileHash(Root() + QStringLiteral("/big.zip")), remoteBefore);
    EXPECT_EQ(QDir(Root()).entryList(QDir::Files), QStringList{QStringLiteral("big.zip")});
}

TEST_F(UFtpTransferTest, StalledDataConnection_FailsClearlyInsteadOfHanging)
{
    // The data connections stop moving bytes after 256 KiB but stay open, as a hung server or network does.
    StartServer({QStringLiteral("--stall-after"), QString::number(256 * 1024)});
    constexpr qint64 cSize = 8 * 1024 * 1024;
    WriteRandomFile(Root() + QStringLiteral("/big.zip"), cSize, 5);
    WriteRandomFile(Local() + QStringLiteral("/upload.zip"), cSize, 6);
    const QString target = Local() + QStringLiteral("/big.zip");
    WriteText(target, "older archive");
    const QByteArray remoteBefore = FileHash(Root() + QStringLiteral("/big.zip"));

    for (const bool download : {true, false}) {
        SCOPED_TRACE(download ? "download" : "upload");
        QElapsedTimer elapsed;
        elapsed.start();
        TFtpTransfer ftp(Address(), cUser, cPassword);
        ftp.SetStallTimeout(std::chrono::seconds(1));
        try {
            if (download)
                ftp.Download(QStringLiteral("big.zip"), target);
            else
                ftp.Upload(Local() + QStringLiteral("/upload.zip"), QStringLiteral("big.zip"));
            ADD_FAILURE() << "no error raised";
        } catch (const EVandrel& e) {
            EXPECT_TRUE(e.Message().startsWith(QStringLiteral("The transfer stalled: no data moved for 1 seconds\r\n")))
                << e.Message().toStdString();
        }
        EXPECT_LT(elapsed.elapsed(), 30000);
    }
    QFile kept(target);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("older archive"));
    EXPECT_EQ(LocalFiles(), (QStringList{QStringLiteral("big.zip"), QStringLiteral("upload.zip")}));
    EXPECT_EQ(FileHash(Root() + QStringLiteral("/big.zip")), remoteBefore);
    EXPECT_EQ(QDir(Root()).entryList(QDir::Files), QStringList{QStringLiteral("big.zip")});
}

TEST_F(UFtpTransferTest, CleanUpAfterCancel_KeepsCallingTheIdleHandler)
{
    // A slow DELE: the removal of the cancelled upload's temporary file takes seconds, during which the window
    // must go on processing its events.
    StartServer({QStringLiteral("--delay"), QStringLiteral("DELE=2")});
    WriteRandomFile(Local() + QStringLiteral("/upload.zip"), 8 * 1024 * 1024, 7);
    TRecorder up;
    up.CancelAfter = 1024 * 1024;
    int idleCalls = 0;
    qint64 workCallsAtCancel = -1;
    {
        TFtpTransfer ftp(Address(), cUser, cPassword);
        up.Attach(ftp);
        ftp.SetIdleHandler([&] {
            ++idleCalls;
            workCallsAtCancel = static_cast<qint64>(up.Work.size());
        });
        EXPECT_EQ(ftp.Upload(Local() + QStringLiteral("/upload.zip"), QStringLiteral("db.zip")), frCanceled);
    }
    EXPECT_GE(idleCalls, 1);
    EXPECT_EQ(workCallsAtCancel, static_cast<qint64>(up.Work.size())); // no progress reports after the cancel
    EXPECT_TRUE(QDir(Root()).entryList(QDir::Files).isEmpty());
}

TEST_F(UFtpTransferTest, RoundTrip_50MB_WithThrottledProgress)
{
    StartServer();
    constexpr qint64 cSize = 50LL * 1024 * 1024;
    const QString source = Local() + QStringLiteral("/db.zip");
    WriteRandomFile(source, cSize, 50);
    for (bool download : {false, true}) {
        SCOPED_TRACE(download ? "download" : "upload");
        TRecorder recorder;
        QElapsedTimer timer;
        timer.start();
        {
            TFtpTransfer ftp(Address(), cUser, cPassword);
            recorder.Attach(ftp);
            const TFtpResult result = download ? ftp.Download(QStringLiteral("db.zip"), source)
                                               : ftp.Upload(source, QStringLiteral("db.zip"));
            EXPECT_EQ(result, frDone);
        }
        const qint64 elapsedMs = timer.elapsed();
        EXPECT_EQ(FileHash(Root() + QStringLiteral("/db.zip")), FileHash(source));
        EXPECT_EQ(recorder.Work.back(), std::make_pair(cSize, cSize));
        // One call per percent, plus one per 50 ms, plus the listing's and the final one.
        EXPECT_LE(static_cast<qint64>(recorder.Work.size()), 101 + elapsedMs / 50 + 4);
    }
}

struct TListCase
{
    const char* Name;
    const char* Line;
    bool Parsed;
    const char* EntryName;
    qint64 Size;
    bool IsDirectory;
};

class UFtpTransferListingTest : public ::testing::TestWithParam<TListCase>
{
};

TEST_P(UFtpTransferListingTest, ParseListLine)
{
    const TListCase& row = GetParam();
    const auto entry = ParseListLine(QString::fromUtf8(row.Line));
    ASSERT_EQ(entry.has_value(), row.Parsed);
    if (!entry)
        return;
    EXPECT_EQ(entry->Name, QString::fromUtf8(row.EntryName));
    EXPECT_EQ(entry->Size, row.Size);
    EXPECT_EQ(entry->IsDirectory, row.IsDirectory);
}

// clang-format off
const TListCase cListCases[] = {
    {"UnixFile",           "-rw-r--r--    1 ftp      ftp       1048576 Mar 14 09:26 db.zip", true, "db.zip", 1048576, false},
    {"UnixYearAndBlanks",  "-rw-r--r--   1 owner group 2048 Jan  5  2023 my  archive .zip", true, "my  archive .zip", 2048, false},
    {"UnixLeadingBlank",   "-rw-r--r--   1 owner group 12 Jan  5  2023  lead.zip", true, " lead.zip", 12, false},
    {"UnixHuge",           "-rw-rw-r-- 1 1000 1000 5368709120 Dec 31 23:59 big.zip\r", true, "big.zip", 5368709120LL, false},
    {"UnixNoGroup",        "-rw-r--r-- 1 user 777 Feb 29 2024 ng.zip", true, "ng.zip", 777, false},
    {"UnixNumericGroup",   "-rw-r--r-- 1 ftp 50 4096 Jan 5 2023 gid.zip", true, "gid.zip", 4096, false},
    {"UnixDateInName",     "-rw-r--r-- 1 a b 9 Jan 5 12:00 x 5 Feb 1 12:00 y", true, "x 5 Feb 1 12:00 y", 9, false},
    {"UnixSymlink",        "lrwxrwxrwx 1 root root 11 Apr  1 10:00 latest.zip -> db-2024.zip", true, "latest.zip", 11, false},
    {"UnixDirectory",      "drwxr-xr-x 2 ftp ftp 4096 Jun 30 18:05 backups", true, "backups", 4096, true},
    {"UnixUtf8Name",       "-rw-r--r-- 1 u g 3 Jul 4 08:00 \xc3\xa9t\xc3\xa9.zip", true, "\xc3\xa9t\xc3\xa9.zip", 3, false},
    {"UnixLocalMonth",     "-rw-r--r-- 1 u g 42 M\xc3\xa4r 3 11:15 local.zip", true, "local.zip", 42, false},
    {"WindowsFile",        "03-14-24  09:26AM              1048576 db.zip", true, "db.zip", 1048576, false},
    {"WindowsBlanks",      "12-31-2023  11:59PM           3000000000 my archive.zip", true, "my archive.zip", 3000000000LL, false},
    {"WindowsDirectory",   "01-02-24  01:05PM       <DIR>          Old Backups", true, "Old Backups", 0, true},
    {"Total",              "total 123", false, "", 0, false},
    {"Empty",              "", false, "", 0, false},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Listing, UFtpTransferListingTest, ::testing::ValuesIn(cListCases), [](const auto& aInfo) {
    return std::string(aInfo.param.Name);
});

TEST(UFtpTransferHelpersTest, OwnNames_FollowOnePatternAndAreRecognisedExactly)
{
    const QString name = QStringLiteral("db.zip");
    for (const TNameCase& row : cNameCases)
        EXPECT_EQ(TFtpTransfer::IsOwnName(QString::fromUtf8(row.Name), name), row.Own) << row.Name;
    EXPECT_EQ(TFtpTransfer::TemporaryName(name), QStringLiteral("db.zip.part.vandrel"));
    const QString aside = TFtpTransfer::AsideName(name);
    EXPECT_TRUE(TFtpTransfer::IsAsideName(aside, name)) << aside.toStdString();
    EXPECT_FALSE(TFtpTransfer::IsAsideName(TFtpTransfer::TemporaryName(name), name));
    EXPECT_FALSE(TFtpTransfer::IsAsideName(aside + QLatin1Char('\n'), name));
    EXPECT_NE(TFtpTransfer::AsideName(name), aside);
    // The archive's name is taken as it is, never as a pattern.
    EXPECT_FALSE(TFtpTransfer::IsAsideName(QStringLiteral("dbXzip.old-0123456789abcdef.vandrel"), name));
    EXPECT_TRUE(TFtpTransfer::IsAsideName(QStringLiteral("a+b (1).zip.old-0123456789abcdef.vandrel"),
                                          QStringLiteral("a+b (1).zip")));
}

TEST(UFtpTransferHelpersTest, RemoteNames_APathBelowTheDirectory_OrRefusedBeforeAnythingIsSent)
{
    struct TSplit
    {
        QString Name, Folder, Leaf;
    };
    const TSplit splits[] = {{QStringLiteral("db.zip"), QString(), QStringLiteral("db.zip")},
                             {QStringLiteral("a/b/db.zip"), QStringLiteral("a/b"), QStringLiteral("db.zip")},
                             {QStringLiteral("x..zip"), QString(), QStringLiteral("x..zip")},
                             {QStringLiteral(".hidden"), QString(), QStringLiteral(".hidden")},
                             {QStringLiteral("a b/c:d.zip"), QStringLiteral("a b"), QStringLiteral("c:d.zip")}};
    for (const TSplit& row : splits) {
        const TRemoteName name = SplitRemoteName(row.Name);
        EXPECT_EQ(name.Folder, row.Folder);
        EXPECT_EQ(name.Leaf, row.Leaf);
    }
    // Names that leave the directory, or that a server would read otherwise.
    for (const char* refused : {"../escaped.zip",
                                "..",
                                "a/../../b.zip",
                                "/etc/x.zip",
                                "\\x.zip",
                                "C:x.zip",
                                "a\\..\\b.zip",
                                "a//b.zip",
                                "./x.zip",
                                "x\tzip",
                                "x\x7f.zip",
                                ""}) {
        EXPECT_THROW(SplitRemoteName(QString::fromUtf8(refused)), EVandrel) << refused;
    }
    EXPECT_EQ(AddressWithFolder(QStringLiteral("host:21/in/"), QStringLiteral("a/b")),
              QStringLiteral("host:21/in/a/b"));
    EXPECT_EQ(AddressWithFolder(QStringLiteral("[::1]:2121"), QString()), QStringLiteral("[::1]:2121"));
}

TEST(UFtpTransferHelpersTest, AddressSplit_PwdReply_AndFirstListedMatchWins)
{
    struct TSplit
    {
        QString Url, Host, Directory;
    };
    const TSplit splits[] = {{QStringLiteral("ftp.example.com"), QStringLiteral("ftp.example.com"), QString()},
                             {QStringLiteral("ftp.example.com/"), QStringLiteral("ftp.example.com"), QString()},
                             {QStringLiteral("host:2121/a/b"), QStringLiteral("host:2121"), QStringLiteral("a/b")}};
    for (const TSplit& row : splits) {
        const TFtpAddress address = SplitAddress(row.Url);
        EXPECT_EQ(address.Host, row.Host);
        EXPECT_EQ(address.Directory, row.Directory);
    }
    EXPECT_EQ(ParsePwdReply(QStringLiteral("257 \"/a \"\"q\"\" b\" is the current directory.")),
              QStringLiteral("/a \"q\" b"));
    const QList<TFtpListEntry> entries{
        {QStringLiteral("x.zip"), 5, false}, {QStringLiteral("X.zip"), 6, false}, {QStringLiteral("x.zip"), 7, false}};
    EXPECT_EQ(FindFileSize(entries, QStringLiteral("x.zip")), 5);
    EXPECT_EQ(FindFileSize(entries, QStringLiteral("x.ZIP")), -1);
}

} // namespace
