// Why a row shows "N/A": real products checked through the real downloader against real
// servers that misbehave, read back from the tooltips of the window offscreen.
#include "ui/MainWindow.h"

#include "net/TestServers.h"
#include "qtglue/Language.h"
#include "support/CatalogueSandbox.h"
#include "update/ProductListController.h"
#include "update/RecordKeeper.h"

namespace {

using namespace std::chrono_literals;

// The product, one per server behaviour, where its update information is published, and why
// it is missing in English and German. "%1" in an address is the plain server, "%2" the TLS one
// whose CA is not trusted, "%3" a port nobody listens on.
const std::tuple<QString, QString, QString, QString> kCases[] = {
    {"Refused", "http://127.0.0.1:%3/", "The server 127.0.0.1 could not be reached.",
     "Der Server 127.0.0.1 ist nicht erreichbar."},
    // The reason phrase is the server's own.
    {"Missing", "%1/", "The server answered with status 404 File not found.",
     "Der Server antwortete mit dem Status 404 File not found."},
    {"Broken", "%1/__500?", "The server answered with status 500 Internal Server Error.",
     "Der Server antwortete mit dem Status 500 Internal Server Error."},
    {"Untrusted", "%2/",
     "The certificate of 127.0.0.1 was not issued by a trusted certificate authority.",
     "Das Zertifikat von 127.0.0.1 wurde nicht von einer vertrauenswürdigen "
     "Zertifizierungsstelle ausgestellt."},
    {"Stalled", "%1/__hang?", "The connection to 127.0.0.1 timed out.",
     "Die Verbindung zu 127.0.0.1 hat das Zeitlimit überschritten."},
    // What a proxy in front of the server answers; nobody is there to give a login.
    {"Declined", "%1/__viaproxy/", "The proxy asked for credentials and they were declined.",
     "Der Proxy hat Anmeldedaten verlangt, doch die Anfrage wurde abgelehnt."},
    {"NotXml", "%1/", "The update information was not understood: it is not XML.",
     "Die Aktualisierungsinformationen wurden nicht verstanden: Sie sind kein XML."},
    {"Local", "%1/",
     "The update information was not understood: its \"Location\" is not \"Server\".",
     "Die Aktualisierungsinformationen wurden nicht verstanden: „Location“ ist nicht „Server“."},
};

TEST(MainWindowReason, TooltipOfEveryNaRowSaysWhyInTheRunsLanguage) {
    TestServer server;
    TestServer tls{{"--tls"}};
    ASSERT_TRUE(server.IsRunning() && tls.IsRunning()) << "python3 or openssl is missing";
    ClearProxyEnvironment();
    server.Put("Declined.xml", CatalogueSandbox::Info("2.0.0.0"));
    server.Put("NotXml.xml", "Version 2.0.0.0 is out");
    server.Put("Local.xml", R"(<Info Location="Local"><Product UpdateVersion="2.0.0.0"/></Info>)");
    // Short for the stalled server, yet long enough for a TLS handshake on a loaded machine
    // (at 300 ms one under ThreadSanitizer was once reported as a time-out).
    CurlHttpClient::SetStallTimeout(2s);

    for (const char* language : {"de", "en"}) {
        SCOPED_TRACE(language);
        SetLocaleOverride(QString::fromLatin1(language));
        {
            // Before the installation's sandbox, whose program folder has no Languages.
            Sandbox languageSandbox;
            SetupLanguage(QStringLiteral("ORVEXProductUpdate"));
        }
        CatalogueSandbox sandbox;
        QStringList products;
        for (const auto& [name, address, english, german] : kCases) {
            sandbox.Write(
                "Program/" + name + ".xml",
                CatalogueSandbox::VersionFile("1.0.0.0",
                                              QString(address)
                                                  .replace("%1", server.Url({}))
                                                  .replace("%2", tls.Url({}))
                                                  .replace("%3", QString::number(FreePort())),
                                              name + ".xml"));
            products << CatalogueSandbox::Product(name, name);
        }
        sandbox.Write("ProgramData/productlist.xml",
                      CatalogueSandbox::List("1.0.0.0", {}, products));

        auto controller = std::make_shared<CProductListController>();
        controller->SetDownloader(std::make_shared<Downloader>());
        MainWindow window;
        window.SetController(controller);
        window.SetRecordKeeper(std::make_shared<CRecordKeeper>());
        QMetaObject::invokeMethod(&window, "OnCheckUpdates");

        ASSERT_EQ(window.tableWidget->rowCount(), static_cast<int>(std::size(kCases)));
        const bool german = language == QLatin1String("de");
        for (int row = 0; row < window.tableWidget->rowCount(); ++row) {
            const auto& [name, address, english, inGerman] = kCases[row];
            SCOPED_TRACE(name.toStdString());
            ASSERT_EQ(window.tableWidget->item(row, 0)->text(), name);
            const QTableWidgetItem* latest = window.tableWidget->item(row, 2);
            EXPECT_EQ(std::pair(latest->text(), latest->toolTip()),
                      std::pair(QString(german ? "k. A." : "N/A"), german ? inGerman : english));
        }
    }
    SetLocaleOverride({});
    CurlHttpClient::SetStallTimeout(60s);
}

} // namespace
