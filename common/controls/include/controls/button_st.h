// CButtonST: a push button that draws a bitmap on its own face.
#pragma once

#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QPushButton>

class CButtonST : public QPushButton {
    Q_OBJECT
public:
    explicit CButtonST(QWidget* parent = nullptr);

    // Takes over a dialog's button: a CButtonST with its id (objectName), place, text, font,
    // tab order and default state replaces it and the old button is deleted. Signals of the old
    // button are not carried over.
    static CButtonST* TakeOver(QPushButton* button);

    // The face bitmap; pixels of the transparent colour are left out.
    void SetBitmaps(const QImage& bitmap, QColor transparent);
    // Flat: the face shows only while hovered. Three-dimensional otherwise.
    void SetFlat(bool flat, bool repaint = true);

    bool IsFlat() const { return flat_; }
    bool IsHovered() const { return hover_; }
    bool WasDefault() const { return wasDefault_; }
    const QPixmap& Face() const { return face_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    // The second click of a double click is a press of its own.
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    QPixmap face_;
    bool flat_ = true;
    bool hover_ = false;
    bool wasDefault_ = false;
};
