// The installed-categories file (from the content's installer) and the published one (from
// the network): any bytes must read without harm, the published file may only stamp the
// categories the machine has, and the row must agree with the stamps.
// The first line is the installed file, the rest the published one.
#include "FuzzCheck.h"
#include "catalogue/GalleryVersion.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype split = bytes.indexOf('\n');
    const QByteArray installed = split < 0 ? bytes : bytes.left(split);
    const QByteArray published = split < 0 ? QByteArray() : bytes.mid(split + 1);

    GalleryVersion gallery;
    const bool found = gallery.ParseInstalled(installed);
    const auto before = gallery.Categories();
    Check(found == !before.empty() && gallery.GetItemCount() == (found ? 1u : 0u));
    for (const auto& [id, stamps] : before)
        Check(!id.isEmpty() && stamps.published.isEmpty());
    Check(!gallery.IsUpdateAvailable(0));

    const bool valid = gallery.ParsePublished(published);
    const auto& after = gallery.Categories();
    Check(valid == gallery.HasUpdateInfo(0));
    // The same categories with the same installed stamps; only published stamps are new.
    Check(after.size() == before.size());
    Check(std::equal(after.begin(), after.end(), before.begin(), [](const auto& a, const auto& b) {
        return a.first == b.first && a.second.installed == b.second.installed;
    }));
    Check(valid || std::all_of(after.begin(), after.end(),
                               [](const auto& c) { return c.second.published.isEmpty(); }));
    const bool newer = std::any_of(after.begin(), after.end(), [](const auto& c) {
        return c.second.installed < c.second.published;
    });
    Check(gallery.IsUpdateAvailable(0) == newer && (!newer || valid));
    Check(found || gallery.GetInstalledVersionText(0).isEmpty());
    return 0;
}
