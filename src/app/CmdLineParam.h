#pragma once

#include "platform/AtlString.h"

#include <QStringList>

// One command-line parameter: it knows where to store what it receives. Every concrete
// parameter derives virtually, so a parameter built from two others holds one of these.
class ICmdLineParam {
public:
    virtual ~ICmdLineParam() = default;
    // Takes one occurrence; false when the occurrence was refused.
    virtual bool Process(CAtlString name, CAtlString value) = 0;
    // A conflict recorded while parsing, or empty.
    virtual CAtlString GetError() { return {}; }
};

// A switch: any occurrence sets the target.
class CFlagParameter : public virtual ICmdLineParam {
public:
    explicit CFlagParameter(bool* target) : m_target(target) {}
    bool Process(CAtlString, CAtlString) override {
        *m_target = true;
        return true;
    }

private:
    bool* m_target;
};

// A value option: the last occurrence wins.
class CStringParameter : public virtual ICmdLineParam {
public:
    explicit CStringParameter(CAtlString* target) : m_target(target) {}
    bool Process(CAtlString, CAtlString value) override {
        *m_target = std::move(value);
        return true;
    }

private:
    CAtlString* m_target;
};

// Collects every value it is given, in order.
class CMultiValueParameter : public virtual ICmdLineParam {
public:
    explicit CMultiValueParameter(QStringList* target) : m_target(target) {}
    bool Process(CAtlString, CAtlString value) override {
        m_target->append(std::move(value));
        return true;
    }

private:
    QStringList* m_target;
};
