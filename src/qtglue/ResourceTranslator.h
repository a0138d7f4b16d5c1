#pragma once

#include <QTranslator>

// The translator of the whole program: every text Qt asks it for is looked up by its source
// text in the string resources (GetResourceManager), whatever its context, so a text without
// a translation comes back unchanged and the English interface shows through. It has no
// meta-object of its own and is never empty.
class ResourceTranslator : public QTranslator {
public:
    using QTranslator::QTranslator;

    QString translate(const char* context, const char* sourceText,
                      const char* disambiguation = nullptr, int n = -1) const override;
    bool isEmpty() const override;
};
