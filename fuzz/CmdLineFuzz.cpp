// The command line is whatever a user or a scheduler typed: NUL-separated arguments.
#include "app/ApplicationFactory.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QStringList arguments{QStringLiteral("orvex-product-update")};
    if (!bytes.isEmpty())
        for (const QByteArray& piece : bytes.split('\0'))
            arguments.append(QString::fromUtf8(piece));

    CApplicationFactory factory;
    factory.Parse(arguments);
    // An error always leaves a record and always turns the GUI off; no error, no record.
    const bool errors = !factory.Context().errors.isEmpty();
    if (errors == factory.IsGuiEnabled())
        std::abort();
    return 0;
}
