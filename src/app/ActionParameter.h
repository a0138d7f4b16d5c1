#pragma once

#include "app/CmdLineContext.h"
#include "app/CmdLineParam.h"

#include <functional>

// What a run does, given the parsed command line; returns the action's result code.
using ActionFunction = std::function<int(CCmdLineContext&)>;

// Selects which action the run performs. An exclusive parameter refuses when another
// action was selected before it and records its name as a conflict for the parser.
class CActionParameter : public virtual ICmdLineParam {
public:
    CActionParameter(bool* actionChosen, bool* guiEnabled, ActionFunction* selectedAction);

    void SetAction(ActionFunction action, bool guiValue);
    void SetExclusive(bool exclusive) { m_exclusive = exclusive; }

    bool Process(CAtlString name, CAtlString value) override;
    CAtlString GetError() override { return m_error; }

private:
    bool* m_actionChosen;
    bool* m_guiEnabled;
    bool m_guiValue = true;
    bool m_exclusive = true;
    ActionFunction* m_selectedAction;
    ActionFunction m_action;
    CAtlString m_error;
};

// Receives parse errors: selects the error action and records the offending text.
class CErrorParameter : public CActionParameter, public CMultiValueParameter {
public:
    CErrorParameter(bool* errorChosen, bool* guiEnabled, ActionFunction* selectedAction,
                    QStringList* errors);

    bool Process(CAtlString name, CAtlString value) override;
    CAtlString GetError() override { return CActionParameter::GetError(); }
};
