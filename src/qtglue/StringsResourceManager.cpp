#include "qtglue/StringsResourceManager.h"

#include "qtglue/LanguageCatalogue.h"
#include "qtglue/StringsFile.h"

#include <memory>

namespace {
const CAtlString kHotkeysKey = QStringLiteral("@@HOTKEYS");
const CAtlString kDefaultHotkeys = QStringLiteral("Save As=Save &As,Exit=E&xit,Cut=Cu&t");

struct ResourceState {
    std::unique_ptr<CStringsResourceManager> manager;
    uint32_t languageId = 0;
    FilePath languagesFolder;
    CAtlString baseName;
};

ResourceState& State() {
    static ResourceState state;
    return state;
}
} // namespace

IOrvexResourceManager& GetResourceManager() {
    ResourceState& state = State();
    if (!state.manager) {
        state.manager = std::make_unique<CStringsResourceManager>();
        state.manager->Init(state.languageId, state.languagesFolder, state.baseName);
    }
    return *state.manager;
}

void SetResourceLanguage(uint32_t languageId, const FilePath& languagesFolder,
                         const CAtlString& baseName) {
    ResourceState& state = State();
    if (languageId != state.languageId)
        state.manager.reset();
    state.languageId = languageId;
    state.languagesFolder = languagesFolder;
    state.baseName = baseName;
    if (!state.manager)
        state.manager = std::make_unique<CStringsResourceManager>();
    state.manager->Init(languageId, languagesFolder, baseName);
}

CAtlString CStringsResourceManager::GetString(const CAtlString& key) const {
    const CAtlString found = m_strings.value(key);
    return found.isEmpty() ? key : found;
}

CAtlString CStringsResourceManager::ReverseLookup(const CAtlString& text) const {
    const CAtlString found = m_reverseStrings.value(text);
    return found.isEmpty() ? text : found;
}

bool CStringsResourceManager::ApplyHotkey(CAtlString& text) const {
    const qsizetype tab = text.indexOf(u'\t');
    const auto found = m_hotkeys.constFind(tab < 0 ? text : text.left(tab));
    if (found == m_hotkeys.constEnd())
        return false;
    text = *found + (tab < 0 ? CAtlString() : text.mid(tab));
    return true;
}

CAtlString CStringsResourceManager::MakeHotkeyLabel(const CAtlString& text) const {
    const qsizetype tab = text.indexOf(u'\t');
    CAtlString label = tab < 0 ? text : text.left(tab);
    const qsizetype marker = label.indexOf(u'&');
    if (marker >= 0 && marker + 1 < label.size()) {
        const QChar key = label[marker + 1].toUpper();
        label.remove(marker, 1);
        label += QStringLiteral(" (&") + key + u')';
    }
    return tab < 0 ? label : label + text.mid(tab);
}

CAtlString CStringsResourceManager::TranslateShortcut(const CAtlString& shortcut) const {
    QStringList parts = shortcut.split(u'+');
    for (QString& part : parts)
        part = GetString(part);
    return parts.join(u'+');
}

bool CStringsResourceManager::Init(uint32_t id, const FilePath& languagesFolder,
                                   const CAtlString& baseName) {
    const bool keep = id == m_languageId;
    m_languageId = id;
    bool result = false;
    if (!languagesFolder.IsEmpty()) {
        m_code = CodeFromLanguageIdNative(id);
        m_folder = FilePath();
        // The code becomes a folder name, and the catalogue it comes from may be one that an
        // administrator's setting points to: "../../tmp/x" must not lead out of the folder.
        if (IsLanguageCode(m_code)) {
            m_folder = languagesFolder;
            m_folder.Append(m_code);
            result = m_folder.Exists();
            LoadStringsFile(baseName, keep);
        } else if (!keep) {
            m_strings.clear();
            m_reverseStrings.clear();
        }
    }
    CAtlString list = GetString(kHotkeysKey);
    if (list == kHotkeysKey)
        list = kDefaultHotkeys;
    ParseHotkeys(list);
    return result;
}

bool CStringsResourceManager::LoadStringsFile(const CAtlString& baseName, bool keep) {
    if (!keep) {
        m_strings.clear();
        m_reverseStrings.clear();
    }
    const FilePath path = m_folder.Join(baseName + QStringLiteral(".strings"));
    std::unique_ptr<char[]> buffer;
    const int32_t size = path.Exists() ? path.ReadAll(buffer) : 0;
    if (size <= 0)
        return false;
    ReadStringsPairs(QByteArray(buffer.get(), size),
                     [this](const CAtlString& key, const CAtlString& value) {
                         m_strings.insert(key, value);
                         m_reverseStrings.insert(value, key);
                     });
    return true;
}

void CStringsResourceManager::ParseHotkeys(const CAtlString& list) {
    m_hotkeys.clear();
    for (const QString& item : list.split(u',')) {
        const qsizetype equals = item.indexOf(u'=');
        if (equals >= 0)
            m_hotkeys.insert(item.left(equals), item.mid(equals + 1));
    }
}
