#include "app/ApplicationFactory.h"
#include "qtglue/Language.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

enum class Action { Interactive, Silent, ParameterError };

// Records which action the factory runs instead of running it.
class RecordingWorkFlow : public CWorkFlow {
public:
    explicit RecordingWorkFlow(Action* ran) : m_ran(ran) {}
    int RunInteractive(CCmdLineContext&) override { return (*m_ran = Action::Interactive, 0); }
    int RunSilent(CCmdLineContext&) override { return (*m_ran = Action::Silent, 0); }
    int RunParameterError(CCmdLineContext&) override {
        return (*m_ran = Action::ParameterError, 1);
    }
    Action* m_ran;
};

// locale null: the default language.
// clang-format off
struct CmdLineCase { const char* name; std::vector<const char*> arguments; Action action; bool parseResult; QStringList errors;
    const char *proxy = "", *username = "", *password = "", *locale = nullptr; bool verbose = false, overrideProxy = false; };
// clang-format on

// clang-format off
const CmdLineCase kCases[] = {
    {"NoArguments", {}, Action::Interactive, true, {}},
    {"Silent", {"-silent"}, Action::Silent, true, {}},
    {"SilentTwiceIsAConflict", {"-silent", "-silent"}, Action::ParameterError, false, {"silent"}},
    {"PlainArgumentBeforeSilent", {"file", "-silent"}, Action::ParameterError, false, {"silent"}},
    {"PlainArgumentAfterSilentIsIgnored", {"-silent", "file"}, Action::Silent, false, {}},
    {"ValueMayNotStartWithSlash", {"-proxy", "/tmp"}, Action::ParameterError, false, {"proxy"}},
    {"ValueMissingAtEnd", {"-silent", "-proxy"}, Action::ParameterError, false, {"proxy"}},
    {"NamesAreCaseSensitive", {"-Silent"}, Action::ParameterError, false, {"Silent"}},
    {"SwitchTakesNoColonValue", {"-silent:x"}, Action::ParameterError, false, {"silent"}},
    {"UnknownStopsTheWalk", {"-x", "-y", "-silent"}, Action::ParameterError, false, {"x"}},
    {"VerboseChangesNothingElse", {"-verbose"}, Action::Interactive, true, {}, "", "", "", nullptr, true},
    {"ProxyColonFormSplitsAtFirstColon", {"-proxy:host:8080"}, Action::Interactive, true, {}, "host:8080"},
    {"SecondProxyReplacesFirst", {"-proxy", "a", "--proxy", "b"}, Action::Interactive, true, {}, "b"},
    {"AllProxyOptions", {"-overrideproxy", "-proxy", "p:3128", "-username", "u", "/password", "secret", "-silent"},
     Action::Silent, true, {}, "p:3128", "u", "secret", nullptr, false, true},
    {"LocaleWithDoubleDash", {"--locale", "de"}, Action::Interactive, true, {}, "", "", "", "de"},
    {"EmptyLocaleMeansDefault", {"-locale:"}, Action::Interactive, true, {}},
};
// clang-format on

class CmdLine : public ::testing::TestWithParam<CmdLineCase> {};

TEST_P(CmdLine, SelectsActionAndFillsContext) {
    const CmdLineCase& c = GetParam();
    // Start from a value no action writes, so a run that calls nothing is caught.
    auto ran = static_cast<Action>(-1);
    CApplicationFactory factory(std::make_unique<RecordingWorkFlow>(&ran));
    QStringList arguments{"orvex-product-update"};
    for (const char* argument : c.arguments)
        arguments << argument;
    EXPECT_EQ(factory.Parse(arguments), c.parseResult);
    factory.RunSelectedAction();
    EXPECT_EQ(static_cast<int>(ran), static_cast<int>(c.action));
    EXPECT_EQ(factory.IsGuiEnabled(), c.action != Action::ParameterError);

    const CCmdLineContext& context = factory.Context();
    EXPECT_EQ(context.errors, c.errors);
    EXPECT_EQ(std::tuple(context.proxy, context.username, context.password, context.verbose,
                         context.overrideProxy),
              std::tuple(QString(c.proxy), QString(c.username), QString(c.password), c.verbose,
                         c.overrideProxy));
    EXPECT_EQ(factory.GetLocale(), c.locale ? QString::fromUtf8(c.locale) : GetLanguageCode());
}

INSTANTIATE_TEST_SUITE_P(Arguments, CmdLine, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every local user can read a process's argument memory (ps, /proc/PID/cmdline) for as long
// as it runs, so the proxy password leaves it once the command line is read; the
// environment, which others cannot read, carries it unseen, and loses it once read, so that
// the browser or an installer the run starts never learns it.
TEST(CmdLine, PasswordLeavesTheArgumentMemory) {
    // Arguments, the environment's password (none: unset), the password the run uses, and
    // the argument memory afterwards: Qt reads its own options from it, so only the secret goes.
    const std::tuple<std::vector<std::string>, const char*, const char*, const char*> rows[] = {
        {{"-proxy", "p:1", "-password", "s3cret", "-silent"}, nullptr, "s3cret",
         "-proxy p:1 -password ****** -silent"},
        {{"/password:s3cret", "-username", "u"}, nullptr, "s3cret", "/password:****** -username u"},
        {{"-silent"}, "s3cret", "s3cret", "-silent"},
        {{"--password", "s3cret"}, "other", "s3cret", "--password ******"}, // the command line wins
        // Refused because it looks like an option, yet a secret all the same.
        {{"-password", "-s3cret"}, nullptr, "", "-password *******"},
    };
    for (const auto& [arguments, environment, password, memoryAfter] : rows) {
        SCOPED_TRACE(arguments.front());
        qunsetenv("ORVEX_PROXY_PASSWORD");
        if (environment)
            qputenv("ORVEX_PROXY_PASSWORD", environment);
        std::vector<std::string> memory = {"orvex-product-update"};
        memory.insert(memory.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : memory)
            argv.push_back(argument.data());
        Action ran = Action::Interactive;
        CApplicationFactory factory(std::make_unique<RecordingWorkFlow>(&ran));
        factory.ParseCommandLine(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(factory.Context().password, password);
        EXPECT_FALSE(qEnvironmentVariableIsSet("ORVEX_PROXY_PASSWORD"))
            << "the programs the run starts would inherit it";
        std::string after;
        for (size_t i = 1; i < argv.size(); ++i)
            after += (i > 1 ? " " : "") + std::string(argv[i]);
        EXPECT_EQ(after, memoryAfter);
    }
    qunsetenv("ORVEX_PROXY_PASSWORD");
}

} // namespace
