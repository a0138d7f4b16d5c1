#pragma once

#include "app/ActionParameter.h"
#include "app/CmdLineContext.h"
#include "app/CmdLineParser.h"
#include "app/WorkFlow.h"

#include <memory>

// Owns the command-line parameters, the parser, the parsed context and the workflow, and
// decides which of the workflow's actions this run performs. One instance lives in main.
class CApplicationFactory {
public:
    // Tests hand in a workflow of their own to see which action the command line selects.
    explicit CApplicationFactory(
        std::unique_ptr<CWorkFlow> workFlow = std::make_unique<CWorkFlow>());
    virtual ~CApplicationFactory() = default;
    CApplicationFactory(const CApplicationFactory&) = delete;
    CApplicationFactory& operator=(const CApplicationFactory&) = delete;

    // Arguments are taken in the locale's 8-bit encoding (UTF-8 on a usual Linux system).
    // The proxy password comes from ORVEX_PROXY_PASSWORD unless the command line gives one,
    // whose characters in argv are then overwritten so that other users cannot read it. The
    // variable is removed from the environment once read, so no program this run starts
    // inherits it.
    bool ParseCommandLine(int argc, char** argv);
    bool Parse(const QStringList& arguments) { return m_parser.Parse(arguments); }

    bool IsGuiEnabled() const { return m_guiEnabled; }
    // The -locale value, or the installed language when none was given.
    CAtlString GetLocale() const;
    int RunSelectedAction();

    const CCmdLineContext& Context() const { return m_context; }
    CWorkFlow& WorkFlow() { return *m_workFlow; }

private:
    bool m_guiEnabled = true;
    bool m_actionChosen = false;
    bool m_errorChosen = false;
    CCmdLineContext m_context;
    std::unique_ptr<CWorkFlow> m_workFlow;
    CAtlString m_locale;
    CStringParameter m_localeParameter{&m_locale};
    CStringParameter m_proxyParameter{&m_context.proxy};
    CStringParameter m_usernameParameter{&m_context.username};
    CStringParameter m_passwordParameter{&m_context.password};
    CActionParameter m_silentParameter{&m_actionChosen, &m_guiEnabled, &m_selectedAction};
    CActionParameter m_positionalParameter{&m_actionChosen, &m_guiEnabled, &m_selectedAction};
    CErrorParameter m_errorParameter{&m_errorChosen, &m_guiEnabled, &m_selectedAction,
                                     &m_context.errors};
    CFlagParameter m_verboseParameter{&m_context.verbose};
    CFlagParameter m_overrideProxyParameter{&m_context.overrideProxy};
    CCmdLineParser m_parser;
    ActionFunction m_selectedAction;
};
