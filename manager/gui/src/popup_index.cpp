#include "gui/popup_index.h"

#include "gui/pictures.h"

#include "common/vendor_server.h"

#include <QTimer>
#include <QWebEngineView>

CDlgPopupIndex::CDlgPopupIndex()
    : CDialog(IDD, 366, 230, u"岚泽禾 企业数据安全解决方案专家", nullptr)
{
    // Owned by the desktop, without a taskbar button; caption and system menu, fixed size.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
}

CDlgPopupIndex::~CDlgPopupIndex() = default;

QUrl CDlgPopupIndex::NewsUrl()
{
    return QUrl(QString::fromStdString(VendorServerBaseUrl()) +
                QStringLiteral("/lockbin/news.asp"));
}

bool CDlgPopupIndex::OnInitDialog()
{
    setWindowIcon(gui::LoadIcon(101));
    // The main window gives the window 600 x 400 pixels; the browser fills that from 0, 0.
    setFixedSize(600, 400);
    QTimer::singleShot(0, this, &CDlgPopupIndex::start_browser);
    return true;
}

void CDlgPopupIndex::start_browser()
{
    if (browser_)
        return;
    browser_ = new QWebEngineView(this);
    Place(browser_, IDC_BROWSER, 0, 0, 0, 0);
    browser_->setGeometry(0, 0, 600, 400);
    connect(browser_, &QWebEngineView::loadFinished, this, &CDlgPopupIndex::newsLoaded);
    browser_->load(NewsUrl());
}
