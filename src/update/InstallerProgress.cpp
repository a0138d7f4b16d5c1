#include "update/InstallerProgress.h"

#include "net/IDownloader.h"

#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {
// The bar's steps when the size is known: fine enough for any installer, and within an int.
constexpr int kSteps = 1000;
} // namespace

CInstallerProgress::CInstallerProgress(std::shared_ptr<IDownloader> downloader)
    : m_downloader(std::move(downloader)), m_bar(new QProgressBar(this)),
      m_amount(new QLabel(this)) {
    setObjectName(QStringLiteral("InstallerProgress"));
    setWindowTitle(tr("ORVEX Product Update"));
    auto* text = new QLabel(tr("Downloading the new version of ORVEX Product Update..."), this);
    // Translations are files beside the program: they get no say over the layout.
    text->setTextFormat(Qt::PlainText);
    m_amount->setTextFormat(Qt::PlainText);
    text->setObjectName(QStringLiteral("textLabel"));
    m_bar->setObjectName(QStringLiteral("progressBar"));
    m_amount->setObjectName(QStringLiteral("amountLabel"));
    m_bar->setAccessibleName(text->text());
    auto* cancel = new QPushButton(tr("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    connect(cancel, &QPushButton::clicked, this, &CInstallerProgress::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(m_bar);
    layout->addWidget(m_amount);
    layout->addWidget(cancel, 0, Qt::AlignRight);
    ShowProgress(0, 0);
    if (m_downloader)
        m_downloader->SetProgressHook(
            [this](int64_t done, int64_t total) { ShowProgress(done, total); });
}

CInstallerProgress::~CInstallerProgress() {
    if (m_downloader)
        m_downloader->SetProgressHook(nullptr);
}

void CInstallerProgress::ShowProgress(int64_t done, int64_t total) {
    const QLocale locale;
    if (total > 0) {
        m_bar->setRange(0, kSteps);
        m_bar->setValue(static_cast<int>(std::min(done, total) * kSteps / total));
        m_amount->setText(
            tr("%1 of %2").arg(locale.formattedDataSize(done), locale.formattedDataSize(total)));
    } else {
        // Without a size the bar only shows that the download is alive.
        m_bar->setRange(0, 0);
        m_amount->setText(tr("%1 received").arg(locale.formattedDataSize(done)));
    }
}

void CInstallerProgress::reject() {
    // Escape and the close box end the download as Cancel does: a dialog that went away
    // while the download went on would leave it with nothing to end it.
    if (!m_cancelled) {
        m_cancelled = true;
        if (m_downloader)
            m_downloader->Cancel();
    }
    QDialog::reject();
}
