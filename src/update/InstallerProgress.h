#pragma once

#include <QDialog>

#include <cstdint>
#include <memory>

class IDownloader;
class QLabel;
class QProgressBar;

// Shows the download of the program's installer while it runs: the bytes received, the
// size when the server announced one, and a Cancel that ends the download (the downloader
// then deletes what arrived). Not modal: it is shown before the blocking download starts
// and is answered through the events that keep flowing while the download waits. Interface
// thread only; reports the downloader's progress from the moment it is made until it goes.
class CInstallerProgress : public QDialog {
    Q_OBJECT
public:
    explicit CInstallerProgress(std::shared_ptr<IDownloader> downloader);
    ~CInstallerProgress() override;

    // Whether the person ended the download (Cancel, Escape or the close box).
    bool Cancelled() const { return m_cancelled; }

    // What the download has brought so far; total <= 0 when no size was announced.
    void ShowProgress(int64_t done, int64_t total);

public slots:
    void reject() override;

private:
    std::shared_ptr<IDownloader> m_downloader;
    QProgressBar* m_bar;
    QLabel* m_amount;
    bool m_cancelled = false;
};
