#include "catalogue/VersionString.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

namespace {

// Reads one component the way "%i" does (white space, sign, 0x and 0 prefixes), after the
// leading zeros are gone so that "08" is eight and not a bad octal number. A number beyond
// 32 bits is clamped to the nearest 32-bit value; "%i" itself leaves that case undefined.
// Returns false only for an empty piece, which also sets the target to -1.
bool ReadComponent(CAtlString piece, int32_t& target) {
    if (piece.isEmpty()) {
        target = -1;
        return false;
    }
    qsizetype zeros = 0;
    while (zeros < piece.size() && piece[zeros] == u'0')
        ++zeros;
    piece.remove(0, zeros);
    if (piece.isEmpty())
        piece = QStringLiteral("0");

    const QByteArray bytes = piece.toLocal8Bit();
    const char* begin = bytes.constData();
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(begin, &end, 0);
    if (end != begin) {
        if (value > INT32_MAX)
            target = INT32_MAX;
        else if (value < INT32_MIN)
            target = INT32_MIN;
        else
            target = static_cast<int32_t>(value);
    }
    return true;
}

} // namespace

CVersionString::CVersionString(const CAtlString& text) {
    Parse(text);
}

CVersionString::CVersionString(const char* text) {
    Parse(QString::fromLocal8Bit(text));
}

CVersionString& CVersionString::operator=(const char* text) {
    Parse(QString::fromLocal8Bit(text));
    return *this;
}

CVersionString& CVersionString::operator=(const CAtlString& text) {
    Parse(text);
    return *this;
}

void CVersionString::Swap(CVersionString& other) noexcept {
    std::swap(m_major, other.m_major);
    std::swap(m_minor, other.m_minor);
    std::swap(m_build, other.m_build);
    std::swap(m_revision, other.m_revision);
    m_normalised.swap(other.m_normalised);
    m_text.swap(other.m_text);
    std::swap(m_valid, other.m_valid);
}

void CVersionString::Parse(const CAtlString& text) {
    m_major = m_minor = m_build = m_revision = 0;
    m_valid = false;
    m_text.clear();

    // Lengths are UTF-16 code units, which is what QString counts.
    const qsizetype length = text.size();
    if (text.contains(u'.')) {
        m_valid = ParseDotted(text);
    } else if (length >= 12) {
        static const int widths[3] = {4, 4, 3};
        int32_t* targets[3] = {&m_revision, &m_build, &m_minor};
        m_valid = ParseUndotted(text, widths, targets, 3);
    } else if (length >= 8) {
        static const int widths[3] = {2, 3, 2};
        int32_t* targets[3] = {&m_revision, &m_build, &m_minor};
        m_valid = ParseUndotted(text, widths, targets, 2);
    } else if (length == 7) {
        // The short form keeps the build in the rightmost pair and the revision before
        // it, the other way round from the longer forms.
        static const int widths[3] = {2, 2, 2};
        int32_t* targets[3] = {&m_build, &m_revision, &m_minor};
        // One unit is left for the major number, so the form is never too long.
        m_valid = ParseUndotted(text, widths, targets, 1);
    }

    m_text = text;
    m_normalised =
        QStringLiteral("%1.%2.%3.%4").arg(m_major).arg(m_minor).arg(m_build).arg(m_revision);
}

bool CVersionString::ParseDotted(const CAtlString& text) {
    bool ok = true;
    CAtlString rest = text;
    for (int32_t* target : {&m_major, &m_minor, &m_build}) {
        const qsizetype dot = rest.indexOf(u'.');
        const CAtlString piece = dot < 0 ? CAtlString() : rest.left(dot);
        ok = ReadComponent(piece, *target) && ok;
        // With no dot left, the rest stays whole and goes on to the next component.
        rest = rest.right(rest.size() - dot - 1);
    }
    return ReadComponent(rest, m_revision) && ok;
}

bool CVersionString::ParseUndotted(const CAtlString& text, const int (&widths)[3],
                                   int32_t* (&targets)[3], int leftmostWidth) {
    bool ok = true;
    CAtlString rest = text;
    for (int i = 0; i < 3; ++i) {
        ok = ReadComponent(rest.right(widths[i]), *targets[i]) && ok;
        rest.chop(widths[i]);
    }
    ok = ReadComponent(rest.right(leftmostWidth), m_major) && ok;
    return ok && rest.size() <= leftmostWidth;
}

bool CVersionString::operator<(const CVersionString& other) const {
    if (m_valid && other.m_valid) {
        if (m_major != other.m_major)
            return m_major < other.m_major;
        if (m_minor != other.m_minor)
            return m_minor < other.m_minor;
        if (m_build != other.m_build)
            return m_build < other.m_build;
        return m_revision < other.m_revision;
    }
    if (!m_valid && !other.m_valid)
        return QString::compare(m_text, other.m_text, Qt::CaseSensitive) < 0;
    return !m_valid;
}

bool CVersionString::operator==(const CVersionString& other) const {
    if (m_valid != other.m_valid)
        return false;
    if (!m_valid)
        return m_text == other.m_text;
    return !(*this < other) && !(other < *this);
}

bool CVersionString::operator>(const CVersionString& other) const {
    return other < *this;
}

CAtlString CVersionString::ToString() const {
    return m_valid ? m_normalised : m_text;
}

CVersionStringRange::CVersionStringRange(const CVersionString& from, const CVersionString& to)
    : m_from(from), m_to(to) {
    if (m_from > m_to)
        m_from.Swap(m_to);
}

bool CVersionStringRange::Contains(const CVersionString& version) const {
    return (version > m_from || version == m_from) && (version < m_to || version == m_to);
}
