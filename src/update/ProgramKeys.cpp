#include "update/ProgramKeys.h"

#include "platform/Settings.h"

#include <QCoreApplication>
#include <QMutex>

#include <algorithm>
#include <utility>

#ifndef ORVEX_PUBLIC_KEY
#define ORVEX_PUBLIC_KEY ""
#endif

namespace {
QString Tr(const char* text) {
    return QCoreApplication::translate("ProgramKeys", text);
}

const QString kMachineKey = QStringLiteral("Software/ORVEX Technologies/Product Update");

QMutex g_builtInLock;
QString g_builtIn = QStringLiteral(ORVEX_PUBLIC_KEY);

// Adds the keys of from that list does not hold yet.
void Append(PublicKeyList& list, const PublicKeyList& from) {
    for (const MinisignKey& key : from.keys)
        if (std::find(list.keys.begin(), list.keys.end(), key) == list.keys.end())
            list.keys.push_back(key);
}
} // namespace

QString BuiltInPublicKeyText() {
    const QMutexLocker lock(&g_builtInLock);
    return g_builtIn;
}

ScopedBuiltInPublicKeys::ScopedBuiltInPublicKeys(const QString& text) {
    const QMutexLocker lock(&g_builtInLock);
    m_previous = std::exchange(g_builtIn, text);
}

ScopedBuiltInPublicKeys::~ScopedBuiltInPublicKeys() {
    const QMutexLocker lock(&g_builtInLock);
    g_builtIn = m_previous;
}

PublicKeyList MergeProgramKeys(const QString& builtIn, const PublicKeyList& versionFileKeys,
                               const QString& administrator, bool administratorOnly) {
    const PublicKeyList machine = PublicKeyList::FromText(administrator);
    if (!machine.refusal.isEmpty())
        return PublicKeyList::Refused(
            Tr("The machine setting \"UpdatePublicKey\" (HKEY_LOCAL_MACHINE\\Software\\ORVEX "
               "Technologies\\Product Update) is not a list of minisign public keys."));
    if (administratorOnly && !machine.keys.empty())
        return machine;
    const PublicKeyList built = PublicKeyList::FromText(builtIn);
    if (!built.refusal.isEmpty())
        return PublicKeyList::Refused(
            Tr("The public key built into the program is not a list of minisign public keys."));
    if (!versionFileKeys.refusal.isEmpty())
        return versionFileKeys;
    PublicKeyList all;
    for (const PublicKeyList* part : {&built, &versionFileKeys, &machine})
        Append(all, *part);
    return all;
}

PublicKeyList ProgramPublicKeys(const PublicKeyList& versionFileKeys) {
    const QString administrator =
        ReadSettingString(LocalMachine, kMachineKey, QStringLiteral("UpdatePublicKey"),
                          CAtlString(), nullptr, kRegistryMarker);
    const bool only =
        ReadSettingInt(LocalMachine, kMachineKey, QStringLiteral("UpdatePublicKeyOnly"), 0, nullptr,
                       kRegistryMarker) == 1;
    return MergeProgramKeys(BuiltInPublicKeyText(), versionFileKeys, administrator, only);
}
