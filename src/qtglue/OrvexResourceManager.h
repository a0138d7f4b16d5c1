#pragma once

#include "platform/AtlString.h"
#include "platform/FilePath.h"

#include <cstdint>

// The translations of one language, looked up by their English source text. One manager
// exists per process (GetResourceManager); it is set up on the interface thread at start-up
// and only read afterwards, so it takes no locks.
class IOrvexResourceManager {
public:
    virtual ~IOrvexResourceManager() = default;

    // The translation of key, or key itself when there is none (or only an empty one).
    virtual CAtlString GetString(const CAtlString& key) const = 0;
    // Replaces the part of text before its first tab with the hotkey form of that menu text
    // when one is known ("Exit\tAlt+F4" becomes "E&xit\tAlt+F4"); false when none is.
    virtual bool ApplyHotkey(CAtlString& text) const = 0;
    // A menu label whose hotkey is shown as a suffix instead of a marked letter, for scripts
    // without letters to mark: "&Open\tCtrl+O" becomes "Open (&O)\tCtrl+O".
    virtual CAtlString MakeHotkeyLabel(const CAtlString& text) const = 0;
    // The key whose translation is text, or text itself when there is none.
    virtual CAtlString ReverseLookup(const CAtlString& text) const = 0;
    // A keyboard shortcut with each "+"-separated part translated ("Ctrl+S").
    virtual CAtlString TranslateShortcut(const CAtlString& shortcut) const = 0;
    // The Windows language identifier of the loaded strings.
    virtual uint32_t GetLanguageId() const = 0;
};

// The process-wide manager, created on first use for the language last given to
// SetResourceLanguage (none before the first call: every lookup answers its key).
IOrvexResourceManager& GetResourceManager();

// Points the process-wide manager at a language: the file baseName + ".strings" in the
// folder of that language's code below languagesFolder. Another identifier than the last one
// starts over with empty tables; the same identifier adds the file's entries to the loaded
// ones, so several base names can be merged.
void SetResourceLanguage(uint32_t languageId, const FilePath& languagesFolder,
                         const CAtlString& baseName);
