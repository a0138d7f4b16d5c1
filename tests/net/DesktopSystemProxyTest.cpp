#include "net/DesktopSystemProxy.h"
#include "net/EnvironmentProxy.h"
#include "net/GnomeProxySettings.h"
#include "net/ProxyScript.h"

#include <gtest/gtest.h>

#include <map>

namespace {

QString Describe(const SystemProxyAddress& address) {
    static const char* const sources[] = {"nothing", "desktop", "script", "environment"};
    const QString where = QString::fromLatin1(sources[address.source]) + u' ' + address.setting;
    if (address.IsDirect())
        return "direct by " + where;
    return QStringLiteral("%1:%2 %3/%4 by %5")
        .arg(address.host)
        .arg(address.port)
        .arg(address.userName, address.password, where);
}

// The environment as curl reads it: either case (lower first), the scheme optional, all_proxy
// for every scheme, a login in the address; no_proxy with or without its dot, "*", a port.
TEST(EnvironmentProxy, ReadsTheVariablesAsCurlDoes) {
    // clang-format off
    const struct { const char* name; std::map<std::string, QString> variables; const char* url; QString expected; } rows[] = {
        {"nothing", {}, "http://h.corp.example/", "direct by nothing "},
        {"no scheme", {{"http_proxy", "alice:s3cret@127.0.0.1:3128"}}, "http://h/", "127.0.0.1:3128 alice/s3cret by environment http_proxy"},
        {"no port", {{"http_proxy", "proxy.corp"}}, "http://h/", "proxy.corp:1080 / by environment http_proxy"},
        {"upper case", {{"HTTP_PROXY", "http://p:8080/"}}, "http://h/", "p:8080 / by environment HTTP_PROXY"},
        {"lower first", {{"http_proxy", "http://low:1"}, {"HTTP_PROXY", "http://up:2"}}, "http://h/", "low:1 / by environment http_proxy"},
        {"https own", {{"http_proxy", "http://a:1"}, {"HTTPS_PROXY", "http://b:2"}}, "https://h/", "b:2 / by environment HTTPS_PROXY"},
        {"https not by http_proxy", {{"http_proxy", "http://a:1"}}, "https://h/", "direct by nothing "},
        {"all_proxy", {{"ALL_PROXY", "http://c:3"}}, "https://h/", "c:3 / by environment ALL_PROXY"},
        {"escaped login", {{"http_proxy", "http://dom%5Cu:p%40ss@p:8080"}}, "http://h/", "p:8080 dom\\u/p@ss by environment http_proxy"},
        {"IPv6", {{"http_proxy", "http://[::1]:3128"}}, "http://h/", "[::1]:3128 / by environment http_proxy"},
        {"socks passed over", {{"http_proxy", "socks5://s:1080"}}, "http://h/", "direct by environment http_proxy"},
        {"script", {{"http_proxy", "pac+http://wpad/proxy.pac"}}, "http://h/", "direct by script http://wpad/proxy.pac"},
        {"no_proxy with dot", {{"http_proxy", "p:1"}, {"no_proxy", "localhost, .corp.example"}}, "http://h.corp.example/", "direct by environment no_proxy"},
        {"no_proxy without dot", {{"http_proxy", "p:1"}, {"NO_PROXY", "corp.example"}}, "http://h.corp.example/", "direct by environment NO_PROXY"},
        {"no_proxy the domain itself", {{"http_proxy", "p:1"}, {"no_proxy", ".corp.example"}}, "http://corp.example/", "direct by environment no_proxy"},
        {"no_proxy not a suffix of a name", {{"http_proxy", "p:1"}, {"no_proxy", "corp.example"}}, "http://notcorp.example/", "p:1 / by environment http_proxy"},
        {"no_proxy star", {{"http_proxy", "p:1"}, {"no_proxy", "*"}}, "http://anything/", "direct by environment no_proxy"},
        {"no_proxy port", {{"http_proxy", "p:1"}, {"no_proxy", "h:8080"}}, "http://h:8080/", "direct by environment no_proxy"},
        {"no_proxy other port", {{"http_proxy", "p:1"}, {"no_proxy", "h:8080"}}, "http://h/", "p:1 / by environment http_proxy"},
        {"no_proxy case", {{"http_proxy", "p:1"}, {"no_proxy", "H.Corp.Example"}}, "http://h.corp.example/", "direct by environment no_proxy"},
        {"no_proxy IPv6", {{"http_proxy", "p:1"}, {"no_proxy", "[::1]"}}, "http://[::1]:80/", "direct by environment no_proxy"},
        {"no_proxy IPv6 with port", {{"http_proxy", "p:1"}, {"no_proxy", "[::1]:8080"}}, "http://[::1]:8080/", "direct by environment no_proxy"},
        {"no_proxy the scheme's own port", {{"http_proxy", "p:1"}, {"no_proxy", "h:80"}}, "http://h/", "direct by environment no_proxy"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto variable = [&](const char* name) {
            const auto found = row.variables.find(name);
            return found == row.variables.end() ? QString() : found->second;
        };
        EXPECT_EQ(Describe(EnvironmentProxyFor(QString::fromLatin1(row.url), variable)),
                  row.expected);
    }
}

// GNOME's settings decide whenever their mode is manual or auto; 'none' leaves the address to
// the next setting. The login goes with the HTTP proxy only when use-authentication is on.
TEST(DesktopSystemProxy, TakesGnomeSettingsInManualMode) {
    GnomeProxySettings manual;
    manual.mode = GnomeProxySettings::Manual;
    manual.httpHost = "proxy.corp";
    manual.httpPort = 3128;
    manual.userName = "bob";
    manual.password = "pw";
    manual.ignoreHosts = {"localhost", "*.intranet.example"};
    GnomeProxySettings login = manual;
    login.useAuthentication = true;
    GnomeProxySettings secure = login;
    secure.httpsHost = "tls.corp";
    secure.httpsPort = 3129;
    GnomeProxySettings none = manual;
    none.mode = GnomeProxySettings::None;
    GnomeProxySettings noHost;
    noHost.mode = GnomeProxySettings::Manual;
    // clang-format off
    const struct { const char* name; const GnomeProxySettings& settings; const char* url; std::optional<QString> expected; } rows[] = {
        {"manual", manual, "http://h/", "proxy.corp:3128 / by desktop GNOME"},
        {"with its login", login, "https://h/", "proxy.corp:3128 bob/pw by desktop GNOME"},
        {"https proxy of its own", secure, "https://h/", "tls.corp:3129 bob/pw by desktop GNOME"},
        {"ignored host", manual, "http://a.intranet.example/", "direct by desktop GNOME"},
        {"manual without a host", noHost, "http://h/", "direct by desktop GNOME"},
        {"none", none, "http://h/", std::nullopt},
    };
    // clang-format on
    DesktopSystemProxy desktop;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<SystemProxyAddress> address =
            desktop.FromGnome(row.settings, QString::fromLatin1(row.url));
        EXPECT_EQ(address ? std::optional(Describe(*address)) : std::nullopt, row.expected);
    }
}

// A proxy script's answer in its order of preference: the first choice that is DIRECT or an
// HTTP proxy; the helper functions behave as browsers define them; a script that fails to
// run, or whose FindProxyForURL is missing, gives no answer.
TEST(ProxyScript, RunsTheScriptWithItsHelpers) {
    // clang-format off
    const struct { const char* name; const char* script; const char* url; std::optional<QString> expected; } rows[] = {
        {"proxy", "function FindProxyForURL(u, h) { return 'PROXY p:3128'; }", "http://h/", "p:3128 / by nothing "},
        {"socks passed over", "function FindProxyForURL(u, h) { return 'SOCKS s:1; PROXY p:8080; DIRECT'; }", "http://h/", "p:8080 / by nothing "},
        {"direct first", "function FindProxyForURL(u, h) { return 'DIRECT; PROXY p:1'; }", "http://h/", "direct by nothing "},
        {"only socks", "function FindProxyForURL(u, h) { return 'SOCKS s:1'; }", "http://h/", std::nullopt},
        {"host argument", "function FindProxyForURL(u, h) { return h == 'a.corp.example' ? 'PROXY a:1' : 'DIRECT'; }", "https://a.corp.example:8443/x", "a:1 / by nothing "},
        {"dnsDomainIs", "function FindProxyForURL(u, h) { return dnsDomainIs(h, '.corp.example') ? 'PROXY c:1' : 'DIRECT'; }", "http://A.Corp.Example/", "c:1 / by nothing "},
        {"shExpMatch", "function FindProxyForURL(u, h) { return shExpMatch(u, '*://*.corp.?xample/*') ? 'PROXY s:1' : 'DIRECT'; }", "http://h.corp.example/x", "s:1 / by nothing "},
        {"shExpMatch dot is literal", "function FindProxyForURL(u, h) { return shExpMatch(h, '*.corp.example') ? 'PROXY s:1' : 'DIRECT'; }", "http://hXcorp.example/", "direct by nothing "},
        {"isPlainHostName", "function FindProxyForURL(u, h) { return isPlainHostName(h) ? 'DIRECT' : 'PROXY p:1'; }", "http://intranet/", "direct by nothing "},
        {"isInNet", "function FindProxyForURL(u, h) { return isInNet(h, '10.0.0.0', '255.0.0.0') ? 'DIRECT' : 'PROXY p:1'; }", "http://10.1.2.3/", "direct by nothing "},
        {"isInNet outside", "function FindProxyForURL(u, h) { return isInNet(h, '10.0.0.0', '255.0.0.0') ? 'DIRECT' : 'PROXY p:1'; }", "http://11.1.2.3/", "p:1 / by nothing "},
        {"dnsResolve", "function FindProxyForURL(u, h) { return dnsResolve('localhost') == '127.0.0.1' ? 'PROXY l:1' : 'DIRECT'; }", "http://h/", "l:1 / by nothing "},
        {"dnsDomainLevels", "function FindProxyForURL(u, h) { return dnsDomainLevels(h) == 2 ? 'PROXY d:1' : 'DIRECT'; }", "http://a.b.c/", "d:1 / by nothing "},
        {"localHostOrDomainIs", "function FindProxyForURL(u, h) { return localHostOrDomainIs(h, 'www.corp.example') ? 'PROXY w:1' : 'DIRECT'; }", "http://www/", "w:1 / by nothing "},
        {"syntax error", "function FindProxyForURL(u, h) { return 'PROXY p:1'", "http://h/", std::nullopt},
        {"throws", "function FindProxyForURL(u, h) { throw new Error('no'); }", "http://h/", std::nullopt},
        {"no function", "var x = 1;", "http://h/", std::nullopt},
        {"large but bounded", "function FindProxyForURL(u, h) { var a = new Array(1000000).join('x'); return a.length == 999999 ? 'PROXY b:1' : 'DIRECT'; }", "http://h/", "b:1 / by nothing "},
        // A hostile script neither holds the download nor takes the machine's memory. Last, since
        // a script past the limit goes on running on its own thread until the test ends.
        {"never returns", "function FindProxyForURL(u, h) { for (;;) {} }", "http://h/", std::nullopt},
        {"allocates without end", "function FindProxyForURL(u, h) { var a = []; for (;;) a.push(new Array(100000).join('x')); }", "http://h/", std::nullopt},
    };
    // clang-format on
    ProxyScript::SetTimeLimit(std::chrono::seconds(2));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<QString> answer = ProxyScript::Run(row.script, row.url);
        const std::optional<SystemProxyAddress> chosen =
            answer ? ProxyScript::FirstUsable(*answer) : std::nullopt;
        EXPECT_EQ(chosen ? std::optional(Describe(*chosen)) : std::nullopt, row.expected);
    }
    ProxyScript::SetTimeLimit(std::chrono::seconds(10));
}

// A script that cannot be fetched sends the address direct and says which script failed.
TEST(ProxyScript, NamesTheScriptThatCannotBeFetched) {
    const QString missing = "file:///nonexistent/proxy.pac";
    const SystemProxyAddress address = ProxyScript(missing).ProxyFor("http://h/");
    EXPECT_EQ(Describe(address), "direct by script " + missing);
    EXPECT_EQ(address.scriptFailed, missing);
}

} // namespace
