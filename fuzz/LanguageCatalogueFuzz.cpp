// The language catalogue is read from wherever the registry or the current folder points,
// so any bytes must be harmless. Input: a language code, a line feed, the catalogue. A code
// that is found must find its identifier's entry the other way round, whatever the letter
// case of the code, and the identifier must print and read back unchanged.
#include "FuzzCheck.h"
#include "qtglue/LanguageCatalogue.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

bool IsAscii(const QString& text) {
    for (QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype split = bytes.indexOf('\n');
    const QString code = QString::fromUtf8(split < 0 ? bytes : bytes.left(split));
    const QByteArray document = split < 0 ? QByteArray() : bytes.mid(split + 1);

    QString id;
    const CatalogueMatch match = MatchLanguageAttribute(document, code, "Code", "ID", id);
    if (IsAscii(code)) {
        QString upperId;
        Check(MatchLanguageAttribute(document, code.toUpper(), "Code", "ID", upperId) == match);
        Check(upperId == id);
    }
    if (match != CatalogueMatch::Found)
        return 0;
    QString back;
    Check(MatchLanguageAttribute(document, id, "ID", "Code", back) == CatalogueMatch::Found);

    const uint16_t number = ParseLanguageId(id);
    Check(ParseLanguageId(QString::asprintf("%.4X", number)) == number);
    return 0;
}
