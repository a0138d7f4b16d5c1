#pragma once

#include "platform/AtlString.h"

// The run's language. The override is set once at start-up (command line, else the
// installed language) and wins over everything else afterwards.
void SetLocaleOverride(const CAtlString& code);
CAtlString GetLanguageCode();
// Installs the translator for the run's language; false when none could be installed.
bool SetupLanguage(const CAtlString& baseName);
