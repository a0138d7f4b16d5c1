#include "app/ActionParameter.h"

CActionParameter::CActionParameter(bool* actionChosen, bool* guiEnabled,
                                   ActionFunction* selectedAction)
    : m_actionChosen(actionChosen), m_guiEnabled(guiEnabled), m_selectedAction(selectedAction) {}

void CActionParameter::SetAction(ActionFunction action, bool guiValue) {
    m_action = std::move(action);
    m_guiValue = guiValue;
}

bool CActionParameter::Process(CAtlString name, CAtlString) {
    if (m_exclusive && *m_actionChosen) {
        m_error = std::move(name);
        return false;
    }
    *m_selectedAction = m_action;
    *m_actionChosen = true;
    *m_guiEnabled = m_guiValue;
    return true;
}

CErrorParameter::CErrorParameter(bool* errorChosen, bool* guiEnabled,
                                 ActionFunction* selectedAction, QStringList* errors)
    : CActionParameter(errorChosen, guiEnabled, selectedAction), CMultiValueParameter(errors) {
    SetExclusive(false);
}

bool CErrorParameter::Process(CAtlString name, CAtlString value) {
    CActionParameter::Process(name, value);
    CMultiValueParameter::Process(name, value);
    return true;
}
