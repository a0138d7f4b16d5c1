#include "app/CmdLineParser.h"

#include <vector>

void CCmdLineParser::AddValueParameter(const CAtlString& name, ICmdLineParam* parameter) {
    m_valueParameters[name] = parameter;
}

void CCmdLineParser::AddSwitchParameter(const CAtlString& name, ICmdLineParam* parameter) {
    m_switchParameters[name] = parameter;
}

bool CCmdLineParser::IsOption(CAtlString& text) {
    if (text.startsWith(QLatin1String("--"))) {
        text.remove(0, 2);
        return true;
    }
    if (text.startsWith(u'-') || text.startsWith(u'/')) {
        text.remove(0, 1);
        return true;
    }
    return false;
}

void CCmdLineParser::Report(const char* code, const CAtlString& text) {
    if (m_error)
        m_error->Process(QString::fromLatin1(code), text);
}

bool CCmdLineParser::Parse(const QStringList& arguments) {
    bool result = true;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        CAtlString s = arguments[i];
        if (!IsOption(s)) {
            if (!m_positional)
                return false;
            result = m_positional->Process(CAtlString(), s) && result;
            continue;
        }

        if (auto value = m_valueParameters.find(s); value != m_valueParameters.end()) {
            if (i + 1 >= arguments.size()) {
                Report("PARAM_NO_VALUE", s);
                return false;
            }
            // A value may not look like an option: "-proxy -silent" lacks its value.
            CAtlString next = arguments[i + 1];
            if (IsOption(next)) {
                Report("PARAM_NO_VALUE", s);
                return false;
            }
            result = value->second->Process(s, arguments[i + 1]) && result;
            ++i;
            continue;
        }

        if (auto flag = m_switchParameters.find(s); flag != m_switchParameters.end()) {
            result = flag->second->Process(s, CAtlString()) && result;
            continue;
        }

        const qsizetype colon = s.indexOf(u':');
        if (colon < 0) {
            Report("UNKNOWN_PARAM", s);
            return false;
        }
        // Only value options take the name:value form.
        const CAtlString key = s.left(colon);
        auto value = m_valueParameters.find(key);
        if (value == m_valueParameters.end()) {
            Report("UNKNOWN_PARAM", key);
            return false;
        }
        result = value->second->Process(key, s.mid(colon + 1)) && result;
    }

    // Conflicts are reported once the walk is over, the first one found winning.
    std::vector<ICmdLineParam*> order;
    if (m_positional)
        order.push_back(m_positional);
    for (const auto& entry : m_valueParameters)
        order.push_back(entry.second);
    for (const auto& entry : m_switchParameters)
        order.push_back(entry.second);
    for (ICmdLineParam* parameter : order) {
        const CAtlString error = parameter->GetError();
        if (!error.isEmpty()) {
            Report("GENERIC_ERROR", error);
            return false;
        }
    }
    return result;
}
