// That an incomplete notice is never current and is named by one of its texts is checked on
// any bytes by the fuzz target; the silent run that shows a notice is CheckEndToEnd's.
#include "catalogue/Notification.h"
#include "catalogue/XmlDocument.h"
#include "qtglue/Language.h"
#include "support/CatalogueSandbox.h"
#include "support/ModalAnswerer.h"
#include "support/QtPrinters.h"

#include <QDate>

#include <gtest/gtest.h>

namespace {

QByteArray Notice(const QString& start, const QString& stop,
                  const QString& texts = R"(<en value="News"/>)",
                  const QString& page = "https://example.org/news") {
    return QStringLiteral(
               R"(<Notification WebPage="%4" StartDate="%1" StopDate="%2"><Text>%3</Text></Notification>)")
        .arg(start, stop, texts, page)
        .toUtf8();
}

std::shared_ptr<Notification> LoadNotice(const QString& name = "News",
                                         const QString& base = "news") {
    CXmlDocument list;
    EXPECT_TRUE(list.Parse(
        QStringLiteral("<Notification Name=\"%1\" BaseXML=\"%2\"/>").arg(name, base).toUtf8()));
    auto notice = std::make_shared<Notification>();
    EXPECT_TRUE(notice->Load(list.Root()));
    return notice;
}

std::optional<int32_t> Opened(const QString& name) {
    int32_t error = 0;
    const int32_t value =
        ReadSettingInt(CurrentUser, "Software/ORVEX Technologies/Product Update/Notifications",
                       name, 0, &error, kRegistryMarker);
    return error == 0 ? std::optional(value) : std::nullopt;
}

// Current strictly between its "yyyyMMdd" dates; named in the run's language, else English.
TEST(Notification, IsCurrentBetweenItsDatesAndNamedInTheRunsLanguage) {
    const QByteArray january = Notice("20240101", "20240131");
    const struct {
        const char* name;
        QByteArray notice;
        int day; // of January 2024
        bool valid, current;
        QString shown;
    } rows[] = {
        {"StartDay", january, 1, true, false, "News"},
        {"DayAfterStart", january, 2, true, true, "News"},
        {"StopDay", january, 31, true, false, "News"},
        {"DashedDate", Notice("2024-01-01", "20240131"), 15, false, false, "News"},
        {"CountryCode", Notice("20240101", "20240131", R"(<pt value="N"/><pt_BR value="Novo"/>)"),
         15, true, true, "Novo"},
        {"LaterDuplicateWins",
         Notice("20240101", "20240131", R"(<pt_BR value="A"/><pt_BR value="B"/>)"), 15, true, true,
         "B"},
    };
    SetLocaleOverride("pt_BR");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Notification notice;
        EXPECT_EQ(notice.ParseNotice(row.notice), row.valid);
        EXPECT_EQ(notice.IsCurrentOn(QDate(2024, 1, row.day)), row.current);
        EXPECT_EQ(notice.GetName(), row.shown);
    }
    SetLocaleOverride({});
}

// The whole way of a notice: local file, fetched notice, the Tavlo condition on today's date.
TEST(Notification, IsShownOnlyBesideTavloBeforeVersionTen) {
    const struct {
        const char* name;
        QString tavlo, base;
        bool found, shown;
    } rows[] = {
        {"TavloAbsent", "", "news", true, false},
        {"TavloNine", "9.2.0.0", "news", true, true},
        {"TavloTen", "10.0.0.0", "news", true, false},
        // The list may come from the network: its base name never leaves the program folder.
        {"BaseNameWithFolder", "9.2.0.0", "../Program/news", false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        if (!row.tavlo.isEmpty())
            sandbox.Write("Program/SoftwareUpdateTSW.xml",
                          CatalogueSandbox::VersionFile(row.tavlo, "http://127.0.0.1:9/", "t.xml"));
        // The folder URL ends in "\": one "/" joins it to the file.
        sandbox.Write("Program/news.xml",
                      R"(<Notification URL="http://127.0.0.1:9/notices\" File="n.xml"/>)");
        auto downloader = std::make_shared<FakeDownloader>();
        downloader->documents["http://127.0.0.1:9/notices/n.xml"] =
            Notice(QDate::currentDate().addDays(-1).toString("yyyyMMdd"),
                   QDate::currentDate().addDays(1).toString("yyyyMMdd"));
        const auto notice = LoadNotice("News", row.base);
        EXPECT_EQ(notice->FindInstalled(), row.found);
        notice->SetDownloader(downloader);
        EXPECT_EQ(notice->CheckForUpdates(), row.found);
        EXPECT_EQ(notice->IsUpdateAvailable(0), row.shown);
        EXPECT_EQ(notice->GetItemCount(), row.shown ? 1u : 0u);
        EXPECT_EQ(TemporaryFiles(), QStringList());
    }
}

// A shell that notes, when asked to open a page, whether the notice was remembered by then.
class CheckingShell : public RecordingShell {
public:
    bool Open(const CAtlString& address) override {
        rememberedFirst = Opened("News") == 1;
        return RecordingShell::Open(address);
    }
    bool rememberedFirst = false;
};

TEST(Notification, RemembersTheOpenedNoticeBeforeOpeningItsPage) {
    const struct {
        const char* name;
        QString page;
        bool opened;
    } rows[] = {
        {"WebPage", "https://example.org/news", true},
        // The page comes from the network: anything but a web address is only named.
        {"FileAddressRefused", "file:///etc/passwd", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        auto shell = std::make_shared<CheckingShell>();
        SetShell(shell);
        const auto notice = LoadNotice();
        ASSERT_TRUE(
            notice->ParseNotice(Notice("20240101", "20240131", R"(<en value="x"/>)", row.page)));
        EXPECT_TRUE(notice->ShouldNotify(0));
        ModalAnswerer answerer([](QWidget* modal) { modal->close(); });
        EXPECT_EQ(notice->OpenAction(0), row.opened);
        EXPECT_EQ(shell->opened, row.opened ? QStringList{row.page} : QStringList());
        EXPECT_EQ(shell->rememberedFirst, row.opened);
        EXPECT_EQ(answerer.Count(), row.opened ? 0 : 1);
        // The next run's notice of that name, whatever it says, is no longer new; another
        // name still is.
        EXPECT_FALSE(LoadNotice("News")->ShouldNotify(0));
        EXPECT_TRUE(LoadNotice("Other")->ShouldNotify(0));
        SetShell(nullptr);
    }
}

} // namespace
