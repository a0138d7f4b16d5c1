#include "qtglue/Language.h"

#include <QLocale>

// Stand-in until the language catalogue and string resources exist: the override or the
// system locale's language, and no translator (English texts).
namespace {
CAtlString& Override() {
    static CAtlString code;
    return code;
}
} // namespace

void SetLocaleOverride(const CAtlString& code) {
    Override() = code;
}

CAtlString GetLanguageCode() {
    if (!Override().isEmpty())
        return Override();
    return QLocale::system().name().section(u'_', 0, 0);
}

bool SetupLanguage(const CAtlString&) {
    return false;
}
