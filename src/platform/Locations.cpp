#include "platform/Locations.h"

#include <QDir>

// Stand-in locations; the sandbox-aware, per-user ones replace them.
FilePath TempFolder() {
    return FilePath(QDir::tempPath());
}

FilePath UniqueTempFile(const CAtlString& extension, const CAtlString& baseName) {
    const CAtlString base = baseName.isEmpty() ? QStringLiteral("FLVTemp") : baseName;
    FilePath candidate(TempFolder().Text() + u'\\' + base + extension);
    for (int n = 0; candidate.Exists(); ++n)
        candidate = FilePath(TempFolder().Text() + u'\\' + base + u'(' + QString::number(n) + u')' +
                             extension);
    return candidate;
}
