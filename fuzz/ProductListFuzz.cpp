// Product lists come from disk and from the list's own address on the network: any bytes
// must read without harm, and whatever is kept must be an item the program can show.
#include "FuzzCheck.h"
#include "catalogue/Products.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    Products list;
    const bool loaded = list.Parse(bytes);
    Check(loaded == !list.Items().empty() && loaded == list.IsLoaded());
    for (const auto& item : list.Items()) {
        // Every kept item can be told apart and has no rows before it looked for them.
        Check(!item->GetId().isEmpty() && item->GetItemCount() == 0);
    }
    // Reading the same bytes again gives the same list.
    Products again;
    Check(again.Parse(bytes) == loaded && again.Items().size() == list.Items().size() &&
          again.Version() == list.Version() && again.Url() == list.Url());
    return 0;
}
