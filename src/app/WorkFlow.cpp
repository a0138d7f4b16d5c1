#include "app/WorkFlow.h"

#include "net/Downloader.h"
#include "platform/ConsoleText.h"
#include "signing/SignatureReport.h"
#include "ui/MainWindow.h"
#include "update/AccessPolicy.h"
#include "update/SelfUpdate.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QTimer>
#include <QUrl>

#include <cstdio>

namespace {
// The bit of the internet-access policy that this program asks for.
constexpr uint32_t kProductUpdateAccess = 4;

// -verbose: each request says which way it went, so that an ignored proxy does not read like
// no proxy at all. A login written into the address stays out of terminals and logs.
void PrintRoute(const CAtlString& url, const QStringList& routes) {
    if (routes.isEmpty())
        return;
    const QString address = QUrl(url).toString(QUrl::RemoveUserInfo);
    const QByteArray line =
        ConsoleText(QStringLiteral("Route of ") + address + QStringLiteral(": ") +
                    routes.join(QStringLiteral(", then "))) +
        '\n';
    std::fputs(line.constData(), stderr);
    std::fflush(stderr);
}
} // namespace

CWorkFlow::CWorkFlow() {
    m_controller = std::make_shared<CProductListController>();
    m_proxyHandler = std::make_shared<ProxyHandlerBase>();
    m_downloader = std::make_shared<Downloader>();
    m_recordKeeper = std::make_shared<CRecordKeeper>();
    m_downloader->SetProxyHandler(m_proxyHandler);
}

CWorkFlow::~CWorkFlow() = default;

bool CWorkFlow::SelfUpdate() {
    QString why;
    const bool started = RunSelfUpdate(m_downloader, &why);
    // As the window tells why a product's row shows "N/A".
    if (m_verbose && !why.isEmpty()) {
        const QByteArray line = ConsoleText(QStringLiteral("ORVEX Product Update: ") + why) + '\n';
        std::fputs(line.constData(), stderr);
        std::fflush(stderr);
    }
    return started;
}

bool CWorkFlow::Preamble(const CCmdLineContext& context) {
    m_verbose = context.verbose;
    if (auto* downloader = dynamic_cast<Downloader*>(m_downloader.get()); downloader && m_verbose)
        downloader->routeLog = PrintRoute;
    SetSignatureVerbose(m_verbose);
    if (context.overrideProxy)
        m_proxyHandler->SetOverrideProxy(context.proxy);
    // Taken when the command line names no proxy, before the desktop's settings.
    m_proxyHandler->ReadAdministratorProxy();
    m_proxyHandler->userName = context.username;
    m_proxyHandler->password = context.password;
    // Loaded before the policy check, saved only by runs that reach their end: a run the
    // policy or the schedule refuses writes nothing.
    m_recordKeeper->Load();
    return IsInternetAccessAllowed(kProductUpdateAccess);
}

void CWorkFlow::AttachWindow(MainWindow& window) {
    window.SetController(m_controller);
    window.SetProxyHandler(m_proxyHandler);
    window.SetRecordKeeper(m_recordKeeper);
    window.SetVerbose(m_verbose);
}

int CWorkFlow::RunInteractive(CCmdLineContext& context) {
    if (!Preamble(context)) {
        QMessageBox box(
            QMessageBox::Warning, QStringLiteral("ORVEX Product Update"),
            QCoreApplication::translate("CWorkFlow",
                                        "Internet access is disabled by the system administrator."),
            QMessageBox::Ok);
        // Translations are files beside the program: they get no say over the box's layout.
        box.setTextFormat(Qt::PlainText);
        box.exec();
        return 0;
    }
    m_proxyHandler->credentialsDialogAllowed = true;
    m_downloader->Prepare();
    if (SelfUpdate())
        return 0;

    m_controller->SetDownloader(m_downloader);

    MainWindow window;
    AttachWindow(window);
    // Queued so that the check starts once the window's own loop runs, on screen. The window
    // has the controller run the same check as the silent run, which records its result.
    QTimer::singleShot(0, &window, SLOT(OnCheckUpdates()));
    window.exec();
    // The machine-wide proxy values are shared with the maker's other products: a run that
    // had no proxy of its own must not blank what another product keeps there. A host the
    // user cleared in Connection Options was stored by the dialog itself.
    if (m_proxyHandler->HasProxyHost())
        m_proxyHandler->StoreProxySettings();
    m_recordKeeper->Save();
    return 0;
}

int CWorkFlow::RunSilent(CCmdLineContext& context) {
    if (!Preamble(context))
        return 0;
    m_proxyHandler->credentialsDialogAllowed = false;
    if (!m_recordKeeper->CheckUpdates)
        return 0;
    if (!m_recordKeeper->IsCheckDue(m_recordKeeper->Today()))
        return 0;
    // Only now: the run at login that finds no check due must not pay for it.
    m_downloader->Prepare();
    if (SelfUpdate())
        return 0;

    m_controller->SetDownloader(m_downloader);
    // The list is read only now, as the silent run starts at every login and mostly ends
    // above. While the check runs it only prints its lines: the window stays hidden until it
    // has a finding to show, so it is made only then, from the finished check, and the many
    // runs that find nothing never build it.
    m_controller->SetCheckingCallback([](const std::shared_ptr<IProduct>& product) {
        if (product)
            MainWindow::TellChecking(*product);
    });
    m_controller->SetDoneCallback([verbose = m_verbose](const std::shared_ptr<IProduct>& product) {
        if (product)
            MainWindow::TellDone(*product, verbose);
    });
    // What the window's rows would have been built from, had it watched the check.
    std::vector<unsigned> itemsAtList;
    m_controller->SetListCallback([this, &itemsAtList] {
        for (const auto& product : m_controller->GetProducts())
            itemsAtList.push_back(product->GetItemCount());
    });
    m_controller->RunCheck(m_recordKeeper.get());
    m_controller->SetCheckingCallback(nullptr);
    m_controller->SetDoneCallback(nullptr);
    m_controller->SetListCallback(nullptr);
    if (m_controller->HasFindings()) {
        MainWindow window;
        AttachWindow(window);
        window.ShowFinishedCheck(itemsAtList);
        m_proxyHandler->credentialsDialogAllowed = true;
        window.exec();
    }
    m_recordKeeper->Save();
    return 0;
}

int CWorkFlow::RunParameterError(CCmdLineContext&) {
    std::fputs("error in parameters\n", stdout);
    std::fflush(stdout);
    return 1;
}
