// Why a row shows "N/A": real products checked through the real downloader against real
// servers that misbehave, read back from the tooltips of the window offscreen.
#include "ui/MainWindow.h"

#include "net/TestServers.h"
#include "qtglue/Language.h"
#include "support/CatalogueSandbox.h"
#include "update/ProductListController.h"
#include "update/RecordKeeper.h"

#include <QElapsedTimer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTimer>

#include <unistd.h>

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
    // Its version file names a key, and no signature is published.
    {"Unsigned", "%1/", "The update information was refused. Its signature is missing.",
     "Die Aktualisierungsinformationen wurden abgelehnt. Die Signatur fehlt."},
};

// The case whose version file names the maker's key.
const QString kSigned = QStringLiteral("Unsigned");

TEST(MainWindowReason, TooltipOfEveryNaRowSaysWhyInTheRunsLanguage) {
    TestServer server;
    TestServer tls{{"--tls"}};
    ASSERT_TRUE(server.IsRunning() && tls.IsRunning()) << "python3 or openssl is missing";
    ClearProxyEnvironment();
    server.Put("Declined.xml", CatalogueSandbox::Info("2.0.0.0"));
    server.Put("NotXml.xml", "Version 2.0.0.0 is out");
    server.Put("Local.xml", R"(<Info Location="Local"><Product UpdateVersion="2.0.0.0"/></Info>)");
    server.Put("Unsigned.xml", CatalogueSandbox::Info("2.0.0.0"));
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
                                              name + ".xml",
                                              name == kSigned ? "UpdatePublicKey=\"RWQ7Iu5Iu9fChg"
                                                                "GveD1dgarKm2X3wSw8af9KXUI+T7Cy7ie"
                                                                "aIMgFiNzG\""
                                                              : ""));
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
            // A refused row is never shown as current; its button says why.
            const auto* button =
                qobject_cast<const QPushButton*>(window.tableWidget->cellWidget(row, 3));
            ASSERT_TRUE(button);
            const QString current = german ? "Aktuell" : "Current";
            EXPECT_EQ(std::tuple(button->text(), button->toolTip(), button->isEnabled()),
                      name == kSigned ? std::tuple(QString(german ? "Abgelehnt" : "Refused"),
                                                   german ? inGerman : english, false)
                                      : std::tuple(current, QString(), false));
        }
    }
    SetLocaleOverride({});
    CurlHttpClient::SetStallTimeout(60s);
}

// Standard output and error, as the file they went to while run ran.
static QByteArray Console(QFile& capture, const std::function<void()>& run) {
    std::fflush(nullptr);
    const int out = ::dup(1), err = ::dup(2);
    ::dup2(capture.handle(), 1);
    ::dup2(capture.handle(), 2);
    run();
    std::fflush(nullptr);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::close(out);
    ::close(err);
    return ReadFile(capture.fileName());
}

// Twenty items checked one by one ("FetchOneByOne") and all fetched at once say the same
// lines, show the same rows and reasons, ask the servers for the same documents and leave no
// download behind. The first one's server never answers: fetched at once, every other
// document has arrived in the first half of its stall limit, which cannot end any sooner.
TEST(MainWindowReason, AtOnceSaysShowsAndAsksWhatOneByOneDoes) {
    TestServer server;
    TestServer expired{{"--tls", "--cert", "expired"}};
    ASSERT_TRUE(server.IsRunning() && expired.IsRunning()) << "python3 or openssl is missing";
    ClearProxyEnvironment();
    expired.TrustCa();
    constexpr auto kStall = 5s;
    CurlHttpClient::SetStallTimeout(kStall);
    const QString plain = server.Url("/");
    // Name, where its information is published and what is served there.
    std::vector<std::tuple<QString, QString, QByteArray>> items = {
        {"Hung", plain + "__hang?", {}},
        {"Stalled", plain + "__stall?", {}},
        {"Missing", plain, {}},
        {"NotXml", plain, "Version 2.0.0.0 is out"},
        {"Redirected", server.RedirectTo(server.Url("/Target.xml")) + "&", {}},
        {"Expired", expired.Url("/"), CatalogueSandbox::Info("2.0.0.0")},
        {"Refused", QStringLiteral("http://127.0.0.1:%1/").arg(FreePort()), {}},
        {"Broken", plain + "__500?", {}},
    };
    const qsizetype misbehaving = static_cast<qsizetype>(items.size());
    for (int n = 0; items.size() < 18; ++n)
        items.emplace_back(QStringLiteral("P%1").arg(n), plain,
                           CatalogueSandbox::Info(n % 2 ? "1.0.0.0" : "2.0.0.0"));
    server.Put("Target.xml", CatalogueSandbox::Info("3.0.0.0"));
    server.Put("notice.xml", R"(<Notification WebPage="https://example.org/n" StartDate="20000101"
        StopDate="29991231"><Text><en value="News"/></Text></Notification>)");
    server.Put("gallery_categories.xml",
               R"(<g><categories><category id="a" version="2030-01-01"/></categories></g>)");
    for (const auto& [name, address, served] : items)
        if (!served.isEmpty())
            server.Put(name + ".xml", served);

    const auto check = [&](bool oneByOne, bool& othersEarly) {
        CatalogueSandbox sandbox;
        QStringList list;
        for (const auto& [name, address, served] : items) {
            sandbox.Write("Program/" + name + ".xml",
                          CatalogueSandbox::VersionFile("1.0.0.0", address, name + ".xml"));
            list << CatalogueSandbox::Product(name, name);
        }
        list << "<Notification Name=\"News\" BaseXML=\"news\"/>"
             << "<Gallery Name=\"Pack\" GUID=\"{g}\" DefaultUrl=\"" + plain + "\"/>";
        sandbox.Write("Program/news.xml",
                      ("<Notification URL=\"" + plain + "\" File=\"notice.xml\"/>").toUtf8());
        const QString record = "Software\\ORVEX Technologies\\Gallery\\{g}\\TeamContent";
        RegWriteString(HKEY_LOCAL_MACHINE, record, "ImsManifestXml", "C:\\G\\manifest.xml");
        RegWriteString(HKEY_LOCAL_MACHINE, record, "AppPath", "C:\\G\\viewer");
        sandbox.Write("drive_c/G/Uninstall/updateinfo.xml",
                      R"(<g><category id="a" version="2020-01-01"/></g>)");
        sandbox.Write("ProgramData/productlist.xml", CatalogueSandbox::List("1.0.0.0", {}, list));
        if (oneByOne)
            RegWriteDword(HKEY_LOCAL_MACHINE, "Software\\ORVEX Technologies\\Product Update",
                          "FetchOneByOne", 1);

        auto controller = std::make_shared<CProductListController>();
        controller->SetDownloader(std::make_shared<Downloader>());
        MainWindow window;
        window.SetController(controller);
        window.SetRecordKeeper(std::make_shared<CRecordKeeper>());
        window.SetVerbose(true);
        QTemporaryFile capture;
        EXPECT_TRUE(capture.open());
        // Whether every other document was asked for in the first half of the stall limit.
        QTimer watch;
        othersEarly = false;
        QElapsedTimer clock;
        clock.start();
        const qsizetype earlier = server.Requests().size();
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (server.Requests()
                    .mid(earlier)
                    .filter(QRegularExpression("/(P\\d+|notice|gallery)"))
                    .size() == static_cast<qsizetype>(items.size()) - misbehaving + 2) {
                othersEarly = clock.elapsed() < std::chrono::milliseconds(kStall).count() / 2;
                watch.stop();
            }
        });
        watch.start(20);
        const QByteArray console =
            Console(capture, [&] { QMetaObject::invokeMethod(&window, "OnCheckUpdates"); });
        // What the rows show, cell by cell with its tooltip.
        QStringList rows;
        for (int row = 0; row < window.tableWidget->rowCount(); ++row)
            for (int column = 0; column < window.tableWidget->columnCount(); ++column)
                if (const QTableWidgetItem* cell = window.tableWidget->item(row, column))
                    rows << cell->text() + u'|' + cell->toolTip();
        QStringList said;
        for (const QByteArray& line : console.split('\n'))
            if (line.startsWith("- ") || line.contains(": "))
                said << QString::fromUtf8(line);
        QStringList asked = server.Requests();
        asked.sort();
        EXPECT_EQ(LeftoverDownloads(), QStringList());
        return std::tuple(said, rows, asked);
    };
    bool oneByOneOthersFirst = false, atOnceOthersFirst = false;
    const auto oneByOne = check(true, oneByOneOthersFirst);
    const QStringList before = server.Requests();
    const auto atOnce = check(false, atOnceOthersFirst);
    EXPECT_EQ(std::get<0>(atOnce), std::get<0>(oneByOne));
    EXPECT_EQ(std::get<1>(atOnce), std::get<1>(oneByOne));
    EXPECT_EQ(std::get<2>(atOnce).size(), 2 * std::get<2>(oneByOne).size());
    QStringList second = server.Requests().mid(before.size());
    second.sort();
    EXPECT_EQ(second, std::get<2>(oneByOne));
    EXPECT_EQ(std::get<1>(oneByOne).filter("N/A").size(), misbehaving - 1) << "a failure lost";
    EXPECT_EQ(std::get<1>(oneByOne).filter("expired on 2020-01-31").size(), 1);
    EXPECT_EQ(std::pair(oneByOneOthersFirst, atOnceOthersFirst), std::pair(false, true));
    CurlHttpClient::SetStallTimeout(60s);
    ClearProxyEnvironment();
}

} // namespace
