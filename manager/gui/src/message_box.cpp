#include "gui/message_box.h"

#include "gui/dialog.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>

namespace gui {

namespace {

MessageBoxHook* g_hook = nullptr;

int negative_answer(UINT type)
{
    switch (type & MB_TYPEMASK) {
    case MB_YESNO:
        return IDNO;
    case MB_OKCANCEL:
        return IDCANCEL;
    default:
        return IDOK;
    }
}

QMessageBox::Icon icon_of(UINT type)
{
    switch (type & MB_ICONMASK) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONEXCLAMATION:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

int show_box(QWidget* owner, const QString& text, const QString& caption, UINT type,
             const QString& detail)
{
    QMessageBox box(icon_of(type), caption, text, QMessageBox::NoButton, owner);
    box.setTextFormat(Qt::PlainText);
    if (!detail.isEmpty())
        box.setDetailedText(detail);
    box.setFont(DialogFont());
    // The buttons as the platform labels them in Chinese.
    struct Choice {
        QPushButton* button;
        int result;
    };
    std::vector<Choice> choices;
    auto add = [&](const char16_t* label, QMessageBox::ButtonRole role, int result) {
        choices.push_back({box.addButton(ToQString(label), role), result});
    };
    switch (type & MB_TYPEMASK) {
    case MB_YESNO:
        add(u"是(&Y)", QMessageBox::YesRole, IDYES);
        add(u"否(&N)", QMessageBox::NoRole, IDNO);
        break;
    case MB_OKCANCEL:
        add(u"确定", QMessageBox::AcceptRole, IDOK);
        add(u"取消", QMessageBox::RejectRole, IDCANCEL);
        box.setEscapeButton(choices.back().button);
        break;
    default:
        add(u"确定", QMessageBox::AcceptRole, IDOK);
        box.setEscapeButton(choices.back().button);
        break;
    }
    box.setDefaultButton(choices.front().button);
    box.exec();
    for (const Choice& choice : choices) {
        if (box.clickedButton() == choice.button)
            return choice.result;
    }
    return negative_answer(type);
}

} // namespace

MessageBoxHook::MessageBoxHook()
{
    if (g_hook) {
        std::fputs("*** dialog framework contract violated: a second MessageBoxHook\n", stderr);
        std::abort();
    }
    g_hook = this;
}

MessageBoxHook::~MessageBoxHook()
{
    g_hook = nullptr;
}

std::vector<std::u16string> MessageBoxHook::Texts() const
{
    std::vector<std::u16string> texts;
    for (const ShownMessageBox& box : shown_)
        texts.push_back(box.text);
    return texts;
}

int MessageBox(QWidget* owner, std::u16string_view text, const char16_t* caption, UINT type,
               std::u16string_view detail)
{
    const std::u16string title =
        caption ? std::u16string(caption) : std::u16string(kDefaultCaption);
    if (g_hook) {
        ShownMessageBox shown{owner, std::u16string(text),  title, type, 0,
                              false, std::u16string(detail)};
        if (!g_hook->answers_.empty()) {
            shown.result = g_hook->answers_.front();
            shown.answered = true;
            g_hook->answers_.pop_front();
        } else {
            shown.result = negative_answer(type);
        }
        g_hook->shown_.push_back(shown);
        return shown.result;
    }
    return show_box(owner, ToQString(text), ToQString(title), type, ToQString(detail));
}

int AppMessageBox(QWidget* owner, std::u16string_view text, UINT type)
{
    const std::u16string name = ToU16(QCoreApplication::applicationName());
    return MessageBox(owner, text, name.c_str(), type);
}

} // namespace gui
