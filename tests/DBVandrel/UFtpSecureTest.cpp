// SPDX-License-Identifier: MIT
// The secure protocols against real loopback servers: FTPS with explicit and implicit TLS (pyftpdlib), SFTP
// (asyncssh), passive and active mode, IPv6, and how a server's identity comes to be trusted.
#include "UFtpTransfer.h"

#include "EVandrel.h"
#include "TServerProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

using namespace UFtpTransfer;

inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

namespace {

const QString cUser = QStringLiteral("vandrel");
const QString cPassword = QStringLiteral("secret");

/// Runs a tool to its end and returns its standard output; fails the test when it does not succeed.
QByteArray RunTool(const QString& aProgram, const QStringList& aArguments)
{
    QProcess process;
    process.start(aProgram, aArguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        ADD_FAILURE() << aProgram.toStdString() << " failed: " << process.readAllStandardError().toStdString();
        return {};
    }
    return process.readAllStandardOutput();
}

QByteArray ReadAll(const QString& aPath)
{
    QFile file(aPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& aPath, const QByteArray& aData)
{
    QFile file(aPath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << aPath.toStdString();
    ASSERT_EQ(file.write(aData), aData.size());
}

QByteArray RandomBytes(qsizetype aSize, quint32 aSeed)
{
    QRandomGenerator random(aSeed);
    std::vector<quint32> words(static_cast<size_t>((aSize + 3) / 4));
    random.fillRange(words.data(), static_cast<qsizetype>(words.size()));
    return QByteArray(reinterpret_cast<const char*>(words.data()), aSize);
}

/// A test's servers, keys, certificates and trust files, all in one temporary folder.
class UFtpSecureTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FTemp.isValid());
        ASSERT_TRUE(QDir().mkpath(Root() + QStringLiteral("/in")));
        ASSERT_TRUE(QDir().mkpath(Local()));
    }

    QString Path(const QString& aName) const { return FTemp.filePath(aName); }
    QString Root() const { return Path(QStringLiteral("root")); }
    QString Local() const { return Path(QStringLiteral("local")); }

    /// A self-signed certificate for 127.0.0.1, ::1 and localhost: "<aName>.pem" holds it with its key (the
    /// server's), "<aName>.crt" the certificate alone. Returns its SHA-256 fingerprint as OpenSSL shows it.
    QString MakeCertificate(const QString& aName)
    {
        const QString key = Path(aName + QStringLiteral(".key"));
        const QString crt = Path(aName + QStringLiteral(".crt"));
        RunTool(QStringLiteral("openssl"),
                {QStringLiteral("req"),
                 QStringLiteral("-x509"),
                 QStringLiteral("-newkey"),
                 QStringLiteral("rsa:2048"),
                 QStringLiteral("-nodes"),
                 QStringLiteral("-keyout"),
                 key,
                 QStringLiteral("-out"),
                 crt,
                 QStringLiteral("-days"),
                 QStringLiteral("2"),
                 QStringLiteral("-subj"),
                 QStringLiteral("/CN=vandrel test server"),
                 QStringLiteral("-addext"),
                 QStringLiteral("subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost")});
        WriteAll(Path(aName + QStringLiteral(".pem")), ReadAll(key) + ReadAll(crt));
        const QByteArray line = RunTool(QStringLiteral("openssl"),
                                        {QStringLiteral("x509"),
                                         QStringLiteral("-in"),
                                         crt,
                                         QStringLiteral("-noout"),
                                         QStringLiteral("-fingerprint"),
                                         QStringLiteral("-sha256")});
        return QString::fromLatin1(line.mid(line.indexOf('=') + 1).trimmed());
    }

    /// A new ed25519 key pair "<aName>" / "<aName>.pub" (with aPassphrase); returns its SHA256 fingerprint.
    QString MakeSshKey(const QString& aName, const QString& aPassphrase = QString())
    {
        const QString key = Path(aName);
        QFile::remove(key);
        QFile::remove(key + QStringLiteral(".pub"));
        RunTool(QStringLiteral("ssh-keygen"),
                {QStringLiteral("-q"),
                 QStringLiteral("-t"),
                 QStringLiteral("ed25519"),
                 QStringLiteral("-N"),
                 aPassphrase,
                 QStringLiteral("-f"),
                 key});
        const QList<QByteArray> fields =
            RunTool(QStringLiteral("ssh-keygen"), {QStringLiteral("-lf"), key + QStringLiteral(".pub")}).split(' ');
        return fields.size() > 1 ? QString::fromLatin1(fields[1]) : QString();
    }

    /// Starts the FTPS server (aMode "explicit" or "implicit") on aBind with the certificate "server"; aLog logs
    /// its commands (only for short sessions: the log goes through a pipe that a long one would fill); aExtra are
    /// further options of the server.
    void StartFtps(const QString& aMode,
                   const QString& aBind = QStringLiteral("127.0.0.1"),
                   bool aLog = false,
                   const QStringList& aExtra = {})
    {
        QStringList args{QStringLiteral("--root"),
                         Root(),
                         QStringLiteral("--user"),
                         cUser + QLatin1Char(':') + cPassword,
                         QStringLiteral("--bind"),
                         aBind,
                         QStringLiteral("--tls"),
                         aMode,
                         QStringLiteral("--cert"),
                         Path(QStringLiteral("server.pem"))};
        if (aLog)
            args << QStringLiteral("--log-commands");
        args += aExtra;
        FServer.Stop();
        FServer.StartPython(QStringLiteral("tests/support/ftpserver.py"), args);
    }

    /// Starts the plain FTP server on aBind.
    void StartFtp(const QString& aBind = QStringLiteral("127.0.0.1"))
    {
        FServer.Stop();
        FServer.StartPython(QStringLiteral("tests/support/ftpserver.py"),
                            {QStringLiteral("--root"),
                             Root(),
                             QStringLiteral("--user"),
                             cUser + QLatin1Char(':') + cPassword,
                             QStringLiteral("--bind"),
                             aBind});
    }

    /// Starts the SFTP server on aBind with the host key aHostKey; the client key "client.pub" is authorised
    /// when it exists.
    void StartSftp(const QString& aHostKey, const QString& aBind = QStringLiteral("127.0.0.1"))
    {
        FServer.Stop();
        QStringList args{QStringLiteral("--root"),
                         Root(),
                         QStringLiteral("--host-key"),
                         Path(aHostKey),
                         QStringLiteral("--bind"),
                         aBind,
                         QStringLiteral("--user"),
                         cUser + QLatin1Char(':') + cPassword};
        if (QFile::exists(Path(QStringLiteral("client.pub"))))
            args << QStringLiteral("--authorized-key") << Path(QStringLiteral("client.pub"));
        FServer.StartPython(QStringLiteral("tests/support/sftpserver.py"), args);
    }

    /// The address of the running server: aHost with its port, and the directory "in".
    QString Address(const QString& aHost = QStringLiteral("127.0.0.1")) const
    {
        return QStringLiteral("%1:%2/in").arg(aHost).arg(FServer.Port());
    }

    /// Options whose trust files are this test's own.
    TFtpOptions Options(TFtpProtocol aProtocol, bool aPassive = true) const
    {
        TFtpOptions options;
        options.Protocol = aProtocol;
        options.Passive = aPassive;
        options.TrustedCertsFile = Path(QStringLiteral("trust/trusted-certs.pem"));
        options.KnownHostsFile = Path(QStringLiteral("trust/known_hosts"));
        options.UserKnownHostsFile = Path(QStringLiteral("user_known_hosts"));
        return options;
    }

    /// The message of the error aAction raises; empty (and a failure) when it raises none.
    template <typename TAction> QString ErrorOf(TAction aAction)
    {
        try {
            aAction();
        } catch (const EVandrel& e) {
            return e.Message();
        }
        ADD_FAILURE() << "no error raised";
        return {};
    }

    QTemporaryDir FTemp;
    TServerProcess FServer;
};

struct TProtocolRow
{
    const char* Name;
    TFtpProtocol Protocol;
    bool Passive;
    const char* Host;
};

class UFtpProtocolTest : public UFtpSecureTest, public ::testing::WithParamInterface<TProtocolRow>
{
};

// Each protocol and mode: a round trip byte for byte, a missing file that ends the download, a refused password.
TEST_P(UFtpProtocolTest, RoundTrip_MissingFile_WrongPassword)
{
    const TProtocolRow& row = GetParam();
    const QString host = QString::fromLatin1(row.Host);
    const QString bind = host.startsWith(QLatin1Char('[')) ? QStringLiteral("::1") : QStringLiteral("127.0.0.1");
    const TFtpOptions options = Options(row.Protocol, row.Passive);
    ASSERT_TRUE(QDir().mkpath(Path(QStringLiteral("trust"))));
    if (row.Protocol == fpSftp) {
        MakeSshKey(QStringLiteral("host"));
        StartSftp(QStringLiteral("host"), bind);
        // The key is known beforehand, as an administrator prepares it for unattended runs.
        const QString name = QStringLiteral("[%1]:%2").arg(bind).arg(FServer.Port());
        const QList<QByteArray> pub = ReadAll(Path(QStringLiteral("host.pub"))).split(' ');
        WriteAll(options.KnownHostsFile, name.toLatin1() + ' ' + pub[0] + ' ' + pub[1] + '\n');
    } else if (row.Protocol == fpFtp) {
        StartFtp(bind);
    } else {
        MakeCertificate(QStringLiteral("server"));
        StartFtps(row.Protocol == fpFtps ? QStringLiteral("implicit") : QStringLiteral("explicit"), bind);
        WriteAll(options.TrustedCertsFile, ReadAll(Path(QStringLiteral("server.crt"))));
    }
    const QByteArray original = RandomBytes(2 * 1024 * 1024 + 3, 5);
    WriteAll(Local() + QStringLiteral("/up.zip"), original);
    const QString target = Local() + QStringLiteral("/down.zip");
    {
        TFtpTransfer ftp(Address(host), cUser, cPassword, options);
        ASSERT_EQ(ftp.Upload(Local() + QStringLiteral("/up.zip"), QStringLiteral("db 1.zip")), frDone);
    }
    EXPECT_EQ(QDir(Root() + QStringLiteral("/in")).entryList(QDir::Files), QStringList{QStringLiteral("db 1.zip")});
    EXPECT_EQ(ReadAll(Root() + QStringLiteral("/in/db 1.zip")), original);
    {
        // A second upload replaces the first by way of the commit routine.
        TFtpTransfer ftp(Address(host), cUser, cPassword, options);
        ASSERT_EQ(ftp.Upload(Local() + QStringLiteral("/up.zip"), QStringLiteral("db 1.zip")), frDone);
        ASSERT_EQ(ftp.Download(QStringLiteral("db 1.zip"), target), frDone);
    }
    EXPECT_EQ(QDir(Root() + QStringLiteral("/in")).entryList(QDir::Files), QStringList{QStringLiteral("db 1.zip")});
    EXPECT_EQ(ReadAll(target), original);
    {
        TFtpTransfer ftp(Address(host), cUser, cPassword, options);
        EXPECT_EQ(ftp.Download(QStringLiteral("missing.zip"), target), frNotFound);
        EXPECT_TRUE(ftp.ServerDirectory().endsWith(QStringLiteral("/in"))) << ftp.ServerDirectory().toStdString();
    }
    EXPECT_EQ(ReadAll(target), original) << "the local archive stays";
    const QString refused = ErrorOf([&] {
        TFtpTransfer ftp(Address(host), cUser, QStringLiteral("wrong"), options);
        ftp.Download(QStringLiteral("db 1.zip"), target);
    });
    EXPECT_TRUE(refused.startsWith(QStringLiteral("Authentication failed"))) << refused.toStdString();
    EXPECT_EQ(QDir(Local()).entryList(QDir::Files),
              (QStringList{QStringLiteral("down.zip"), QStringLiteral("up.zip")}));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Protocols, UFtpProtocolTest, ::testing::Values(
    TProtocolRow{"FtpActive", fpFtp, false, "127.0.0.1"},
    TProtocolRow{"FtpPassiveIPv6", fpFtp, true, "[::1]"},
    TProtocolRow{"FtpActiveIPv6", fpFtp, false, "[::1]"},
    TProtocolRow{"FtpesPassive", fpFtpes, true, "127.0.0.1"},
    TProtocolRow{"FtpsImplicitPassiveIPv6", fpFtps, true, "[::1]"},
    TProtocolRow{"Sftp", fpSftp, true, "127.0.0.1"},
    TProtocolRow{"SftpIPv6", fpSftp, true, "[::1]"}),
    [](const ::testing::TestParamInfo<TProtocolRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

// An unknown certificate fails before the login with its fingerprint; trusted once, it works from then on.
TEST_F(UFtpSecureTest, Ftps_UntrustedCertificate_FailsWithFingerprint_ThenTrusted)
{
    const QString fingerprint = MakeCertificate(QStringLiteral("server"));
    StartFtps(QStringLiteral("explicit"), QStringLiteral("127.0.0.1"), true);
    WriteAll(Root() + QStringLiteral("/in/db.zip"), "archive");
    const TFtpOptions options = Options(fpFtpes);
    const QString target = Local() + QStringLiteral("/db.zip");

    const QString error = ErrorOf([&] {
        TFtpTransfer ftp(Address(), cUser, cPassword, options);
        ftp.Download(QStringLiteral("db.zip"), target);
    });
    EXPECT_TRUE(error.contains(QStringLiteral("SHA-256 fingerprint: ") + fingerprint)) << error.toStdString();
    EXPECT_TRUE(error.contains(QStringLiteral("vandrel test server"))) << error.toStdString();
    EXPECT_TRUE(error.contains(options.TrustedCertsFile)) << error.toStdString();
    EXPECT_FALSE(FServer.Output().contains(QStringLiteral("<- USER vandrel"))) << "the login was sent";
    EXPECT_FALSE(QFile::exists(target));

    // A person who says no: nothing is trusted.
    QStringList questions;
    {
        TFtpTransfer ftp(Address(), cUser, cPassword, options);
        ftp.SetTrustHandler([&questions](const QString& aQuestion) {
            questions.append(aQuestion);
            return false;
        });
        EXPECT_THROW(ftp.Download(QStringLiteral("db.zip"), target), EVandrel);
    }
    EXPECT_FALSE(QFile::exists(options.TrustedCertsFile));
    // A person who says yes: it is added to the trusted certificates, and the next run needs no one.
    {
        TFtpTransfer ftp(Address(), cUser, cPassword, options);
        ftp.SetTrustHandler([&questions](const QString& aQuestion) {
            questions.append(aQuestion);
            return true;
        });
        EXPECT_EQ(ftp.Download(QStringLiteral("db.zip"), target), frDone);
    }
    ASSERT_EQ(questions.size(), 2);
    EXPECT_TRUE(questions[1].contains(fingerprint)) << questions[1].toStdString();
    EXPECT_EQ(QFile(options.TrustedCertsFile).permissions() & 0x0077, 0) << "readable by its owner only";
    QFile::remove(target);
    {
        TFtpTransfer ftp(Address(), cUser, cPassword, options);
        EXPECT_EQ(ftp.Download(QStringLiteral("db.zip"), target), frDone);
    }
    EXPECT_EQ(ReadAll(target), QByteArray("archive"));
}

// A server that refuses the temporary name answers through TLS as it does in the clear: the archive goes under its
// own name.
TEST_F(UFtpSecureTest, Ftpes_TemporaryNameRefused_StoresUnderTheNameItself)
{
    MakeCertificate(QStringLiteral("server"));
    StartFtps(QStringLiteral("explicit"),
              QStringLiteral("127.0.0.1"),
              false,
              {QStringLiteral("--refuse-store"), QStringLiteral("*.part.vandrel")});
    ASSERT_TRUE(QDir().mkpath(Path(QStringLiteral("trust"))));
    const TFtpOptions options = Options(fpFtpes);
    WriteAll(options.TrustedCertsFile, ReadAll(Path(QStringLiteral("server.crt"))));
    WriteAll(Root() + QStringLiteral("/in/db.zip"), "old archive");
    const QByteArray original = RandomBytes(512 * 1024, 21);
    WriteAll(Local() + QStringLiteral("/up.zip"), original);
    QStringList notices;
    {
        TFtpTransfer ftp(Address(), cUser, cPassword, options);
        ftp.SetNoticeHandler([&notices](const QString& aLine) { notices.append(aLine); });
        ASSERT_EQ(ftp.Upload(Local() + QStringLiteral("/up.zip"), QStringLiteral("db.zip")), frDone);
    }
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].startsWith(
        QStringLiteral("The FTP server refused the temporary name \"db.zip.part.vandrel\" (553 ")))
        << notices[0].toStdString();
    EXPECT_EQ(QDir(Root() + QStringLiteral("/in")).entryList(QDir::Files), QStringList{QStringLiteral("db.zip")});
    EXPECT_EQ(ReadAll(Root() + QStringLiteral("/in/db.zip")), original);
}

// SFTP host keys: unknown fails unattended with the fingerprint and the line to add; trusted, it works; a changed
// key always fails, and no one is asked about it.
TEST_F(UFtpSecureTest, Sftp_HostKey_UnknownTrustedChanged)
{
    const QString fingerprint = MakeSshKey(QStringLiteral("host"));
    StartSftp(QStringLiteral("host"));
    WriteAll(Root() + QStringLiteral("/in/db.zip"), "archive");
    const TFtpOptions options = Options(fpSftp);
    const QString target = Local() + QStringLiteral("/db.zip");
    const QString name = QStringLiteral("[127.0.0.1]:%1").arg(FServer.Port());

    const QString unknown = ErrorOf([&] {
        TFtpTransfer ftp(Address(), cUser, cPassword, options);
        ftp.Download(QStringLiteral("db.zip"), target);
    });
    const QList<QByteArray> pub = ReadAll(Path(QStringLiteral("host.pub"))).split(' ');
    const QString line = name + QLatin1Char(' ') + QString::fromLatin1(pub[0] + ' ' + pub[1]);
    EXPECT_TRUE(unknown.contains(fingerprint)) << unknown.toStdString();
    EXPECT_TRUE(unknown.contains(line)) << unknown.toStdString();
    EXPECT_FALSE(QFile::exists(target));

    {
        TFtpTransfer ftp(Address(), cUser, cPassword, options);
        ftp.SetTrustHandler([&fingerprint](const QString& aQuestion) { return aQuestion.contains(fingerprint); });
        EXPECT_EQ(ftp.Download(QStringLiteral("db.zip"), target), frDone);
    }
    EXPECT_EQ(ReadAll(options.KnownHostsFile), line.toLatin1() + '\n');
    EXPECT_EQ(QFile(options.KnownHostsFile).permissions() & 0x0077, 0) << "readable by its owner only";
    {
        TFtpTransfer ftp(Address(), cUser, cPassword, options);
        EXPECT_EQ(ftp.Upload(target, QStringLiteral("db2.zip")), frDone);
    }
    EXPECT_EQ(ReadAll(Root() + QStringLiteral("/in/db2.zip")), QByteArray("archive"));

    // The same port, another key.
    const quint16 port = FServer.Port();
    const QString changedPrint = MakeSshKey(QStringLiteral("other"));
    FServer.Stop();
    FServer.StartPython(QStringLiteral("tests/support/sftpserver.py"),
                        {QStringLiteral("--root"),
                         Root(),
                         QStringLiteral("--host-key"),
                         Path(QStringLiteral("other")),
                         QStringLiteral("--port"),
                         QString::number(port),
                         QStringLiteral("--user"),
                         cUser + QLatin1Char(':') + cPassword});
    bool asked = false;
    const QString changed = ErrorOf([&] {
        TFtpTransfer ftp(Address(), cUser, cPassword, options);
        ftp.SetTrustHandler([&asked](const QString&) { return asked = true; });
        ftp.Download(QStringLiteral("db.zip"), target);
    });
    EXPECT_TRUE(changed.contains(QStringLiteral("CHANGED"))) << changed.toStdString();
    EXPECT_TRUE(changed.contains(changedPrint)) << changed.toStdString();
    EXPECT_FALSE(asked);
    EXPECT_EQ(ReadAll(options.KnownHostsFile), line.toLatin1() + '\n');
}

// SFTP with a private key and its passphrase instead of a password; the user's own known_hosts is read too.
TEST_F(UFtpSecureTest, Sftp_PrivateKeyWithPassphrase)
{
    MakeSshKey(QStringLiteral("host"));
    MakeSshKey(QStringLiteral("client"), QStringLiteral("pass phrase"));
    StartSftp(QStringLiteral("host"));
    TFtpOptions options = Options(fpSftp);
    const QList<QByteArray> pub = ReadAll(Path(QStringLiteral("host.pub"))).split(' ');
    WriteAll(options.UserKnownHostsFile,
             "# the user's own\n@cert-authority *.example.org ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIA\n" +
                 QStringLiteral("[127.0.0.1]:%1").arg(FServer.Port()).toLatin1() + ' ' + pub[0] + ' ' + pub[1] + '\n');
    WriteAll(Local() + QStringLiteral("/up.zip"), "keyed");
    options.KeyFile = Path(QStringLiteral("client"));
    options.KeyPassphrase = QStringLiteral("pass phrase");
    {
        TFtpTransfer ftp(Address(), cUser, QString(), options);
        EXPECT_EQ(ftp.Upload(Local() + QStringLiteral("/up.zip"), QStringLiteral("db.zip")), frDone);
    }
    EXPECT_EQ(ReadAll(Root() + QStringLiteral("/in/db.zip")), QByteArray("keyed"));
    options.KeyPassphrase = QStringLiteral("wrong");
    const QString error = ErrorOf([&] {
        TFtpTransfer ftp(Address(), cUser, QString(), options);
        ftp.Upload(Local() + QStringLiteral("/up.zip"), QStringLiteral("db.zip"));
    });
    EXPECT_FALSE(error.isEmpty());
}

// Addresses that name the server in ways the client must refuse before connecting.
TEST_F(UFtpSecureTest, Addresses_RefusedBeforeConnecting)
{
    const QString bare = ErrorOf([&] { TFtpTransfer ftp(QStringLiteral("::1/in"), cUser, cPassword); });
    EXPECT_TRUE(bare.contains(QStringLiteral("brackets"))) << bare.toStdString();
    const QString active = ErrorOf([&] {
        const curl_version_info_data* version = curl_version_info(CURLVERSION_NOW);
        if (version->version_num >= 0x080000)
            throw EVandrel(QStringLiteral("newer libcurl: active mode over TLS works"));
        TFtpTransfer ftp(QStringLiteral("127.0.0.1:1"), cUser, cPassword, Options(fpFtps, false));
    });
    EXPECT_TRUE(active.contains(QStringLiteral("passive")) || active.startsWith(QStringLiteral("newer")))
        << active.toStdString();
}

} // namespace
