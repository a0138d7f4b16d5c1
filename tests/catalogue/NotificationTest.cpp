#include "catalogue/Notification.h"
#include "catalogue/XmlDocument.h"
#include "qtglue/Language.h"
#include "support/CatalogueSandbox.h"
#include "support/ModalAnswerer.h"
#include "support/QtPrinters.h"

#include <QDate>
#include <QMessageBox>

#include <gtest/gtest.h>

namespace {

const QString kOpenedKey =
    QStringLiteral("Software/ORVEX Technologies/Product Update/Notifications");

QByteArray Notice(const QString& start, const QString& stop,
                  const QString& texts = R"(<en value="News"/>)",
                  const QString& page = "https://example.org/news") {
    return QStringLiteral(
               R"(<Notification WebPage="%4" StartDate="%1" StopDate="%2"><Text>%3</Text></Notification>)")
        .arg(start, stop, texts, page)
        .toUtf8();
}

QString Day(int offset) {
    return QDate::currentDate().addDays(offset).toString(QStringLiteral("yyyyMMdd"));
}

std::shared_ptr<Notification> LoadNotice(const QString& name = "News") {
    CXmlDocument list;
    EXPECT_TRUE(list.Parse(
        QStringLiteral("<Notification Name=\"%1\" BaseXML=\"news\"/>").arg(name).toUtf8()));
    auto notice = std::make_shared<Notification>();
    EXPECT_TRUE(notice->Load(list.Root()));
    return notice;
}

std::optional<int32_t> Opened(const QString& name) {
    int32_t error = 0;
    const int32_t value = ReadSettingInt(CurrentUser, kOpenedKey, name, 0, &error, kRegistryMarker);
    return error == 0 ? std::optional(value) : std::nullopt;
}

TEST(Notification, IsCurrentStrictlyBetweenItsDatesWhenComplete) {
    const QByteArray january = Notice("20240101", "20240131");
    // clang-format off
    const struct {
        const char* name;
        QByteArray notice;
        int day; // of January 2024
        bool valid, current;
    } rows[] = {
        {"StartDay", january, 1, true, false},
        {"DayAfterStart", january, 2, true, true},
        {"DayBeforeStop", january, 30, true, true},
        {"StopDay", january, 31, true, false},
        {"DashedDate", Notice("2024-01-01", "20240131"), 15, false, false},
        {"ImpossibleDate", Notice("20240101", "20240231"), 15, false, false},
        {"NoWebPage", Notice("20240101", "20240131", R"(<en value="x"/>)", ""), 15, false, false},
        {"NoTexts", Notice("20240101", "20240131", ""), 15, false, false},
        {"OtherRoot", QByteArray(january).replace("Notification", "Notice"), 15, false, false},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Notification notice;
        EXPECT_EQ(notice.ParseNotice(row.notice), row.valid);
        EXPECT_EQ(notice.IsCurrentOn(QDate(2024, 1, row.day)), row.current);
    }
}

TEST(Notification, NamesItselfInTheRunsLanguageElseEnglish) {
    const struct {
        const char* name;
        QString code, texts, shown;
    } rows[] = {
        {"French", "fr", R"(<en value="News"/><fr value="Nouvelles"/>)", "Nouvelles"},
        {"GermanFallsBackToEnglish", "de", R"(<en value="News"/><fr value="Nouvelles"/>)", "News"},
        {"EnglishWithoutEnglishText", "en_CA", R"(<de value="Neues"/>)", ""},
        {"CountryCode", "pt_BR", R"(<pt value="Notícias"/><pt_BR value="Novidades"/>)",
         "Novidades"},
        {"LaterDuplicateWins", "de", R"(<de value="Alt"/><de value="Neu"/>)", "Neu"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetLocaleOverride(row.code);
        Notification notice;
        EXPECT_TRUE(notice.ParseNotice(Notice("20240101", "20240131", row.texts)));
        EXPECT_EQ(notice.GetName(), row.shown);
    }
    SetLocaleOverride({});
}

// The whole way of a notice: local file, fetched notice, the Tavlo condition on today's date.
TEST(Notification, IsShownOnlyBesideTavloBeforeVersionTen) {
    const struct {
        const char* name;
        QString tavlo;
        bool shown;
    } rows[] = {{"TavloAbsent", "", false},
                {"TavloNine", "9.2.0.0", true},
                {"TavloTen", "10.0.0.0", false}};
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
        downloader->documents["http://127.0.0.1:9/notices/n.xml"] = Notice(Day(-1), Day(1));

        const auto notice = LoadNotice();
        EXPECT_TRUE(notice->FindInstalled());
        notice->SetDownloader(downloader);
        EXPECT_TRUE(notice->CheckForUpdates());
        EXPECT_EQ(notice->IsUpdateAvailable(0), row.shown);
        EXPECT_EQ(notice->GetItemCount(), row.shown ? 1u : 0u);
        EXPECT_EQ(notice->HasActionButton(0), row.shown);
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
        EXPECT_EQ(Opened("News"), 1);
        // The next run's notice of that name, whatever it says, is no longer new; another
        // name still is.
        EXPECT_FALSE(LoadNotice("News")->ShouldNotify(0));
        EXPECT_TRUE(LoadNotice("Other")->ShouldNotify(0));
        SetShell(nullptr);
    }
}

} // namespace
