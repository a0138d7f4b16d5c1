#pragma once

#include <QString>

#include <memory>

class IDownloader;

// Offers the newer version of the program when its update information publishes one: asks,
// downloads the installer, checks it (published SHA-256; signature when the program's own
// version file names a key; see CUpdaterVersion::DownloadInstaller), makes it executable for
// its owner and starts the checked bytes detached with its one argument. True only when the
// installer was started and the run must end; any refusal or failure lets the run go on with this
// version. The update information and its signature share one limit of 30 s in all (then *why
// says so); the installer's download shows its progress with a Cancel, after which the run
// goes on without a warning. Shows message boxes. When the program's own version file names no
// valid version nothing is fetched or asked, and *why (when given) gets the reason, in the run's
// language; so it does when the update information was refused for its signature.
bool RunSelfUpdate(const std::shared_ptr<IDownloader>& downloader, QString* why = nullptr);
