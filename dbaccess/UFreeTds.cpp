// SPDX-License-Identifier: MIT
#include "UFreeTds.h"

#include "EVandrel.h"
#include "UFileUtils.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QStringList>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace UFreeTds {

namespace {

// The driver reads a configuration line into 256 bytes.
constexpr qsizetype cMaxConfigLine = 250;

// The process's configuration folder and the sections written so far. The folder goes when the process ends.
struct TConfiguration
{
    std::mutex Lock;
    QString Folder;
    QString FileName;
    QStringList Sections;
    QSet<QString> Names;
    ~TConfiguration()
    {
        if (!Folder.isEmpty())
            QDir(Folder).removeRecursively();
    }
};

TConfiguration& Configuration()
{
    static TConfiguration configuration;
    return configuration;
}

// Writes aFileName whole, readable by the owner only: a temporary beside it, then a rename, so that a driver
// reading it on another thread sees the old or the new text, never a part.
void WriteFile(const QString& aFileName, const QByteArray& aData)
{
    const QByteArray temporary = QFile::encodeName(aFileName + QStringLiteral(".new"));
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written = fd >= 0;
    for (qsizetype done = 0; written && done < aData.size();) {
        const ssize_t n = ::write(fd, aData.constData() + done, static_cast<size_t>(aData.size() - done));
        written = n > 0;
        done += written ? n : 0;
    }
    if (fd >= 0 && ::close(fd) != 0)
        written = false;
    if (!written || ::rename(temporary.constData(), QFile::encodeName(aFileName).constData()) != 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        ::unlink(temporary.constData());
        throw EDatabaseError(
            QStringLiteral("Cannot write the FreeTDS configuration file \"%1\": %2").arg(aFileName, reason));
    }
}

QString Hash(const QByteArray& aData)
{
    return QString::fromLatin1(QCryptographicHash::hash(aData, QCryptographicHash::Sha256).toHex().left(16));
}

// The system's CA bundle (Debian's first, then other distributions' usual places).
QString SystemCaBundle()
{
    for (const char* candidate :
         {"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt", "/etc/ssl/cert.pem"})
        if (QFile::exists(QLatin1String(candidate)))
            return QLatin1String(candidate);
    return QString();
}

QByteArray ReadTrustFile(const QString& aFileName)
{
    if (aFileName.isEmpty() || !QFile::exists(aFileName))
        return QByteArray();
    QFile file(aFileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EDatabaseError(
            QStringLiteral("Cannot read the certificates in \"%1\": %2").arg(aFileName, file.errorString()));
    QByteArray data = file.readAll();
    if (!data.endsWith('\n'))
        data += '\n';
    return data;
}

// A value written into the configuration file: one line, no character the file's syntax gives a meaning.
void CheckConfigValue(const QString& aValue, const QString& aWhat)
{
    for (const QChar c : aValue)
        if (c.isSpace() || c.category() == QChar::Other_Control || c == QLatin1Char('[') || c == QLatin1Char(']') ||
            c == QLatin1Char(';') || c == QLatin1Char('#') || c == QLatin1Char('='))
            throw EDatabaseError(
                QStringLiteral("The %1 \"%2\" cannot be used for a connection that checks the server's certificate.")
                    .arg(aWhat, aValue));
}

// ---------------------------------------------------------------- the server's own answer

constexpr unsigned char cPrelogin = 0x12;
constexpr unsigned char cEncryptNotSupported = 0x02;

using TClock = std::chrono::steady_clock;

struct TSocket
{
    int Fd = -1;
    TClock::time_point Deadline;
    ~TSocket()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
    bool Wait(short aEvents) const
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{Fd, aEvents, 0};
        return ::poll(&p, 1, static_cast<int>(left)) == 1;
    }
    bool Send(const QByteArray& aData) const
    {
        for (qsizetype done = 0; done < aData.size();) {
            if (!Wait(POLLOUT))
                return false;
            const ssize_t n =
                ::send(Fd, aData.constData() + done, static_cast<size_t>(aData.size() - done), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }
    bool Receive(char* aBuffer, qsizetype aSize) const
    {
        for (qsizetype done = 0; done < aSize;) {
            if (!Wait(POLLIN))
                return false;
            const ssize_t n = ::recv(Fd, aBuffer + done, static_cast<size_t>(aSize - done), 0);
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }
    // One TDS packet of type PRELOGIN carrying aPayload.
    bool SendPacket(const QByteArray& aPayload) const
    {
        const qsizetype length = aPayload.size() + 8;
        QByteArray packet;
        packet.append(static_cast<char>(cPrelogin)).append('\x01');
        packet.append(static_cast<char>(length >> 8)).append(static_cast<char>(length & 0xFF));
        packet.append(4, '\0');
        return Send(packet + aPayload);
    }
    // The payload of the next packet; false when the link ends or the time is up.
    bool ReceivePacket(QByteArray& aPayload) const
    {
        char header[8];
        if (!Receive(header, 8))
            return false;
        const int length = (static_cast<unsigned char>(header[2]) << 8) | static_cast<unsigned char>(header[3]);
        if (length < 8)
            return false;
        aPayload.resize(length - 8);
        return Receive(aPayload.data(), aPayload.size());
    }
};

bool Connect(TSocket& aSocket, const QString& aHost, const QString& aPort)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(aHost.toUtf8().constData(), aPort.toUtf8().constData(), &hints, &found) != 0)
        return false;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
    for (const addrinfo* a = found; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        aSocket.Fd = fd;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0 || (errno == EINPROGRESS && aSocket.Wait(POLLOUT))) {
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0)
                return true;
        }
        ::close(fd);
        aSocket.Fd = -1;
    }
    return false;
}

// The ENCRYPTION option of the server's PRELOGIN answer, or -1 when the answer cannot be read.
int ServerEncryption(const TSocket& aSocket)
{
    // VERSION (6 bytes) and ENCRYPTION = ON, as a client that wants the whole link encrypted.
    static const unsigned char cRequest[] = {0x00,
                                             0x00,
                                             0x0B,
                                             0x00,
                                             0x06, // VERSION at 11, 6 bytes
                                             0x01,
                                             0x00,
                                             0x11,
                                             0x00,
                                             0x01, // ENCRYPTION at 17, 1 byte
                                             0xFF,
                                             0,
                                             0,
                                             0,
                                             0,
                                             0,
                                             0,
                                             0x01};
    const QByteArray request(reinterpret_cast<const char*>(cRequest), sizeof cRequest);
    QByteArray answer;
    if (!aSocket.SendPacket(request) || !aSocket.ReceivePacket(answer))
        return -1;
    for (qsizetype i = 0; i + 5 <= answer.size() && static_cast<unsigned char>(answer[i]) != 0xFF; i += 5) {
        const int offset = (static_cast<unsigned char>(answer[i + 1]) << 8) | static_cast<unsigned char>(answer[i + 2]);
        const int length = (static_cast<unsigned char>(answer[i + 3]) << 8) | static_cast<unsigned char>(answer[i + 4]);
        if (answer[i] == 0x01 && length >= 1 && offset < answer.size())
            return static_cast<unsigned char>(answer[offset]);
    }
    return cEncryptNotSupported;
}

QString OpenSslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("the server ended the handshake");
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

QString Fingerprint(X509* aCertificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!X509_digest(aCertificate, EVP_sha256(), digest, &size))
        return QString();
    QStringList bytes;
    for (unsigned int i = 0; i < size; ++i)
        bytes << QStringLiteral("%1").arg(digest[i], 2, 16, QLatin1Char('0')).toUpper();
    return bytes.join(QLatin1Char(':'));
}

QString Subject(X509* aCertificate)
{
    const std::unique_ptr<BIO, decltype(&::BIO_free)> out(BIO_new(BIO_s_mem()), &::BIO_free);
    X509_NAME_print_ex(out.get(), X509_get_subject_name(aCertificate), 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return QString::fromUtf8(data, static_cast<qsizetype>(size));
}

// The TLS handshake that the driver makes, carried in PRELOGIN packets, checked against aCaFile and aHost.
QString CheckHandshake(const TSocket& aSocket, const QString& aHost, const QString& aCaFile)
{
    const std::unique_ptr<SSL_CTX, decltype(&::SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                                      &::SSL_CTX_free);
    if (!context || SSL_CTX_load_verify_locations(context.get(), QFile::encodeName(aCaFile).constData(), nullptr) != 1)
        return QString();
    const std::unique_ptr<SSL, decltype(&::SSL_free)> tls(SSL_new(context.get()), &::SSL_free);
    if (!tls)
        return QString();
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(tls.get(), in, out);
    SSL_set_connect_state(tls.get());
    SSL_set_verify(tls.get(), SSL_VERIFY_NONE, nullptr);
    X509_VERIFY_PARAM* parameters = SSL_get0_param(tls.get());
    unsigned char address[sizeof(in6_addr)];
    const QByteArray hostBytes = aHost.toUtf8();
    if (::inet_pton(AF_INET, hostBytes.constData(), address) == 1 ||
        ::inet_pton(AF_INET6, hostBytes.constData(), address) == 1)
        X509_VERIFY_PARAM_set1_ip_asc(parameters, aHost.toLatin1().constData());
    else
        X509_VERIFY_PARAM_set1_host(parameters, aHost.toUtf8().constData(), 0);
    for (;;) {
        const int result = SSL_do_handshake(tls.get());
        if (BIO_pending(out) > 0) {
            QByteArray flight(static_cast<qsizetype>(BIO_pending(out)), '\0');
            BIO_read(out, flight.data(), static_cast<int>(flight.size()));
            if (!aSocket.SendPacket(flight))
                return QString();
        }
        if (result == 1)
            break;
        if (SSL_get_error(tls.get(), result) != SSL_ERROR_WANT_READ)
            return QStringLiteral("The TLS handshake with the server failed: %1.").arg(OpenSslError());
        QByteArray payload;
        if (!aSocket.ReceivePacket(payload))
            return QStringLiteral("The TLS handshake with the server failed: the server ended it.");
        BIO_write(in, payload.constData(), static_cast<int>(payload.size()));
    }
    const long verified = SSL_get_verify_result(tls.get());
    if (verified == X509_V_OK)
        return QString();
    const std::unique_ptr<X509, decltype(&::X509_free)> certificate(SSL_get1_peer_certificate(tls.get()), &::X509_free);
    const QString why = QString::fromUtf8(X509_verify_cert_error_string(verified));
    if (!certificate)
        return QStringLiteral("The server's certificate is not trusted (%1).").arg(why);
    return QStringLiteral("The server's certificate is not trusted (%1): %2, SHA-256 fingerprint %3. Add it to "
                          "\"%4\" to trust it, or set Trust Server Certificate=True to connect without checking it.")
        .arg(why, Subject(certificate.get()), Fingerprint(certificate.get()), TrustedCertificatesFile());
}

void SplitServer(const QString& aServer, QString& aHost, QString& aInstance)
{
    const qsizetype backslash = aServer.indexOf(QLatin1Char('\\'));
    aHost = backslash >= 0 ? aServer.left(backslash) : aServer;
    aInstance = backslash >= 0 ? aServer.mid(backslash + 1) : QString();
}

} // namespace

void Install()
{
    static std::once_flag once;
    std::call_once(once, [] {
        TConfiguration& configuration = Configuration();
        QByteArray pattern = QFile::encodeName(QDir::tempPath() + QStringLiteral("/vandrel-tds-XXXXXX"));
        const char* folder = ::mkdtemp(pattern.data());
        if (!folder)
            return; // CheckingSection says so when a connection needs the file.
        configuration.Folder = QFile::decodeName(folder);
        configuration.FileName = configuration.Folder + QStringLiteral("/freetds.conf");
        try {
            WriteFile(configuration.FileName,
                      QByteArrayLiteral("; written by Database Vandrel for its own connections\n"));
        } catch (const EDatabaseError&) {
            configuration.FileName.clear();
            return;
        }
        ::setenv("FREETDSCONF", QFile::encodeName(configuration.FileName).constData(), 1);
    });
}

QString TrustedCertificatesFile()
{
    return UFileUtils::ConfigDir() + QStringLiteral("trusted-certs.pem");
}

TCheckingSection CheckingSection(const QString& aServer, const QString& aPort)
{
    Install();
    TConfiguration& configuration = Configuration();
    if (configuration.FileName.isEmpty())
        throw EDatabaseError(QStringLiteral("Cannot check the server's certificate: the FreeTDS configuration file "
                                            "could not be created in \"%1\".")
                                 .arg(QDir::tempPath()));
    QString host, instance;
    SplitServer(aServer, host, instance);
    CheckConfigValue(host, QStringLiteral("server name"));
    CheckConfigValue(instance, QStringLiteral("instance name"));
    CheckConfigValue(aPort, QStringLiteral("port"));

    const QString system = SystemCaBundle();
    const QByteArray authorities = ReadTrustFile(system) + ReadTrustFile(TrustedCertificatesFile());
    if (!authorities.contains("-----BEGIN CERTIFICATE-----"))
        throw EDatabaseError(
            QStringLiteral("Cannot check the server's certificate: neither the system's CA bundle "
                           "(%1) nor \"%2\" holds a certificate.")
                .arg(system.isEmpty() ? QStringLiteral("none found") : system, TrustedCertificatesFile()));

    TCheckingSection result;
    result.CaFile = configuration.Folder + QStringLiteral("/ca-") + Hash(authorities) + QStringLiteral(".pem");
    QStringList lines{QStringLiteral("\thost = ") + host};
    if (!aPort.isEmpty())
        lines << QStringLiteral("\tport = ") + aPort;
    else if (!instance.isEmpty())
        lines << QStringLiteral("\tinstance = ") + instance;
    else
        lines << QStringLiteral("\tport = 1433");
    lines << QStringLiteral("\tencryption = require") << QStringLiteral("\tca file = ") + result.CaFile
          << QStringLiteral("\tcheck certificate hostname = yes");
    for (const QString& line : lines)
        if (line.toUtf8().size() > cMaxConfigLine)
            throw EDatabaseError(QStringLiteral("Cannot check the server's certificate: the line \"%1\" is too long "
                                                "for the FreeTDS configuration file.")
                                     .arg(line.trimmed()));
    result.Name = QStringLiteral("vandrel-") + Hash(lines.join(QLatin1Char('\n')).toUtf8());

    std::lock_guard lock(configuration.Lock);
    if (!QFile::exists(result.CaFile))
        WriteFile(result.CaFile, authorities);
    if (!configuration.Names.contains(result.Name)) {
        QStringList sections = configuration.Sections;
        sections << QLatin1Char('[') + result.Name + QStringLiteral("]\n") + lines.join(QLatin1Char('\n'));
        WriteFile(configuration.FileName, (sections.join(QStringLiteral("\n\n")) + QLatin1Char('\n')).toUtf8());
        configuration.Sections = sections;
        configuration.Names.insert(result.Name);
    }
    return result;
}

QString DiagnoseEncryption(const QString& aServer, const QString& aPort, const QString& aCaFile, int aTimeoutSeconds)
{
    QString host, instance;
    SplitServer(aServer, host, instance);
    if (aPort.isEmpty() && !instance.isEmpty())
        return QString(); // the instance's port is known only to the server's browser service
    TSocket socket;
    socket.Deadline = TClock::now() + std::chrono::seconds(aTimeoutSeconds > 0 ? aTimeoutSeconds : 15);
    if (!Connect(socket, host, aPort.isEmpty() ? QStringLiteral("1433") : aPort))
        return QString();
    const int encryption = ServerEncryption(socket);
    if (encryption < 0)
        return QString();
    if (encryption == cEncryptNotSupported)
        return QStringLiteral("The server does not offer encryption, but the connection string requires it "
                              "(Use Encryption for Data=True).");
    return aCaFile.isEmpty() ? QString() : CheckHandshake(socket, host, aCaFile);
}

} // namespace UFreeTds
