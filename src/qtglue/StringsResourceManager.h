#pragma once

#include "qtglue/OrvexResourceManager.h"

#include <QHash>

// The resource manager over ".strings" files (see StringsFile.h for the format). The entry
// "@@HOTKEYS" of a file holds its menu hotkeys as "Menu text=Hotkey text" items separated by
// commas, without trimming; without that entry a small default list applies.
class CStringsResourceManager : public IOrvexResourceManager {
public:
    CAtlString GetString(const CAtlString& key) const override;
    bool ApplyHotkey(CAtlString& text) const override;
    CAtlString MakeHotkeyLabel(const CAtlString& text) const override;
    CAtlString ReverseLookup(const CAtlString& text) const override;
    CAtlString TranslateShortcut(const CAtlString& shortcut) const override;
    uint32_t GetLanguageId() const override { return m_languageId; }

    // Loads baseName + ".strings" from the folder of the language's code (looked up in the
    // language catalogue) below languagesFolder; with an empty languagesFolder, or a code that
    // is no language code (IsLanguageCode), nothing is loaded. The tables are kept and added to
    // when id is the current identifier, emptied otherwise. True when the language's folder exists.
    bool Init(uint32_t id, const FilePath& languagesFolder, const CAtlString& baseName);
    // Reads the file into the tables (emptied first unless keep); false when it is missing
    // or empty.
    bool LoadStringsFile(const CAtlString& baseName, bool keep);

    const FilePath& Folder() const { return m_folder; }

private:
    void ParseHotkeys(const CAtlString& list);

    CAtlString m_code;
    uint32_t m_languageId = 0;
    FilePath m_folder;
    QHash<CAtlString, CAtlString> m_strings;
    QHash<CAtlString, CAtlString> m_reverseStrings;
    QHash<CAtlString, CAtlString> m_hotkeys;
};
