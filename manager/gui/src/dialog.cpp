#include "gui/dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include <cmath>

namespace gui {

namespace {

// MulDiv: the product over the divisor, rounded half away from zero.
int mul_div(int value, int numerator, int denominator)
{
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

} // namespace

DialogBaseUnits BaseUnitsOf(const QFont& font)
{
    // averageCharWidth() of a CJK font is its full-width advance; the platform measures the
    // Latin letters instead.
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(width / 26 + 1) / 2, metrics.height()};
}

QRect MapDialogRect(const DialogBaseUnits& units, int x, int y, int cx, int cy)
{
    return QRect(mul_div(x, units.x, 4), mul_div(y, units.y, 8), mul_div(cx, units.x, 4),
                 mul_div(cy, units.y, 8));
}

QFont DialogFont()
{
    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPointSize(9);
    return font;
}

QString ToQString(std::u16string_view text)
{
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::u16string ToU16(const QString& text)
{
    return text.toStdU16String();
}

CDialog::CDialog(int templateId, int cx, int cy, std::u16string_view title, QWidget* owner)
    : QDialog(owner), templateId_(templateId)
{
    setFont(DialogFont());
    units_ = BaseUnitsOf(font());
    setWindowTitle(ToQString(title));
    const QRect client = gui::MapDialogRect(units_, 0, 0, cx, cy);
    setFixedSize(client.size());
    // No "?" button and no resizing: a fixed frame with caption and system menu.
    setWindowFlags((windowFlags() & ~Qt::WindowContextHelpButtonHint) |
                   Qt::MSWindowsFixedSizeDialogHint);
    setSizeGripEnabled(false);
}

CDialog::~CDialog() = default;

bool CDialog::Create()
{
    if (!created_) {
        created_ = true;
        initResult_ = OnInitDialog();
        if (initResult_) {
            // The platform gives the focus to the first tab stop.
            for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
                if (child->focusPolicy() & Qt::TabFocus && child->isEnabled()) {
                    child->setFocus();
                    break;
                }
            }
        }
    }
    return initResult_;
}

int CDialog::DoModal()
{
    Create();
    result_ = IDCANCEL;
    exec();
    return result_;
}

void CDialog::EndDialog(int result)
{
    result_ = result;
    QDialog::done(result);
}

QWidget* CDialog::GetDlgItem(int id) const
{
    return findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

std::u16string CDialog::GetDlgItemText(int id) const
{
    QWidget* item = GetDlgItem(id);
    if (auto* label = qobject_cast<QLabel*>(item))
        return ToU16(label->text());
    if (auto* edit = qobject_cast<QLineEdit*>(item))
        return ToU16(edit->text());
    if (auto* button = qobject_cast<QAbstractButton*>(item))
        return ToU16(button->text());
    if (auto* group = qobject_cast<QGroupBox*>(item))
        return ToU16(group->title());
    if (auto* combo = qobject_cast<QComboBox*>(item))
        return ToU16(combo->currentText());
    // A multi-line edit holds its line breaks as the platform's edit control does: CR LF.
    if (auto* text = qobject_cast<QPlainTextEdit*>(item))
        return ToU16(text->toPlainText().replace(u'\n', QStringLiteral("\r\n")));
    return {};
}

void CDialog::SetDlgItemText(int id, std::u16string_view text)
{
    QWidget* item = GetDlgItem(id);
    const QString value = ToQString(text);
    if (auto* label = qobject_cast<QLabel*>(item))
        label->setText(value);
    else if (auto* edit = qobject_cast<QLineEdit*>(item))
        edit->setText(value);
    else if (auto* button = qobject_cast<QAbstractButton*>(item))
        button->setText(value);
    else if (auto* group = qobject_cast<QGroupBox*>(item))
        group->setTitle(value);
    else if (auto* combo = qobject_cast<QComboBox*>(item))
        combo->setEditText(value);
    else if (auto* text = qobject_cast<QPlainTextEdit*>(item))
        text->setPlainText(QString(value).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

QRect CDialog::MapDialogRect(int x, int y, int cx, int cy) const
{
    return gui::MapDialogRect(units_, x, y, cx, cy);
}

void CDialog::place(QWidget* control, int id, int x, int y, int cx, int cy)
{
    control->setParent(this);
    control->setObjectName(QString::number(id));
    control->setGeometry(MapDialogRect(x, y, cx, cy));
    control->show();
}

void CDialog::wire_command(QPushButton* button, int id)
{
    if (id == IDOK)
        connect(button, &QPushButton::clicked, this, [this] { OnOK(); });
    else if (id == IDCANCEL)
        connect(button, &QPushButton::clicked, this, [this] { OnCancel(); });
}

QWidget* CDialog::Place(QWidget* control, int id, int x, int y, int cx, int cy)
{
    place(control, id, x, y, cx, cy);
    return control;
}

QPushButton* CDialog::AddButton(int id, std::u16string_view text, int x, int y, int cx, int cy,
                                ButtonStyle style)
{
    auto* button = new QPushButton(ToQString(text), this);
    // Enter reaches the default button only; other buttons are not promoted on focus.
    button->setAutoDefault(false);
    button->setDefault(style == ButtonStyle::default_push);
    place(button, id, x, y, cx, cy);
    wire_command(button, id);
    return button;
}

QLabel* CDialog::AddStatic(int id, std::u16string_view text, int x, int y, int cx, int cy)
{
    auto* label = new QLabel(ToQString(text), this);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    place(label, id, x, y, cx, cy);
    return label;
}

QLabel* CDialog::AddLabel(std::u16string_view text, int x, int y)
{
    auto* label = new QLabel(ToQString(text), this);
    label->setTextFormat(Qt::PlainText);
    place(label, IDC_STATIC, x, y, 0, 0);
    label->adjustSize();
    return label;
}

QGroupBox* CDialog::AddGroupBox(int id, std::u16string_view text, int x, int y, int cx, int cy)
{
    auto* group = new QGroupBox(ToQString(text), this);
    place(group, id, x, y, cx, cy);
    // A frame behind its sibling controls, as the platform draws it; it holds none of them.
    group->lower();
    group->setFocusPolicy(Qt::NoFocus);
    return group;
}

QLineEdit* CDialog::AddEdit(int id, int x, int y, int cx, int cy, EditStyle style)
{
    auto* edit = new QLineEdit(this);
    switch (style) {
    case EditStyle::password:
        edit->setEchoMode(QLineEdit::Password);
        break;
    case EditStyle::read_only:
        edit->setReadOnly(true);
        break;
    case EditStyle::number:
        edit->setValidator(new QIntValidator(0, INT_MAX, edit));
        break;
    case EditStyle::normal:
    case EditStyle::multi_line:
        break;
    }
    place(edit, id, x, y, cx, cy);
    return edit;
}

QCheckBox* CDialog::AddCheckBox(int id, std::u16string_view text, int x, int y, int cx, int cy)
{
    auto* box = new QCheckBox(ToQString(text), this);
    place(box, id, x, y, cx, cy);
    return box;
}

QRadioButton* CDialog::AddRadioButton(int id, std::u16string_view text, int x, int y, int cx,
                                      int cy, bool groupStart)
{
    auto* radio = new QRadioButton(ToQString(text), this);
    if (groupStart || !radioGroup_)
        radioGroup_ = new QButtonGroup(this);
    radioGroup_->addButton(radio, id);
    place(radio, id, x, y, cx, cy);
    lastRadio_ = radio;
    return radio;
}

QComboBox* CDialog::AddComboBox(int id, int x, int y, int cx, int cy, bool editable)
{
    auto* combo = new QComboBox(this);
    combo->setEditable(editable);
    place(combo, id, x, y, cx, cy);
    const QRect rect = combo->geometry();
    combo->setGeometry(rect.x(), rect.y(), rect.width(), combo->sizeHint().height());
    return combo;
}

QProgressBar* CDialog::AddProgress(int id, int x, int y, int cx, int cy)
{
    auto* bar = new QProgressBar(this);
    bar->setTextVisible(false);
    place(bar, id, x, y, cx, cy);
    return bar;
}

QListWidget* CDialog::AddListView(int id, int x, int y, int cx, int cy)
{
    auto* list = new QListWidget(this);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    place(list, id, x, y, cx, cy);
    return list;
}

QFrame* CDialog::AddEtchedLine(int id, int x, int y, int cx, int cy)
{
    auto* line = new QFrame(this);
    line->setFrameShape(cx >= cy ? QFrame::HLine : QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    place(line, id, x, y, cx, cy);
    // An etched line is two pixels whatever its template height.
    QRect rect = line->geometry();
    if (cx >= cy)
        rect.setHeight(2);
    else
        rect.setWidth(2);
    line->setGeometry(rect);
    return line;
}

void CDialog::keyPressEvent(QKeyEvent* event)
{
    if (PreTranslateKey(event)) {
        event->accept();
        return;
    }
    switch (event->key()) {
    case Qt::Key_Escape:
        event->accept();
        OnCancel();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter: {
        event->accept();
        for (QPushButton* button :
             findChildren<QPushButton*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (button->isDefault() && button->isVisible()) {
                if (button->isEnabled())
                    button->click();
                return;
            }
        }
        OnOK();
        return;
    }
    default:
        QDialog::keyPressEvent(event);
    }
}

void CDialog::closeEvent(QCloseEvent* event)
{
    // The close box is the cancel path; the dialog decides in OnCancel whether it ends.
    event->ignore();
    OnCancel();
}

void CDialog::reject()
{
    OnCancel();
}

} // namespace gui
