#include "platform/FilePath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

// Stand-in: enough of the path rules for start-up; the full file-system layer replaces it.
namespace {
QString ToLocal(const CAtlString& path) {
    QString local = path;
    if (local.size() >= 2 && local[1] == u':')
        local.remove(0, 2);
    local.replace(u'\\', u'/');
    return local.isEmpty() ? QStringLiteral("/") : local;
}
} // namespace

FilePath::FilePath(const CAtlString& text) : m_path(text) {
    m_path.replace(u'/', u'\\');
    if (m_path.endsWith(u'\\'))
        m_path.chop(1);
}

bool FilePath::Exists() const { return !IsEmpty() && QFileInfo::exists(ToLocal(m_path)); }

bool FilePath::DeleteFile() const {
    if (!Exists())
        return true;
    return QFile::remove(ToLocal(m_path));
}

int32_t FilePath::FileSize() const {
    QFileInfo info(ToLocal(m_path));
    if (IsEmpty() || !info.isFile())
        return -1;
    return static_cast<int32_t>(info.size());
}

FILE* FilePath::OpenStream(const char* mode) const {
    if (IsEmpty())
        return nullptr;
    return std::fopen(QFile::encodeName(ToLocal(m_path)).constData(), mode);
}
