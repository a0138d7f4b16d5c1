#include "app/ApplicationFactory.h"

#include "qtglue/Language.h"

#include <cstring>

namespace {
// Overwrites the proxy password in the process's own argument memory, which every local user
// can read (ps, /proc/PID/cmdline) for as long as the program runs. Walks the arguments as
// the parser does, but also blanks a value the parser refused for looking like an option:
// it is a secret all the same.
void HidePassword(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        CAtlString name = QString::fromLocal8Bit(argv[i]);
        if (!CCmdLineParser::IsOption(name))
            continue;
        char* secret = nullptr;
        if (name == QLatin1String("password") && i + 1 < argc)
            secret = argv[++i];
        else if (name.startsWith(QLatin1String("password:")))
            secret = std::strchr(argv[i], ':') + 1;
        if (secret != nullptr)
            std::memset(secret, '*', std::strlen(secret));
    }
}
} // namespace

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
    // Taken first, so that a password on the command line replaces it.
    m_context.password = qEnvironmentVariable("ORVEX_PROXY_PASSWORD");
    // Read once and gone: the browser, the gallery application and an installer this run
    // starts inherit its environment, and none of them is to learn the password.
    qunsetenv("ORVEX_PROXY_PASSWORD");
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const bool parsed = m_parser.Parse(arguments);
    HidePassword(argc, argv);
    return parsed;
}

CAtlString CApplicationFactory::GetLocale() const {
    return m_locale.isEmpty() ? GetLanguageCode() : m_locale;
}

int CApplicationFactory::RunSelectedAction() {
    return m_selectedAction(m_context);
}
