#include "controls/bc_menu.h"

#include <QApplication>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionMenuItem>

namespace {

int g_draw_mode = 0;

// The flat look: a plain light background, a flat highlight bar, greyed text for disabled
// items and a thin separator row, in the system's menu font.
class FlatMenuStyle : public QProxyStyle {
public:
    FlatMenuStyle() : QProxyStyle(QStringLiteral("Fusion")) {}

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override
    {
        const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
        if (element != CE_MenuItem || !item) {
            QProxyStyle::drawControl(element, option, painter, widget);
            return;
        }
        const QRect r = item->rect;
        painter->fillRect(r, QColor(0xF9, 0xF8, 0xF7));
        if (item->menuItemType == QStyleOptionMenuItem::Separator) {
            painter->setPen(QColor(0xC5, 0xC2, 0xB8));
            const int y = r.center().y();
            painter->drawLine(r.left() + 4, y, r.right() - 4, y);
            return;
        }
        const bool enabled = item->state & State_Enabled;
        const bool selected = (item->state & State_Selected) && enabled;
        if (selected) {
            painter->fillRect(r.adjusted(1, 0, -1, 0), QColor(0xC1, 0xD2, 0xEE));
            painter->setPen(QColor(0x31, 0x6A, 0xC5));
            painter->drawRect(r.adjusted(1, 0, -2, -1));
        }
        painter->setPen(enabled ? QColor(Qt::black) : QColor(0xA0, 0xA0, 0xA0));
        painter->setFont(item->font);
        const QRect text = r.adjusted(24, 0, -8, 0);
        painter->drawText(text, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextShowMnemonic,
                          item->text);
    }

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override
    {
        const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
        if (type != CT_MenuItem || !item)
            return QProxyStyle::sizeFromContents(type, option, size, widget);
        if (item->menuItemType == QStyleOptionMenuItem::Separator)
            return QSize(size.width(), 7);
        const QFontMetrics metrics(item->font);
        return QSize(metrics.horizontalAdvance(QString(item->text).remove(QLatin1Char('&'))) + 48,
                     metrics.height() + 8);
    }
};

FlatMenuStyle* flat_style()
{
    static FlatMenuStyle* style = [] {
        auto* s = new FlatMenuStyle;
        s->setParent(qApp);
        return s;
    }();
    return style;
}

} // namespace

BCMenu::BCMenu(QWidget* parent) : QMenu(parent)
{
    setFont(QApplication::font("QMenu"));
    if (g_draw_mode == 1)
        setStyle(flat_style());
}

BCMenu::~BCMenu() = default;

void BCMenu::SetMenuDrawMode(int mode)
{
    g_draw_mode = mode;
}

int BCMenu::GetMenuDrawMode()
{
    return g_draw_mode;
}

bool BCMenu::LoadMenu(const std::vector<MenuTemplateItem>& menuTemplate)
{
    clear();
    popups_.clear();
    for (const MenuTemplateItem& top : menuTemplate) {
        auto* popup = new BCMenu(this);
        popup->setTitle(QString::fromStdU16String(top.text));
        popup->build(top.children);
        addMenu(popup);
        popups_.push_back(popup);
    }
    return !popups_.empty();
}

void BCMenu::build(const std::vector<MenuTemplateItem>& items)
{
    for (const MenuTemplateItem& item : items) {
        if (!item.children.empty()) {
            auto* popup = new BCMenu(this);
            popup->setTitle(QString::fromStdU16String(item.text));
            popup->build(item.children);
            addMenu(popup);
            popups_.push_back(popup);
        } else if (item.id == 0) {
            addSeparator();
        } else {
            QAction* action = addAction(QString::fromStdU16String(item.text));
            action->setData(item.id);
            action->setObjectName(QString::number(item.id));
        }
    }
}

BCMenu* BCMenu::GetSubMenu(int position) const
{
    if (position < 0 || position >= static_cast<int>(popups_.size()))
        return nullptr;
    return popups_[static_cast<size_t>(position)];
}

QAction* BCMenu::FindCommand(int id) const
{
    for (QAction* action : actions()) {
        if (action->data().toInt() == id && !action->isSeparator() && !action->menu())
            return action;
        if (auto* sub = qobject_cast<BCMenu*>(action->menu()))
            if (QAction* found = sub->FindCommand(id))
                return found;
    }
    return nullptr;
}

bool BCMenu::EnableMenuItem(int id, bool enabled)
{
    QAction* action = FindCommand(id);
    if (!action)
        return false;
    action->setEnabled(enabled);
    return true;
}

int BCMenu::TrackPopupMenu(const QPoint& globalPos)
{
    QAction* chosen = exec(globalPos);
    return chosen ? chosen->data().toInt() : 0;
}
