#pragma once

#include "catalogue/UpdateXmlReader.h"

#include <memory>

class IDownloader;

// One installed version of a software product: its local version file and the update
// information that file points to. One table row of its product.
class CProductVersion : public CUpdateXmlReader {
public:
    explicit CProductVersion(const CAtlString& path) : m_path(path) {}

    CAtlString GetPath() override { return m_path; }
    // Downloads the update information: the folder URL followed by the file name.
    CAtlString FetchRemote() override;
    IDownloader* RemoteDownloader() const override { return m_downloader; }

    // Not owned: the product holds the downloader for as long as it checks.
    void SetDownloader(IDownloader* downloader) { m_downloader = downloader; }
    int GetRow() const { return m_row; }
    void SetRow(int row) { m_row = row; }

private:
    int m_row = 0;
    IDownloader* m_downloader = nullptr;
    CAtlString m_path;
};
