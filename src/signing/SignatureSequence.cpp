#include "signing/SignatureSequence.h"

#include "platform/Settings.h"

namespace {
const QString kKeyPath = QStringLiteral("Software/ORVEX Technologies/Product Update/Signatures");

QString KindName(SignedKind kind) {
    switch (kind) {
    case SignedKind::Product:
        return QStringLiteral("Product");
    case SignedKind::ProgramInformation:
        return QStringLiteral("Program");
    case SignedKind::ProductList:
        return QStringLiteral("ProductList");
    case SignedKind::Gallery:
        return QStringLiteral("Gallery");
    case SignedKind::Notice:
        return QStringLiteral("Notice");
    case SignedKind::Installer:
        return QStringLiteral("Installer");
    }
    return {};
}

// The value an earlier version kept for the program's own kinds; empty for the others.
QString LegacyName(SignedKind kind) {
    switch (kind) {
    case SignedKind::ProgramInformation:
        return QStringLiteral("OrvexProductUpdate");
    case SignedKind::ProductList:
        return QStringLiteral("OrvexProductUpdate product list");
    case SignedKind::Installer:
        return QStringLiteral("OrvexProductUpdate installer");
    default:
        return {};
    }
}

// The identity with every upper-case letter and the escape itself written as "%XX", so that
// names the store folds to one stay apart.
QString ValueName(const QString& identity) {
    QString name;
    for (const QChar c : identity) {
        if (c == u'%' || c.isUpper())
            name += QStringLiteral("%%1").arg(c.unicode(), 2, 16, QLatin1Char('0')).toUpper();
        else
            name += c;
    }
    return name;
}

std::optional<SeenSequence> Parse(const QString& text) {
    const QStringList words = text.split(u' ', Qt::SkipEmptyParts);
    bool ok = false;
    const qulonglong value = words.value(0).toULongLong(&ok);
    if (!ok || words.size() > 2)
        return std::nullopt;
    return SeenSequence{value, QByteArray::fromHex(words.value(1).toLatin1())};
}

std::optional<SeenSequence> Read(const QString& keyPath, const QString& name) {
    int32_t error = 0;
    // Kept as decimal text: a time stamp does not fit the 32-bit integers of the registry.
    const CAtlString text =
        ReadSettingString(CurrentUser, keyPath, name, CAtlString(), &error, kRegistryMarker);
    if (error != 0)
        return std::nullopt;
    return Parse(text);
}
} // namespace

std::optional<SeenSequence> LastSeenSequence(const SignedItem& item) {
    if (auto seen = Read(kKeyPath + u'/' + KindName(item.kind), ValueName(item.identity)))
        return seen;
    const QString legacy = LegacyName(item.kind);
    return legacy.isEmpty() ? std::nullopt : Read(kKeyPath, legacy);
}

bool RememberSequence(const SignedItem& item, const SeenSequence& seen) {
    const std::optional<SeenSequence> last = LastSeenSequence(item);
    if (last && last->sequence > seen.sequence)
        return false;
    // The same sequence again is the same file fetched again, or it is a second file that
    // could replace the first unnoticed.
    if (last && last->sequence == seen.sequence && !last->digest.isEmpty() &&
        last->digest != seen.digest)
        return false;
    if (last == seen)
        return true;
    QString text = QString::number(seen.sequence);
    if (!seen.digest.isEmpty())
        text += u' ' + QString::fromLatin1(seen.digest.toHex());
    WriteSettingString(CurrentUser, kKeyPath + u'/' + KindName(item.kind), ValueName(item.identity),
                       text, kRegistryMarker);
    return true;
}

SignatureCheck AcceptSequence(SignatureCheck check) {
    if (check.status != SignatureStatus::Verified || !check.sequence)
        return check;
    const std::optional<SeenSequence> last = LastSeenSequence(check.item);
    if (!RememberSequence(check.item, {*check.sequence, check.digest}))
        check.status = last && last->sequence == *check.sequence ? SignatureStatus::Replayed
                                                                 : SignatureStatus::Older;
    return check;
}
