// The dialog framework's stand-in on Qt: a dialog placed from its template's dialog units.
//
// Declaring a dialog from a template. Derive from CDialog, pass the template's id, size (dialog
// units) and title, and create every control of the template in OnInitDialog with the Add...
// helpers, giving the template's rectangle in dialog units:
//
//     class CDlgOpen : public gui::CDialog {
//     public:
//         explicit CDlgOpen(QWidget* owner) : CDialog(131, 220, 90, u"打开保险箱", owner) {}
//     protected:
//         bool OnInitDialog() override
//         {
//             AddStatic(gui::IDC_STATIC, u"密码：", 10, 12, 40, 8);
//             AddEdit(1010, 52, 10, 150, 14, gui::EditStyle::password);
//             AddButton(IDOK, u"确定", 60, 60, 50, 14, gui::ButtonStyle::default_push);
//             AddButton(IDCANCEL, u"取消", 120, 60, 50, 14);
//             return true;
//         }
//         void OnOK() override { /* check, then */ EndDialog(IDOK); }
//     };
//
// Rectangles convert with the dialog font's base units as the platform computes them:
// horizontal = (width of "A..Za..z" / 26 + 1) / 2, vertical = the font's height; x * horizontal
// / 4 and y * vertical / 8, rounded. The size given is the client area; the frame is the window
// system's. Every control's objectName is its control id in decimal ("1006"), so tests and tools
// find it with findChild<QWidget*>("1006") or GetDlgItem(1006); controls without an id
// (IDC_STATIC) are named "-1".
//
// Behaviour as on the platform: DoModal returns the value given to EndDialog; Enter runs the
// default button (OnOK when there is none) and Escape and the close box run OnCancel, which
// ends the dialog with IDCANCEL. A dialog that must not end on those keys overrides
// PreTranslateKey. IDOK, IDCANCEL, IDYES and IDNO come from winuser.h.
//
// Message boxes and pickers never go through QMessageBox or QFileDialog directly: use
// gui/message_box.h and gui/pickers.h, whose next-answer hooks let tests answer them.
#pragma once

#include "winuser.h"

#include <QDialog>
#include <QRect>
#include <QString>

#include <string>
#include <string_view>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QKeyEvent;

namespace gui {

inline constexpr int IDC_STATIC = -1;

// The dialog base units of a font, in pixels.
struct DialogBaseUnits {
    int x = 0; // (average width of the 52 letters, rounded as the platform does)
    int y = 0; // the font's height
};
DialogBaseUnits BaseUnitsOf(const QFont& font);
// A rectangle in dialog units as pixels (MulDiv rounding, as MapDialogRect).
QRect MapDialogRect(const DialogBaseUnits& units, int x, int y, int cx, int cy);

// The one font of every dialog: Noto Sans CJK SC, 9 pt. Set on the application at start-up
// (and by tests) so every window measures the same base units.
QFont DialogFont();

QString ToQString(std::u16string_view text);
std::u16string ToU16(const QString& text);

enum class ButtonStyle { push, default_push };
enum class EditStyle { normal, password, read_only, multi_line, number };

class CDialog : public QDialog {
    Q_OBJECT
public:
    // owner: the dialog's owner window, or nullptr for none (a top-level window of its own).
    CDialog(int templateId, int cx, int cy, std::u16string_view title, QWidget* owner);
    ~CDialog() override;

    int TemplateId() const { return templateId_; }

    // Creates the controls once (OnInitDialog) and runs the dialog modally. The result is
    // EndDialog's value, IDCANCEL when the dialog was closed otherwise.
    int DoModal();
    // For modeless use: creates the controls once without showing the dialog. True when
    // OnInitDialog returned true (it has then been called; later calls do nothing).
    bool Create();
    void EndDialog(int result);

    // The control with that id, or nullptr.
    QWidget* GetDlgItem(int id) const;
    template <class W> W* Item(int id) const { return qobject_cast<W*>(GetDlgItem(id)); }
    // The control's text (QLabel, QLineEdit, QAbstractButton, QGroupBox, QComboBox's edit text,
    // QPlainTextEdit with CR LF line breaks).
    std::u16string GetDlgItemText(int id) const;
    void SetDlgItemText(int id, std::u16string_view text);

    const DialogBaseUnits& BaseUnits() const { return units_; }
    QRect MapDialogRect(int x, int y, int cx, int cy) const;

protected:
    // Creates the controls; true lets the framework set the default focus (the first tab stop).
    virtual bool OnInitDialog() { return true; }
    // Enter with no default button, and a button with id IDOK: ends with IDOK.
    virtual void OnOK() { EndDialog(IDOK); }
    // Escape, the close box and a button with id IDCANCEL: ends with IDCANCEL.
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // Called for every key press in the dialog before it is handled; true swallows the key.
    virtual bool PreTranslateKey(QKeyEvent* event) { return false; }

    // Controls, each at its template rectangle (dialog units) with its id as objectName.
    // A button with id IDOK or IDCANCEL runs OnOK or OnCancel when clicked.
    QPushButton* AddButton(int id, std::u16string_view text, int x, int y, int cx, int cy,
                           ButtonStyle style = ButtonStyle::push);
    QLabel* AddStatic(int id, std::u16string_view text, int x, int y, int cx, int cy);
    // A static label given only its position: sized to its text.
    QLabel* AddLabel(std::u16string_view text, int x, int y);
    QGroupBox* AddGroupBox(int id, std::u16string_view text, int x, int y, int cx, int cy);
    QLineEdit* AddEdit(int id, int x, int y, int cx, int cy, EditStyle style = EditStyle::normal);
    QCheckBox* AddCheckBox(int id, std::u16string_view text, int x, int y, int cx, int cy);
    // groupStart begins a new group of mutually exclusive radio buttons (WS_GROUP).
    QRadioButton* AddRadioButton(int id, std::u16string_view text, int x, int y, int cx, int cy,
                                 bool groupStart);
    // A drop-down list; the template's height is that of the open list, the control keeps the
    // height of one line.
    QComboBox* AddComboBox(int id, int x, int y, int cx, int cy, bool editable = false);
    QProgressBar* AddProgress(int id, int x, int y, int cx, int cy);
    QListWidget* AddListView(int id, int x, int y, int cx, int cy);
    // An etched horizontal (or vertical, when cx < cy) line.
    QFrame* AddEtchedLine(int id, int x, int y, int cx, int cy);
    // Any other widget, parented to the dialog and placed like the others.
    QWidget* Place(QWidget* control, int id, int x, int y, int cx, int cy);

    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void place(QWidget* control, int id, int x, int y, int cx, int cy);
    void wire_command(QPushButton* button, int id);

    int templateId_;
    DialogBaseUnits units_;
    bool created_ = false;
    bool initResult_ = false;
    int result_ = IDCANCEL;
    QRadioButton* lastRadio_ = nullptr;
    QButtonGroup* radioGroup_ = nullptr;
};

} // namespace gui
