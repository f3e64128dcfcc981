#include "controls/button_st.h"

#include <QBitmap>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>

CButtonST::CButtonST(QWidget* parent) : QPushButton(parent)
{
    setAttribute(Qt::WA_Hover);
}

CButtonST* CButtonST::TakeOver(QPushButton* button)
{
    QWidget* parent = button->parentWidget();
    auto* taken = new CButtonST(parent);
    taken->setObjectName(button->objectName());
    taken->setGeometry(button->geometry());
    taken->setText(button->text());
    taken->setFont(button->font());
    taken->setEnabled(button->isEnabled());
    taken->wasDefault_ = button->isDefault();
    taken->setDefault(button->isDefault());
    taken->setAutoDefault(false);
    if (parent)
        QWidget::setTabOrder(button, taken);
    taken->setVisible(button->isVisible() || !button->isHidden());
    button->setObjectName(QString());
    delete button;
    return taken;
}

void CButtonST::SetBitmaps(const QImage& bitmap, QColor transparent)
{
    face_ = QPixmap::fromImage(bitmap);
    face_.setMask(face_.createMaskFromColor(transparent, Qt::MaskInColor));
    update();
}

void CButtonST::SetFlat(bool flat, bool repaint)
{
    flat_ = flat;
    if (repaint)
        update();
}

void CButtonST::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const bool pressed = isDown();
    if (!flat_ || hover_ || pressed) {
        option.features &= ~QStyleOptionButton::Flat;
        style()->drawPrimitive(QStyle::PE_PanelButtonCommand, &option, &painter, this);
    }
    const QRect inside = rect().adjusted(6, 4, -6, -4);
    const int shift = pressed ? 1 : 0;
    int textLeft = inside.left();
    if (!face_.isNull()) {
        const QSize size =
            face_.size().scaled(inside.size(), Qt::KeepAspectRatio).boundedTo(face_.size());
        const int x =
            text().isEmpty() ? inside.left() + (inside.width() - size.width()) / 2 : inside.left();
        const QRect target(x + shift, inside.top() + (inside.height() - size.height()) / 2 + shift,
                           size.width(), size.height());
        if (isEnabled()) {
            painter.drawPixmap(target, face_);
        } else {
            painter.setOpacity(0.4);
            painter.drawPixmap(target, face_);
            painter.setOpacity(1.0);
        }
        textLeft = target.right() + 6;
    }
    if (!text().isEmpty()) {
        QRect textRect(textLeft + shift, inside.top() + shift, inside.right() - textLeft,
                       inside.height());
        painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                       QPalette::ButtonText));
        painter.drawText(textRect, Qt::AlignCenter | Qt::TextShowMnemonic, text());
    }
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(3, 3, -3, -3);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}

void CButtonST::enterEvent(QEnterEvent* event)
{
    hover_ = true;
    update();
    QPushButton::enterEvent(event);
}

void CButtonST::leaveEvent(QEvent* event)
{
    hover_ = false;
    update();
    QPushButton::leaveEvent(event);
}

void CButtonST::mouseDoubleClickEvent(QMouseEvent* event)
{
    mousePressEvent(event);
}
