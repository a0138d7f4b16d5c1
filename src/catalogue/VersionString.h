#pragma once

#include "platform/AtlString.h"

#include <cstdint>

// A four-part version number (major.minor.build.revision) read from a dotted or an
// undotted text. A text that is no version gives an invalid value that keeps its text,
// still prints and still compares: every invalid version sorts below every valid one.
class CVersionString {
public:
    CVersionString() = default;
    CVersionString(const CAtlString& text);
    CVersionString(const char* text);
    virtual ~CVersionString() = default;

    CVersionString(const CVersionString&) = default;
    CVersionString& operator=(const CVersionString&) = default;

    virtual bool operator<(const CVersionString& other) const;
    virtual bool operator==(const CVersionString& other) const;
    virtual bool operator>(const CVersionString& other) const;
    // The normalised "a.b.c.d" when valid, otherwise the source text unchanged.
    virtual CAtlString ToString() const;
    // 8-bit text is taken in the locale's code page.
    virtual CVersionString& operator=(const char* text);
    virtual CVersionString& operator=(const CAtlString& text);

    void Swap(CVersionString& other) noexcept;

    int32_t Major() const { return m_major; }
    int32_t Minor() const { return m_minor; }
    int32_t Build() const { return m_build; }
    int32_t Revision() const { return m_revision; }
    bool IsValid() const { return m_valid; }
    // Valid, but written with more than four dotted parts ("1.2.3.4.5"): the parts after the
    // fourth are ignored. Fine for an offer; an installed version written so cannot be told
    // apart from the one it reads as.
    bool HasExtraParts() const { return m_valid && m_text.count(u'.') > 3; }
    const CAtlString& Text() const { return m_text; }

private:
    void Parse(const CAtlString& text);
    bool ParseDotted(const CAtlString& text);
    bool ParseUndotted(const CAtlString& text, const int (&widths)[3], int32_t* (&targets)[3],
                       int leftmostWidth);

    int32_t m_major = 0;
    int32_t m_minor = 0;
    int32_t m_build = 0;
    int32_t m_revision = 0;
    CAtlString m_normalised;
    CAtlString m_text;
    bool m_valid = false;
};

// A closed interval of versions; the bounds are swapped at construction when given in the
// wrong order. As a map key only the lower bound counts.
class CVersionStringRange {
public:
    CVersionStringRange() = default;
    CVersionStringRange(const CVersionString& from, const CVersionString& to);
    virtual ~CVersionStringRange() = default;

    CVersionStringRange(const CVersionStringRange&) = default;
    CVersionStringRange& operator=(const CVersionStringRange&) = default;

    bool Contains(const CVersionString& version) const;
    bool operator<(const CVersionStringRange& other) const { return m_from < other.m_from; }

    const CVersionString& From() const { return m_from; }
    const CVersionString& To() const { return m_to; }

private:
    CVersionString m_from;
    CVersionString m_to;
};
