#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

// GNOME's proxy settings (org.gnome.system.proxy) as GSettings holds them, in dconf on a
// desktop or in GLib's keyfile backend where GSETTINGS_BACKEND says so. They are read through
// GIO, which is on every machine with Qt (it comes with GLib) and is loaded only when asked:
// whatever the session variables say, since Ubuntu's, Cinnamon's and other GNOME-based
// sessions name themselves in XDG_CURRENT_DESKTOP only.
struct GnomeProxySettings {
    enum Mode { None, Manual, Auto };
    Mode mode = None; // None also where the settings cannot be read
    QString autoconfigUrl;
    QStringList ignoreHosts;
    QString httpHost;
    int32_t httpPort = 0;
    bool useAuthentication = false;
    QString userName;
    QString password;
    QString httpsHost;
    int32_t httpsPort = 0;

    // Reads them now; any thread.
    static GnomeProxySettings Read();
};
