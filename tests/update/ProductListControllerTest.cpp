// Checking every product, with its callbacks and findings, is shown by MainWindowTest and
// CheckEndToEnd; here the refresh of the list itself, which decides the next run's list.
#include "update/ProductListController.h"
#include "support/CatalogueSandbox.h"
#include "support/ProgramRun.h"
#include "update/RecordKeeper.h"

namespace {
const QString kListUrl = QStringLiteral("http://127.0.0.1:9/list.xml");

QByteArray ListOf(const QString& version, const QString& product, const QString& inner = {},
                  const QString& listUrl = kListUrl) {
    return CatalogueSandbox::List(version, listUrl,
                                  {CatalogueSandbox::Product(product, "B", inner)});
}

// Serves one list from a file of this process's own, as every user's downloads go to a folder
// of that user's own.
class ListDownloader : public IDownloader {
public:
    explicit ListDownloader(QByteArray list) : m_list(std::move(list)) {}
    CAtlString Download(const CAtlString&, int32_t, int32_t) override {
        const QString path = TempFolder().LocalPath() + "/list-" + QString::number(::getpid());
        return WriteFile(path, m_list) ? FilePath(path).Text() : CAtlString();
    }

private:
    QByteArray m_list;
};
} // namespace

TEST(ProductListController, RefreshAdoptsOnlyANewerListAndStoresIt) {
    const QString url = kListUrl;
    const QByteArray newer = ListOf("2.0.0.0", "New");
    // clang-format off
    const struct { const char* name; QString listUrl; QByteArray served; bool programWritable, result; QString firstName, storedIn; } rows[] = {
        {"NewerStoredBesideProgram", url, newer, true, true, "New", "Program"},
        {"NewerFallsBackToCommonFolder", url, newer, false, true, "New", "ProgramData"},
        {"OlderDiscarded", url, ListOf("0.9.0.0", "Older"), true, true, "Old", ""},
        {"SameVersionDiscarded", url, ListOf("1.0.0.0", "Same"), true, true, "Old", ""},
        {"UnreadableDiscarded", url, "<nope", true, false, "Old", ""},
        {"NoUrlNeverFetched", "", newer, true, false, "Old", ""},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CatalogueSandbox sandbox;
        const QByteArray old = ListOf("1.0.0.0", "Old", {}, row.listUrl);
        sandbox.Write("ProgramData/productlist.xml", old);
        auto downloader = std::make_shared<FakeDownloader>();
        downloader->documents[url] = row.served;
        // Tests run as root, who writes anywhere: a folder in the way of the copy stands in
        // for a program folder the user may not write.
        if (!row.programWritable)
            QDir().mkpath(sandbox.Path("Program/productlist.xml/x"));
        CProductListController controller;
        controller.SetDownloader(downloader);
        ASSERT_TRUE(controller.LoadProductList());
        EXPECT_EQ(controller.RefreshProductList(), row.result);
        EXPECT_EQ(downloader->asked, row.listUrl.isEmpty() ? QStringList() : QStringList{url});
        EXPECT_EQ(controller.GetProducts().at(0)->GetName(), row.firstName);
        EXPECT_TRUE(TemporaryFiles().isEmpty());
        // Nothing else on disk changes: no copy of a list not taken, and no half-made copy
        // beside the program when the copy there fails.
        const bool besideProgram = row.storedIn == "Program" || !row.programWritable;
        EXPECT_EQ(QDir(sandbox.Path("Program")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                  besideProgram ? QStringList{"productlist.xml"} : QStringList());
        EXPECT_EQ(sandbox.Read("ProgramData/productlist.xml"),
                  row.storedIn == "ProgramData" ? newer : old);
        if (!row.storedIn.isEmpty()) {
            EXPECT_EQ(sandbox.Read(row.storedIn + "/productlist.xml"), newer);
            // The next run's choice finds the stored copy again.
            ASSERT_TRUE(controller.LoadProductList());
            EXPECT_EQ(controller.GetProducts().at(0)->GetName(), "New");
        }
    }
}

// An ordinary user can write neither the program's folder nor the machine-wide one, so the
// newer list is stored nowhere; it serves every check of the run that fetched it all the same,
// a Retry after the server has gone included, and the check is recorded by the record
// keeper's clock. As root the checks run in a child that has become another user. The window's
// check and the silent run's are both this RunCheck.
TEST(ProductListController, ANewerListThatCannotBeStoredServesEveryCheckOfTheRun) {
    constexpr int32_t kDay = 2451545;
    CatalogueSandbox sandbox;
    const QByteArray old = ListOf("1.0.0.0", "Old");
    sandbox.Write("ProgramData/productlist.xml", old);
    sandbox.Write("ORVEX Software Update/B.xml",
                  CatalogueSandbox::VersionFile("1.0.0.0", "http://127.0.0.1:9/", "b.xml"));
    for (const char* folder : {"Program", "ProgramData", "tmp"})
        QDir().mkpath(sandbox.Path(folder));
    const QString result = sandbox.Path("tmp/seen");
    const auto checks = [&] {
        auto downloader = std::make_shared<FakeDownloader>();
        downloader->documents[kListUrl] = ListOf("2.0.0.0", "New");
        downloader->documents["http://127.0.0.1:9/b.xml"] = CatalogueSandbox::Info("1.0.0.0");
        CProductListController controller;
        controller.SetDownloader(downloader);
        CRecordKeeper keeper;
        keeper.SetClock([] { return kDay; });
        QStringList seen;
        controller.SetCheckingCallback([&](const auto& product) { seen << product->GetName(); });
        controller.SetListCallback([&] { seen << "list"; });
        controller.RunCheck(&keeper);
        downloader->documents.remove(kListUrl);
        const bool retried = controller.RunCheck(&keeper);
        seen << QString::number(retried) << QString::number(keeper.LastCheckedToStore - kDay);
        return WriteFile(result, seen.join(u' ').toUtf8()) ? 0 : 1;
    };
    if (::geteuid() == 0) {
        // Everything stays root's but the temporary folder, which is the user's own.
        constexpr uid_t kUser = 65534;
        ASSERT_EQ(::chmod(QFile::encodeName(sandbox.Root()).constData(), 0755), 0);
        ASSERT_EQ(::chown(QFile::encodeName(sandbox.Path("tmp")).constData(), kUser, kUser), 0);
        EXPECT_EQ(Wait(Fork([&] {
                      return ::setgid(kUser) != 0 || ::setuid(kUser) != 0 ? 100 : checks();
                  })),
                  0);
    } else {
        for (const char* folder : {"Program", "ProgramData"})
            ::chmod(QFile::encodeName(sandbox.Path(folder)).constData(), 0555);
        EXPECT_EQ(checks(), 0);
        for (const char* folder : {"Program", "ProgramData"})
            ::chmod(QFile::encodeName(sandbox.Path(folder)).constData(), 0755);
    }
    EXPECT_EQ(QString::fromUtf8(sandbox.Read("tmp/seen")), "list New list New 1 0");
    EXPECT_EQ(sandbox.Read("ProgramData/productlist.xml"), old);
    EXPECT_FALSE(QFileInfo::exists(sandbox.Path("Program/productlist.xml")));
}

// Copies of the program run by several users at once may store the machine's copy of the list
// at the same moment. It ends as one whole list, readable by everyone whatever the umask of
// the run that stored it.
TEST(ProductListController, ListsStoredAtOnceLeaveOneWholeReadableList) {
    CatalogueSandbox sandbox;
    // The program's folder is not writable: the machine-wide copy is the one stored.
    QDir().mkpath(sandbox.Path("Program/productlist.xml/x"));
    // Large, so that storing one takes long enough for the two to overlap.
    const QString padding = "<!--" + QString(2 << 20, u'x') + "-->";
    const QByteArray lists[] = {ListOf("2.0.0.0", "Left", padding),
                                ListOf("2.0.0.0", "Right", padding)};
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        sandbox.Write("ProgramData/productlist.xml", ListOf("1.0.0.0", "Old"));
        QFile::remove(sandbox.Path("go"));
        pid_t children[2];
        for (int side = 0; side < 2; ++side) {
            children[side] = Fork([&, side] {
                ::umask(side == 0 ? 077 : 022);
                CProductListController controller;
                controller.SetDownloader(std::make_shared<ListDownloader>(lists[side]));
                controller.LoadProductList();
                WaitFor([&] { return QFileInfo::exists(sandbox.Path("go")); }, 10000);
                return controller.RefreshProductList() ? 0 : 1;
            });
        }
        sandbox.Write("go", "");
        for (const pid_t child : children)
            EXPECT_EQ(Wait(child), 0);
        const QByteArray stored = sandbox.Read("ProgramData/productlist.xml");
        EXPECT_TRUE(stored == lists[0] || stored == lists[1]) << stored.left(200).constData();
        EXPECT_EQ(sandbox.Mode("ProgramData/productlist.xml") & 0777, 0644u);
    }
}
