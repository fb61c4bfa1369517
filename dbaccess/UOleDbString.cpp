// SPDX-License-Identifier: MIT
#include "UOleDbString.h"

#include "EVandrel.h"

#include <QFile>
#include <QStringConverter>
#include <QStringList>

namespace UOleDbString {

namespace {

// A value as the driver reads it after "KEY=". The FreeTDS driver takes a value that starts with "{" up to the
// first "};" and keeps every "}" before it as it is (it never undoes "}}"), so a value is braced only when it must
// be and "}" is written as it is; a value holding "};" cannot be carried at all. Other drivers follow the ODBC rule:
// inside braces "}" is doubled. aWhat names the value in the refusal.
QString Braced(const QString& aValue, bool aFreeTds, const char* aWhat)
{
    if (aValue.contains(QChar())) {
        throw EDatabaseError(QStringLiteral("The %1 contains a NUL character, which a connection string cannot carry.")
                                 .arg(QLatin1String(aWhat)));
    }
    const bool plain = !aValue.contains(QLatin1Char(';')) && !aValue.startsWith(QLatin1Char('{')) &&
                       aValue.trimmed() == aValue && (aFreeTds || !aValue.contains(QLatin1Char('}')));
    if (plain)
        return aValue;
    if (!aFreeTds) {
        QString escaped = aValue;
        escaped.replace(QStringLiteral("}"), QStringLiteral("}}"));
        return QLatin1Char('{') + escaped + QLatin1Char('}');
    }
    if (aValue.contains(QLatin1String("};")))
        throw EDatabaseError(QStringLiteral("The %1 contains \"};\", which the FreeTDS ODBC driver cannot read "
                                            "from a connection string. Choose one without \"};\".")
                                 .arg(QLatin1String(aWhat)));
    return QLatin1Char('{') + aValue + QLatin1Char('}');
}

QString FirstValue(const QList<TPair>& aPairs, std::initializer_list<const char*> aKeys)
{
    for (const char* key : aKeys)
        if (Contains(aPairs, QLatin1String(key)))
            return Value(aPairs, QLatin1String(key));
    return QString();
}

bool ContainsAny(const QList<TPair>& aPairs, std::initializer_list<const char*> aKeys)
{
    for (const char* key : aKeys)
        if (Contains(aPairs, QLatin1String(key)))
            return true;
    return false;
}

} // namespace

QList<TPair> Parse(const QString& aConnectionString)
{
    QList<TPair> pairs;
    const QString& s = aConnectionString;
    qsizetype pos = 0;
    while (pos < s.size()) {
        const qsizetype equals = s.indexOf(QLatin1Char('='), pos);
        const qsizetype semicolon = s.indexOf(QLatin1Char(';'), pos);
        if (equals < 0 || (semicolon >= 0 && semicolon < equals)) {
            // A piece without "=" carries no pair; skip it.
            if (semicolon < 0)
                break;
            pos = semicolon + 1;
            continue;
        }
        const QString key = s.mid(pos, equals - pos).trimmed();
        qsizetype valueStart = equals + 1;
        while (valueStart < s.size() && s.at(valueStart).isSpace())
            ++valueStart;
        QString value;
        qsizetype next = s.size();
        const QChar quote = valueStart < s.size() ? s.at(valueStart) : QChar();
        if (quote == QLatin1Char('"') || quote == QLatin1Char('\'')) {
            qsizetype i = valueStart + 1;
            for (; i < s.size(); ++i) {
                if (s.at(i) != quote)
                    value += s.at(i);
                else if (i + 1 < s.size() && s.at(i + 1) == quote)
                    value += s.at(++i);
                else
                    break;
            }
            const qsizetype after = s.indexOf(QLatin1Char(';'), i);
            next = after < 0 ? s.size() : after + 1;
        } else {
            const qsizetype end = s.indexOf(QLatin1Char(';'), valueStart);
            value = s.mid(valueStart, (end < 0 ? s.size() : end) - valueStart).trimmed();
            next = end < 0 ? s.size() : end + 1;
        }
        if (!key.isEmpty())
            pairs.append(TPair(key, value));
        pos = next;
    }
    return pairs;
}

QString QuoteValue(const QString& aValue)
{
    const bool plain = !aValue.contains(QLatin1Char(';')) && !aValue.startsWith(QLatin1Char('"')) &&
                       !aValue.startsWith(QLatin1Char('\'')) && aValue.trimmed() == aValue;
    if (plain)
        return aValue;
    QString quoted = aValue;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString Value(const QList<TPair>& aPairs, const QString& aKey)
{
    QString result;
    for (const TPair& pair : aPairs)
        if (pair.first.compare(aKey, Qt::CaseInsensitive) == 0)
            result = pair.second;
    return result;
}

bool Contains(const QList<TPair>& aPairs, const QString& aKey)
{
    for (const TPair& pair : aPairs)
        if (pair.first.compare(aKey, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QString ReadDataLinkFile(const QString& aFileName)
{
    QFile file(aFileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EDatabaseError(
            QStringLiteral("Cannot open the data-link file \"%1\": %2").arg(aFileName, file.errorString()));
    // A data-link file is a few hundred bytes; anything far larger is not one.
    const QByteArray bytes = file.read(1024 * 1024);
    QString text;
    if (bytes.startsWith("\xFF\xFE"))
        text = QStringDecoder(QStringDecoder::Utf16LE)(bytes.mid(2));
    else if (bytes.startsWith("\xEF\xBB\xBF"))
        text = QString::fromUtf8(bytes.mid(3));
    else
        text = QString::fromUtf8(bytes);
    bool inSection = false;
    for (const QString& rawLine : text.split(QLatin1Char('\n'))) {
        const QString line = rawLine.trimmed();
        if (!inSection) {
            inSection = line.compare(QLatin1String("[oledb]"), Qt::CaseInsensitive) == 0;
            continue;
        }
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        return line;
    }
    throw EDatabaseError(QStringLiteral("The data-link file \"%1\" holds no connection string.").arg(aFileName));
}

QList<TPair> Resolve(const QString& aConnectionString)
{
    const QList<TPair> own = Parse(aConnectionString);
    if (!Contains(own, QStringLiteral("File Name")))
        return own;
    QList<TPair> pairs = Parse(ReadDataLinkFile(Value(own, QStringLiteral("File Name"))));
    for (const TPair& pair : own) {
        if (pair.first.compare(QLatin1String("File Name"), Qt::CaseInsensitive) == 0)
            continue;
        pairs.erase(
            std::remove_if(pairs.begin(),
                           pairs.end(),
                           [&](const TPair& p) { return p.first.compare(pair.first, Qt::CaseInsensitive) == 0; }),
            pairs.end());
        pairs.append(pair);
    }
    return pairs;
}

bool IsSqlServerProvider(const QString& aProvider)
{
    const QString p = aProvider.trimmed().toUpper();
    return p.isEmpty() || p == QLatin1String("SQLOLEDB") || p.startsWith(QLatin1String("SQLOLEDB.")) ||
           p.startsWith(QLatin1String("SQLNCLI")) || p.startsWith(QLatin1String("MSOLEDBSQL"));
}

bool IsTrue(const QString& aValue)
{
    const QString v = aValue.trimmed().toLower();
    return v == QLatin1String("true") || v == QLatin1String("yes") || v == QLatin1String("sspi") ||
           v == QLatin1String("1") || v == QLatin1String("-1");
}

void SplitDataSource(const QString& aDataSource, QString& aServer, QString& aPort)
{
    QString source = aDataSource.trimmed();
    if (source.startsWith(QLatin1String("tcp:"), Qt::CaseInsensitive))
        source = source.mid(4).trimmed();
    aPort.clear();
    const qsizetype comma = source.indexOf(QLatin1Char(','));
    if (comma >= 0) {
        aPort = source.mid(comma + 1).trimmed();
        source = source.left(comma).trimmed();
        // An explicit port makes the instance name irrelevant.
        const qsizetype backslash = source.indexOf(QLatin1Char('\\'));
        if (backslash >= 0)
            source.truncate(backslash);
    }
    const qsizetype backslash = source.indexOf(QLatin1Char('\\'));
    QString host = backslash >= 0 ? source.left(backslash) : source;
    const QString instance = backslash >= 0 ? source.mid(backslash) : QString();
    if (host == QLatin1String(".") || host.compare(QLatin1String("(local)"), Qt::CaseInsensitive) == 0 ||
        host.isEmpty())
        host = QStringLiteral("localhost");
    aServer = host + instance;
}

QString DataSource(const QList<TPair>& aPairs)
{
    return FirstValue(aPairs, {"Data Source", "Server", "Address", "Addr", "Network Address"});
}

TEncryption EncryptionOf(const QList<TPair>& aPairs)
{
    TEncryption result;
    const auto truth = [&](const char* aKey, bool& aResult) {
        const QString value = Value(aPairs, QLatin1String(aKey)).trimmed().toLower();
        if (value.isEmpty())
            return;
        if (value == QLatin1String("strict"))
            throw EDatabaseError(QStringLiteral("%1=strict (TDS 8.0) is not supported by the FreeTDS ODBC driver. "
                                                "Use Encrypt=yes (Use Encryption for Data=True) instead.")
                                     .arg(QLatin1String(aKey)));
        if (value == QLatin1String("true") || value == QLatin1String("yes") || value == QLatin1String("1") ||
            value == QLatin1String("-1") || value == QLatin1String("mandatory"))
            aResult = true;
        else if (value == QLatin1String("false") || value == QLatin1String("no") || value == QLatin1String("0") ||
                 value == QLatin1String("optional"))
            aResult = false;
        else
            throw EDatabaseError(
                QStringLiteral("The connection string's %1=%2 is not understood (expected True or False).")
                    .arg(QLatin1String(aKey), Value(aPairs, QLatin1String(aKey)).trimmed()));
    };
    truth("Encrypt", result.Required);
    truth("Use Encryption for Data", result.Required);
    truth("TrustServerCertificate", result.TrustServerCertificate);
    truth("Trust Server Certificate", result.TrustServerCertificate);
    return result;
}

QString ToOdbc(const QList<TPair>& aPairs,
               const QString& aDriver,
               const QString* aUser,
               const QString* aPassword,
               const QString& aServerSection)
{
    const TEncryption encryption = EncryptionOf(aPairs);
    const bool freeTds = aDriver.contains(QLatin1String("FreeTDS"), Qt::CaseInsensitive);
    const auto braced = [freeTds](const QString& aValue, const char* aWhat) { return Braced(aValue, freeTds, aWhat); };
    QStringList parts;
    parts << QStringLiteral("DRIVER=") + QLatin1Char('{') + aDriver + QLatin1Char('}');
    QString server, port;
    SplitDataSource(DataSource(aPairs), server, port);
    if (freeTds && !aServerSection.isEmpty())
        parts << QStringLiteral("SERVERNAME=") + braced(aServerSection, "server section");
    else {
        parts << QStringLiteral("SERVER=") + braced(server, "server name");
        if (!port.isEmpty())
            parts << QStringLiteral("PORT=") + braced(port, "port");
    }
    const QString database = FirstValue(aPairs, {"Initial Catalog", "Database"});
    if (!database.isEmpty())
        parts << QStringLiteral("DATABASE=") + braced(database, "database name");
    const QString integrated = FirstValue(aPairs, {"Integrated Security", "Trusted_Connection"});
    if (!integrated.isEmpty() && (IsTrue(integrated)) && !aUser)
        parts << QStringLiteral("Trusted_Connection=Yes");
    else {
        const QString user = aUser ? *aUser : FirstValue(aPairs, {"User ID", "UID", "User"});
        const QString password = aPassword ? *aPassword : FirstValue(aPairs, {"Password", "PWD"});
        if (!user.isEmpty() || ContainsAny(aPairs, {"User ID", "UID", "User"}) || aUser)
            parts << QStringLiteral("UID=") + braced(user, "user name");
        if (!password.isEmpty() || ContainsAny(aPairs, {"Password", "PWD"}) || aPassword)
            parts << QStringLiteral("PWD=") + braced(password, "password");
    }
    const QString app = FirstValue(aPairs, {"Application Name"});
    if (!app.isEmpty())
        parts << QStringLiteral("APP=") + braced(app, "application name");
    const QString workstation = FirstValue(aPairs, {"Workstation ID"});
    if (!workstation.isEmpty())
        parts << QStringLiteral("WSID=") + braced(workstation, "workstation ID");
    if (freeTds) {
        // FreeTDS's default ("request") encrypts when the server offers it; "require" refuses a clear link.
        if (encryption.Required)
            parts << QStringLiteral("Encryption=require");
    } else {
        if (ContainsAny(aPairs, {"Encrypt", "Use Encryption for Data"}))
            parts << QStringLiteral("Encrypt=") + (encryption.Required ? QStringLiteral("yes") : QStringLiteral("no"));
        if (ContainsAny(aPairs, {"TrustServerCertificate", "Trust Server Certificate"}))
            parts << QStringLiteral("TrustServerCertificate=") +
                         (encryption.TrustServerCertificate ? QStringLiteral("yes") : QStringLiteral("no"));
    }
    // The driver's settings come last: a braced value at the very end would not be read back by FreeTDS.
    if (freeTds)
        parts << QStringLiteral("TDS_Version=7.4") << QStringLiteral("ClientCharset=UTF-8");
    return parts.join(QLatin1Char(';'));
}

} // namespace UOleDbString
