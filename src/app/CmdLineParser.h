#pragma once

#include "app/CmdLineParam.h"

#include <QStringList>
#include <map>

// Matches process arguments against two name tables. It owns none of the parameters.
// Errors are not reported here: they become occurrences of the error parameter.
class CCmdLineParser {
public:
    void AddValueParameter(const CAtlString& name, ICmdLineParam* parameter);
    void AddSwitchParameter(const CAtlString& name, ICmdLineParam* parameter);
    void SetPositionalParameter(ICmdLineParam* parameter) { m_positional = parameter; }
    void SetErrorParameter(ICmdLineParam* parameter) { m_error = parameter; }

    // The first entry is the program path and is skipped.
    bool Parse(const QStringList& arguments);

    // Strips "--", "-" or "/" in place; false (and unchanged) for anything else.
    static bool IsOption(CAtlString& text);

private:
    void Report(const char* code, const CAtlString& text);

    ICmdLineParam* m_positional = nullptr;
    ICmdLineParam* m_error = nullptr;
    // QString's operator< compares UTF-16 code units, so names are case-sensitive and the
    // conflict walk visits them in plain code-unit order.
    std::map<CAtlString, ICmdLineParam*> m_valueParameters;
    std::map<CAtlString, ICmdLineParam*> m_switchParameters;
};
