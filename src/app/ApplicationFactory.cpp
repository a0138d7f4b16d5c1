#include "app/ApplicationFactory.h"

#include "qtglue/Language.h"

CApplicationFactory::CApplicationFactory(std::unique_ptr<CWorkFlow> workFlow)
    : m_workFlow(std::move(workFlow)) {
    auto interactive = [this](CCmdLineContext& c) { return m_workFlow->RunInteractive(c); };
    auto silent = [this](CCmdLineContext& c) { return m_workFlow->RunSilent(c); };
    auto parameterError = [this](CCmdLineContext& c) { return m_workFlow->RunParameterError(c); };

    // With nothing selected on the command line, the run is interactive.
    m_selectedAction = interactive;

    m_parser.AddValueParameter(QStringLiteral("proxy"), &m_proxyParameter);
    m_parser.AddValueParameter(QStringLiteral("username"), &m_usernameParameter);
    m_parser.AddValueParameter(QStringLiteral("password"), &m_passwordParameter);
    m_parser.AddValueParameter(QStringLiteral("locale"), &m_localeParameter);
    m_parser.AddSwitchParameter(QStringLiteral("verbose"), &m_verboseParameter);
    m_parser.AddSwitchParameter(QStringLiteral("overrideproxy"), &m_overrideProxyParameter);

    m_silentParameter.SetAction(silent, true);
    m_parser.AddSwitchParameter(QStringLiteral("silent"), &m_silentParameter);

    // Errors must always win, so the error parameter never refuses an occurrence.
    m_errorParameter.SetAction(parameterError, false);
    m_errorParameter.SetExclusive(false);
    m_parser.SetErrorParameter(&m_errorParameter);

    m_positionalParameter.SetAction(interactive, true);
    m_parser.SetPositionalParameter(&m_positionalParameter);
}

bool CApplicationFactory::ParseCommandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return m_parser.Parse(arguments);
}

CAtlString CApplicationFactory::GetLocale() const {
    return m_locale.isEmpty() ? GetLanguageCode() : m_locale;
}

int CApplicationFactory::RunSelectedAction() {
    return m_selectedAction(m_context);
}
