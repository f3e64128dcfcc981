// The program's one message box, with the platform's semantics, and the hook tests answer it by.
//
//     gui::MessageBox(this, u"请输入密码!", nullptr, MB_OK | MB_ICONERROR);   // caption "错误"
//     gui::AppMessageBox(this, u"确认删除?", MB_YESNO);                        // caption: app name
//
// Buttons: MB_OK, MB_OKCANCEL or MB_YESNO; icon: MB_ICONERROR, MB_ICONQUESTION,
// MB_ICONEXCLAMATION, MB_ICONINFORMATION or none. The result is IDOK, IDCANCEL, IDYES or IDNO.
// The box is modal to its owner (a window, or nullptr for none).
//
// Tests. While a MessageBoxHook lives, no box reaches the screen: each one is recorded and
// answered from the hook's queue of next answers, in order; with the queue empty the box gets
// its "no" answer (IDOK for an OK box, IDCANCEL or IDNO otherwise) and is marked unanswered, so
// a test never blocks on a box it did not expect:
//
//     gui::MessageBoxHook boxes;
//     boxes.SetNextAnswer(IDYES);
//     ...click...
//     ASSERT_EQ(boxes.Shown().size(), 1u);
//     EXPECT_EQ(boxes.Shown()[0].text, u"确认删除?");
#pragma once

#include "winuser.h"

#include <deque>
#include <string>
#include <string_view>
#include <vector>

class QWidget;

namespace gui {

// The platform's default caption, used when the caller gives none.
inline constexpr char16_t kDefaultCaption[] = u"错误";

// caption nullptr: the default caption. `detail`: text a person may expand below the message
// (none when empty).
int MessageBox(QWidget* owner, std::u16string_view text, const char16_t* caption, UINT type,
               std::u16string_view detail = {});
// A box captioned with the application name (QCoreApplication::applicationName()), as the
// framework's own boxes of a window are.
int AppMessageBox(QWidget* owner, std::u16string_view text, UINT type);

struct ShownMessageBox {
    QWidget* owner = nullptr;
    std::u16string text;
    std::u16string caption;
    UINT type = 0;
    int result = 0;
    bool answered = false; // false: the hook's queue was empty
    std::u16string detail;
};

// At most one hook at a time (tests); it records only the boxes shown while it lives.
class MessageBoxHook {
public:
    MessageBoxHook();
    ~MessageBoxHook();
    MessageBoxHook(const MessageBoxHook&) = delete;
    MessageBoxHook& operator=(const MessageBoxHook&) = delete;

    void SetNextAnswer(int answer) { answers_.push_back(answer); }
    const std::vector<ShownMessageBox>& Shown() const { return shown_; }
    // The texts alone, in the order shown.
    std::vector<std::u16string> Texts() const;
    void Clear() { shown_.clear(); }

private:
    friend int MessageBox(QWidget*, std::u16string_view, const char16_t*, UINT,
                          std::u16string_view);
    std::deque<int> answers_;
    std::vector<ShownMessageBox> shown_;
};

} // namespace gui
