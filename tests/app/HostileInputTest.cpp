// What files and servers outside the program's control can make it read, show and pass on:
// one row per hostile input, each with what the program did with it.
#include "../qtglue/LanguageSandbox.h"
#include "app/WorkFlow.h"
#include "catalogue/ProductVersion.h"
#include "catalogue/Products.h"
#include "catalogue/WebPage.h"
#include "net/ProxyAuth.h"
#include "qtglue/LanguageCatalogue.h"
#include "qtglue/StringsResourceManager.h"
#include "support/Installation.h"
#include "support/ModalAnswerer.h"
#include "ui/MainWindow.h"
#include "update/ProductListController.h"
#include "update/RecordKeeper.h"

#include <QLabel>
#include <QTextDocument>
#include <QTranslator>

#include <sys/stat.h>

namespace {

using namespace Qt::StringLiterals;

// A translation that tries to lay out every text with a heading, a link and an image.
class MarkupTranslator : public QTranslator {
public:
    MarkupTranslator() { QCoreApplication::installTranslator(this); }
    ~MarkupTranslator() override { QCoreApplication::removeTranslator(this); }
    QString translate(const char*, const char* source, const char*, int) const override {
        return "<h1>"_L1 + QString::fromUtf8(source) + R"(</h1><a href="x">a</a><img src="y">)"_L1;
    }
    bool isEmpty() const override { return false; }
};

// The labels below widget (a message box's text is one) that lay out their text as markup.
QStringList MarkupLabels(const QWidget* widget, const QString& where) {
    QStringList found;
    for (const QLabel* label : widget->findChildren<QLabel*>()) {
        const Qt::TextFormat format = label->textFormat();
        if (format == Qt::RichText ||
            (format == Qt::AutoText && Qt::mightBeRichText(label->text())))
            found << where + u'.' + label->objectName();
    }
    return found;
}

// What a tool tip shows a person: markup laid out, anything else as it is.
QString ShownToolTip(const QString& tip) {
    QTextDocument document;
    Qt::mightBeRichText(tip) ? document.setHtml(tip) : document.setPlainText(tip);
    return document.toPlainText();
}

QString LanguageCodeLeadingElsewhere() {
    LanguageSandbox sandbox;
    sandbox.InstallCatalogue(R"(<L><L Code="../../Evil" ID="0407"/></L>)");
    // Where the code would lead from the languages folder.
    sandbox.Write(u"drive_c/Evil/Test.strings"_s, Utf16Le(u"Retry=stolen;"_s));
    CStringsResourceManager manager;
    manager.Init(0x0407, sandbox.LanguagesFolder(), u"Test"_s);
    return manager.GetString(u"Retry"_s);
}

// Every kind of box and label a translation or a server's words reach.
QString MarkupShown() {
    CatalogueSandbox sandbox;
    sandbox.Write("Program/A.xml", CatalogueSandbox::VersionFile("1.0.0.0", "http://h/", "a.xml"));
    sandbox.Write("ProgramData/productlist.xml",
                  CatalogueSandbox::List("1.0.0.0", {}, {CatalogueSandbox::Product("A", "A")}));
    auto downloader = std::make_shared<FakeDownloader>();
    downloader->documents["http://h/a.xml"] = "not XML";
    MarkupTranslator translator;
    QStringList found;
    ModalAnswerer person([&found](QWidget* modal) {
        found << MarkupLabels(modal, modal->metaObject()->className());
        qobject_cast<QDialog*>(modal)->reject();
    });

    auto controller = std::make_shared<CProductListController>();
    controller->SetDownloader(downloader);
    MainWindow window;
    window.SetController(controller);
    window.SetRecordKeeper(std::make_shared<CRecordKeeper>());
    QMetaObject::invokeMethod(&window, "OnCheckUpdates");
    window.OnConnectionError(u"<b>The proxy said so</b>"_s);
    found << MarkupLabels(&window, u"MainWindow"_s);
    const QString reason = controller->GetProducts().at(0)->GetFailureReason(0);
    if (ShownToolTip(window.tableWidget->item(0, 2)->toolTip()) != reason)
        found << u"MainWindow.toolTip"_s;

    const ProxyAuth credentials;
    found << MarkupLabels(&credentials, u"ProxyAuth"_s);
    OpenWebPage(u"file:///<b>x</b>"_s);
    // The administrator's policy refuses the interactive run with a box.
    EXPECT_EQ(
        RegWriteDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORVEX Technologies\\ACC", "InternetAccess", 0),
        0);
    CCmdLineContext context;
    CWorkFlow().RunInteractive(context);
    EXPECT_EQ(person.Count(), 2) << "the browser warning and the policy's box";
    return found.join(u", "_s);
}

// The real program's lines about a product whose name holds an escape sequence and a line
// that reads like one of its own, on standard output and, under -verbose, standard error.
QString NameOnTheConsole() {
    const Installation installation(
        u"http://127.0.0.1:9/"_s,
        CatalogueSandbox::List("1.0.0.0", {},
                               {R"(<Product Name="Evil&#27;[2J&#10;- Done Alpha" BaseXml="A"/>)"}));
    const Outcome outcome = installation.RunSilent(false, {"-verbose"});
    QStringList lines = outcome.out.split(u'\n', Qt::SkipEmptyParts);
    for (const QString& line : outcome.err.split(u'\n'))
        if (line.startsWith("Evil"_L1))
            lines << line.section(u": "_s, 0, 0);
    return lines.join(u'|');
}

QString FolderModeUnderUmask077() {
    CatalogueSandbox sandbox;
    const mode_t old = ::umask(077);
    LoadBestProductList();
    ::umask(old);
    return QString::number(sandbox.Mode(u"ProgramData"_s) & 07777, 8);
}

// An element of open with 200000 empty attributes more, closed by close.
QByteArray Flood(const QByteArray& open, const QByteArray& close) {
    QByteArray flood = open;
    for (int i = 0; i < 200000; ++i)
        flood += " a" + QByteArray::number(i) + "=\"\"";
    return flood + "/>" + close;
}

// The bound itself is XmlDocumentTest's; here that a refused flood reads as no XML at all.
QString AttributeFlood() {
    CProductVersion version(u"unused"_s);
    version.ParseRemote(
        Flood(R"(<Info Location="Server"><Product UpdateVersion="2.0.0.0")", "</Info>"));
    return DescribeFailure(version.RemoteFailure());
}

QString CatalogueFlood() {
    QString id;
    return MatchLanguageAttribute(Flood(R"(<L><L Code="de" ID="0407")", "</L>"), u"de"_s, "Code",
                                  "ID", id) == CatalogueMatch::Unreadable
               ? u"unreadable"_s
               : id;
}

TEST(HostileInput, IsReadShownAndPassedOnOnlyAsData) {
    const struct {
        const char* name;
        QString (*observe)();
        QString expected;
    } rows[] = {
        {"LanguageCodeWithDotDotReadsNoOtherFolder", LanguageCodeLeadingElsewhere, "Retry"},
        {"RichTextShownPlain", MarkupShown, ""},
        {"EscapeAndNewlineInANameReplaced", NameOnTheConsole,
         "- Checking Evil?[2J?- Done Alpha...|- Done Evil?[2J?- Done Alpha|Evil?[2J?- Done Alpha"},
        {"CommonFolderReadableUnderUmask077", FolderModeUnderUmask077, "755"},
        {"AttributeFloodNotUnderstood", AttributeFlood,
         "The update information was not understood: it is not XML."},
        {"LanguageCatalogueFloodUnreadable", CatalogueFlood, "unreadable"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.observe(), row.expected);
    }
}

} // namespace
