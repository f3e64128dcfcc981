// The program's folder and file pickers, in DOS paths, and the hook tests answer them by.
//
// The desktop's pickers speak host paths; these speak the program's DOS paths ("D:\Vaults"),
// converted through the user-mode layer (hostpath.h). A chosen item that no drive holds counts
// as no choice. Filters are Qt's ("保险箱文件 (*.lkb);;所有文件 (*)").
//
// Tests: while a PickerHook lives no picker is shown; each request is recorded and answered from
// the hook's queue (an empty answer is a cancel), and with the queue empty it is cancelled.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

class QWidget;

namespace gui {

// The folder picker: file-system folders only, no root folder. "" when cancelled or when the
// choice has no DOS path; otherwise the path (at most 260 characters: a longer one is "").
std::u16string PickFolder(const std::u16string& title, QWidget* owner);

// An existing file to open / a file name to save under. initialPath: a folder or a file name
// (DOS path) to start from, or "". "" when cancelled.
std::u16string PickOpenFile(QWidget* owner, std::u16string_view title, std::u16string_view filter,
                            std::u16string_view initialPath);
std::u16string PickSaveFile(QWidget* owner, std::u16string_view title, std::u16string_view filter,
                            std::u16string_view initialPath);

enum class PickerKind { folder, open_file, save_file };

struct ShownPicker {
    PickerKind kind = PickerKind::folder;
    QWidget* owner = nullptr;
    std::u16string title;
    std::u16string filter;
    std::u16string initialPath;
    std::u16string result;
};

// At most one hook at a time (tests).
class PickerHook {
public:
    PickerHook();
    ~PickerHook();
    PickerHook(const PickerHook&) = delete;
    PickerHook& operator=(const PickerHook&) = delete;

    // The DOS path the next picker returns; "" cancels it.
    void SetNextAnswer(std::u16string path) { answers_.push_back(std::move(path)); }
    const std::vector<ShownPicker>& Shown() const { return shown_; }

private:
    friend std::u16string pick(PickerKind, QWidget*, std::u16string_view, std::u16string_view,
                               std::u16string_view);
    std::deque<std::u16string> answers_;
    std::vector<ShownPicker> shown_;
};

} // namespace gui
