#pragma once

#include "sign/SecretKey.h"

#include <QByteArray>
#include <QDate>
#include <QStringList>
#include <QTextStream>

#include <functional>
#include <optional>
#include <vector>

// orvex-sign, the makers' tool: "keygen" makes a minisign key pair, "sign" writes the
// ".minisig" of each published file with the trusted comment the program requires (the
// identity, the next sequence number, an expiry), and "check" reads a version file and what
// it makes the program fetch, and says what an installed client concludes.
class CSignTool {
public:
    // Asks the person for a password with the prompt; nothing (and *why) when it cannot.
    using AskPassword =
        std::function<std::optional<QByteArray>(const QString& prompt, QString* why)>;

    // today: the UTC day the expiries count from; ask: the terminal unless a test hands in
    // its own.
    explicit CSignTool(QDate today = {}, AskPassword ask = {});

    // arguments without the program name; reports to out, errors to err. Returns the exit
    // code: 0 on success, 1 when something failed or (check) a document would be refused,
    // 2 for a command line it does not take.
    int Run(const QStringList& arguments, QTextStream& out, QTextStream& err);

    static QString Usage();

    // The expiry used when a signing names none.
    static constexpr int kDefaultExpiryDays = 90;

private:
    struct Options;
    int Keygen(const Options& options, QTextStream& out, QTextStream& err);
    int Sign(const Options& options, QTextStream& out, QTextStream& err);
    int Check(const Options& options, QTextStream& out, QTextStream& err);
    // Every key of paths opened, asking for passwords as needed; nothing (and *why) when
    // one cannot be.
    std::optional<std::vector<class MinisignSecretKey>>
    OpenKeys(const Options& options, const QStringList& paths, QString* why);
    // The password of a key or a new key: from the options' file or asked.
    std::optional<QByteArray> Password(const Options& options, const QString& prompt, QString* why);

    QDate m_today;
    AskPassword m_ask;
};
