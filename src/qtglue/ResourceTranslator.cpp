#include "qtglue/ResourceTranslator.h"

#include "qtglue/OrvexResourceManager.h"

QString ResourceTranslator::translate(const char*, const char* sourceText, const char*, int) const {
    if (sourceText == nullptr)
        return {};
    // Source texts are UTF-8, which is also the system's 8-bit code page here.
    return GetResourceManager().GetString(QString::fromUtf8(sourceText));
}

bool ResourceTranslator::isEmpty() const {
    return false;
}
