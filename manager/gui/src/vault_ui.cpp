#include "gui/vault_ui.h"

#include "gui/message_box.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>

namespace gui {

namespace {

UINT box_type(const MessageSpec& entry)
{
    UINT type = entry.buttons == MessageButtons::YesNo ? MB_YESNO : MB_OK;
    if (entry.icon == MessageIcon::Error)
        type |= MB_ICONERROR;
    else if (entry.icon == MessageIcon::Question)
        type |= MB_ICONQUESTION;
    return type;
}

// Enter appends a line break at the end, whatever the caret's place, and goes no further.
class EnterAppendsLineBreak : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key != Qt::Key_Return && key != Qt::Key_Enter)
            return false;
        auto* edit = static_cast<QPlainTextEdit*>(watched);
        QTextCursor cursor = edit->textCursor();
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(QStringLiteral("\n"));
        edit->setTextCursor(cursor);
        edit->ensureCursorVisible();
        return true;
    }
};

} // namespace

int ShowMessage(QWidget* owner, MessageId id, std::u16string_view text, Caption caption,
                std::u16string_view detail)
{
    const MessageSpec& entry = GetMessageSpec(id);
    std::u16string title;
    if (entry.caption)
        title = entry.caption;
    else if (caption == Caption::application)
        title = ToU16(QCoreApplication::applicationName());
    else
        title = kDefaultCaption;
    return MessageBox(owner, text, title.c_str(), box_type(entry), detail);
}

void ShowOutcome(QWidget* owner, const Outcome& outcome, Caption caption, CDialog* dialog)
{
    if (outcome.message != MessageId::None)
        ShowMessage(owner, outcome.message, outcome.text, caption);
    if (dialog && outcome.focus != 0) {
        if (QWidget* field = dialog->GetDlgItem(outcome.focus))
            field->setFocus();
    }
}

AskFn AskWithMessageBox(QWidget* owner, Caption caption)
{
    return [owner, caption](MessageId question, const std::u16string& text,
                            const std::u16string& detail) {
        return ShowMessage(owner, question, text, caption, detail) == IDYES;
    };
}

void FillLetterList(QComboBox* list, const std::vector<LetterItem>& items)
{
    list->clear();
    for (const LetterItem& item : items)
        list->addItem(ToQString(item.text), int(item.data));
    list->setCurrentIndex(items.empty() ? -1 : 0);
}

int SelectedLetterData(const QComboBox* list)
{
    const int index = list->currentIndex();
    return index < 0 ? -1 : list->itemData(index).toInt();
}

void FillLoadModeList(QComboBox* list, QWidget* hint)
{
    list->clear();
    list->addItem(ToQString(kLoadModeAuto));
    list->addItem(ToQString(kLoadModeManual));
    auto* label = qobject_cast<QLabel*>(hint);
    QObject::connect(list, &QComboBox::currentIndexChanged, label,
                     [label](int index) { label->setText(ToQString(LoadModeHint(index))); });
    list->setCurrentIndex(0);
    label->setText(ToQString(LoadModeHint(0)));
}

QPlainTextEdit* NewDescriptionEdit(CDialog* dialog)
{
    auto* edit = new QPlainTextEdit(dialog);
    edit->setTabChangesFocus(true);
    edit->installEventFilter(new EnterAppendsLineBreak(edit));
    return edit;
}

} // namespace gui
