#pragma once

#include "app/CmdLineContext.h"
#include "net/IDownloader.h"
#include "net/ProxyHandlerBase.h"
#include "update/ProductListController.h"
#include "update/RecordKeeper.h"

#include <memory>

class MainWindow;

// Owns the four long-lived components of a run and performs the run the command line
// selected. Everything here runs on the main thread.
class CWorkFlow {
public:
    CWorkFlow();
    virtual ~CWorkFlow();
    CWorkFlow(const CWorkFlow&) = delete;
    CWorkFlow& operator=(const CWorkFlow&) = delete;

    // Each returns its action's result code, which start-up ignores.
    virtual int RunInteractive(CCmdLineContext& context);
    virtual int RunSilent(CCmdLineContext& context);
    virtual int RunParameterError(CCmdLineContext& context);

    // True when a newer version of the program has been started and this run must end.
    bool SelfUpdate();

    const std::shared_ptr<IDownloader>& GetDownloader() const { return m_downloader; }
    const std::shared_ptr<CProductListController>& GetController() const { return m_controller; }
    const std::shared_ptr<ProxyHandlerBase>& GetProxyHandler() const { return m_proxyHandler; }
    const std::shared_ptr<CRecordKeeper>& GetRecordKeeper() const { return m_recordKeeper; }

private:
    bool Preamble(const CCmdLineContext& context);
    void AttachWindow(MainWindow& window);

    std::shared_ptr<IDownloader> m_downloader;
    std::shared_ptr<CProductListController> m_controller;
    std::shared_ptr<ProxyHandlerBase> m_proxyHandler;
    std::shared_ptr<CRecordKeeper> m_recordKeeper;
    // The "verbose" switch, taken by Preamble for the window.
    bool m_verbose = false;
};
