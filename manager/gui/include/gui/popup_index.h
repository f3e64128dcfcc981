// CDlgPopupIndex: the news window (template 144), a browser showing the vendor's news page.
//
// The browser is made and sent to the page on the first turn of the event loop after the window
// is created, so the main window appears without waiting for it; a page that cannot load shows
// the browser's own error page and changes nothing else. Closing the window (close box or Esc)
// only hides it.
#pragma once

#include "gui/dialog.h"

#include <QUrl>

class QWebEngineView;

class CDlgPopupIndex : public gui::CDialog {
    Q_OBJECT
public:
    enum { IDD = 144, IDC_BROWSER = 1049 };

    CDlgPopupIndex();
    ~CDlgPopupIndex() override;

    // "/lockbin/news.asp" on the vendor's server (VendorServerBaseUrl).
    static QUrl NewsUrl();

    // The browser, once made (nullptr before).
    QWebEngineView* Browser() const { return browser_; }

signals:
    // The page finished loading, or failed to (ok false).
    void newsLoaded(bool ok);

protected:
    bool OnInitDialog() override;
    void OnOK() override {}
    void OnCancel() override { hide(); }

private:
    void start_browser();

    QWebEngineView* browser_ = nullptr;
};
