// That an incomplete notice is never current and is named by one of its texts is checked on
// any bytes by the fuzz target; the silent run that shows a notice is CheckEndToEnd's.
#include "catalogue/Notification.h"
#include "catalogue/ProductVersions.h"
#include "catalogue/XmlDocument.h"
#include "qtglue/Language.h"
#include "support/CatalogueSandbox.h"

#include <QDate>

static QByteArray Notice(const QString& start, const QString& stop,
                         const QString& texts = R"(<en value="News"/>)") {
    return (R"(<Notification WebPage="https://example.org/news" StartDate=")" + start +
            R"(" StopDate=")" + stop + "\"><Text>" + texts + "</Text></Notification>")
        .toUtf8();
}

static std::shared_ptr<Notification> LoadNotice(const QString& name = "News",
                                                const QString& base = "news") {
    CXmlDocument list;
    EXPECT_TRUE(list.Parse(
        QStringLiteral("<Notification Name=\"%1\" BaseXML=\"%2\"/>").arg(name, base).toUtf8()));
    auto notice = std::make_shared<Notification>();
    EXPECT_TRUE(notice->Load(list.Root()));
    return notice;
}

static int32_t Opened(const QString& name) {
    return ReadSettingInt(CurrentUser, "Software/ORVEX Technologies/Product Update/Notifications",
                          name, 0, nullptr, kRegistryMarker);
}

// Current strictly between its "yyyyMMdd" dates; named in the run's language, else English,
// else (as before its first fetch, when its check is announced) by the list's name. A
// day inside is CheckEndToEnd's, a date in another form the fuzz target's (never current).
TEST(Notification, IsCurrentBetweenItsDatesAndNamedInTheRunsLanguage) {
    const QByteArray january = Notice("20240101", "20240131");
    // The notice, the day of January 2024, whether it reads, is current, and the name shown.
    // clang-format off
    const std::tuple<const char*, QByteArray, int, bool, bool, QString> rows[] = {
        {"StartDay", january, 1, true, false, "News"}, {"StopDay", january, 31, true, false, "News"},
        {"CountryCode", Notice("20240101", "20240131", R"(<pt value="N"/><pt_BR value="Novo"/>)"), 15, true, true, "Novo"},
        {"LaterDuplicateWins", Notice("20240101", "20240131", R"(<pt_BR value="A"/><pt_BR value="B"/>)"), 15, true, true, "B"},
        {"OtherRoot", Notice("20240101", "20240131").replace("Notification", "Notice"), 15, false, false, "Listed"},
        {"NeitherLanguage", Notice("20240101", "20240131", R"(<fr value="Nouveau"/>)"), 15, true, true, "Listed"},
    };
    // clang-format on
    SetLocaleOverride("pt_BR");
    for (const auto& [name, text, day, valid, current, shown] : rows) {
        SCOPED_TRACE(name);
        const auto loaded = LoadNotice("Listed");
        Notification& notice = *loaded;
        EXPECT_EQ(notice.ParseNotice(text), valid);
        EXPECT_EQ(notice.IsCurrentOn(QDate(2024, 1, day)), current);
        EXPECT_EQ(notice.GetName(), shown);
    }
    SetLocaleOverride({});
}

// The maker's notices go only beside Tavlo before version 10: a current notice has its row
// and button only there.
TEST(Notification, IsShownOnlyBesideTavloBeforeVersionTen) {
    const QDate today = QDate::currentDate();
    for (const auto& [tavlo, shown] :
         {std::pair<QString, bool>("", false), {"9.2.0.0", true}, {"10.0.0.0", false}}) {
        SCOPED_TRACE(tavlo.toStdString());
        CatalogueSandbox sandbox;
        if (!tavlo.isEmpty())
            sandbox.Write("Program/SoftwareUpdateTSW.xml",
                          CatalogueSandbox::VersionFile(tavlo, "http://127.0.0.1:9/", "t.xml"));
        Notification notice;
        ASSERT_TRUE(notice.ParseNotice(
            Notice(today.addDays(-1).toString("yyyyMMdd"), today.addDays(1).toString("yyyyMMdd"))));
        EXPECT_EQ(std::pair(notice.IsUpdateAvailable(0), notice.GetItemCount()),
                  std::pair(shown, shown ? 1u : 0u));
    }
}

// The list may come from the network: a notice's base name never leaves the program folder.
TEST(Notification, ReadsItsLocalFileOnlyFromTheProgramFolder) {
    CatalogueSandbox sandbox;
    sandbox.Write("Program/news.xml", R"(<Notification URL="http://127.0.0.1:9/" File="n.xml"/>)");
    EXPECT_TRUE(LoadNotice("News", "news")->FindInstalled());
    EXPECT_FALSE(LoadNotice("News", "../Program/news")->FindInstalled());
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
    CatalogueSandbox sandbox;
    auto shell = std::make_shared<CheckingShell>();
    SetShell(shell);
    const auto notice = LoadNotice();
    ASSERT_TRUE(notice->ParseNotice(Notice("20240101", "20240131")));
    EXPECT_TRUE(notice->ShouldNotify(0));
    EXPECT_TRUE(notice->OpenAction(0));
    EXPECT_EQ(shell->opened, QStringList{"https://example.org/news"});
    EXPECT_TRUE(shell->rememberedFirst);
    // The next run's notice of that name, whatever it says, is no longer new; another name
    // still is.
    EXPECT_FALSE(LoadNotice("News")->ShouldNotify(0));
    EXPECT_TRUE(LoadNotice("Other")->ShouldNotify(0));
    SetShell(nullptr);
}
