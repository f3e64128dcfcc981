// What the vault dialogs share: showing an operation's outcome (its message from the table, then
// the focus), asking the operations' questions with message boxes, the drive-letter and
// load-mode lists, and Enter in a description field.
#pragma once

#include "gui/dialog.h"

#include "vault_operations.h"

#include <string>
#include <string_view>
#include <vector>

class QComboBox;
class QPlainTextEdit;

namespace gui {

// The caption a message gets when the table names none: the main window's and the password
// dialog's boxes carry the application's name, the create, import and settings dialogs' boxes
// the platform's default caption.
enum class Caption { application, platform_default };

// Shows a message of the table with its buttons and icon; the box's result.
int ShowMessage(QWidget* owner, MessageId id, std::u16string_view text, Caption caption,
                std::u16string_view detail = {});

// Shows the outcome's message, if it has one, over `owner`, then gives the focus to the
// outcome's control when `dialog` has it.
void ShowOutcome(QWidget* owner, const Outcome& outcome, Caption caption,
                 CDialog* dialog = nullptr);

// The operations' questions as message boxes over `owner`; true only for Yes.
AskFn AskWithMessageBox(QWidget* owner, Caption caption);

// "自动分配" (data 0), then the given letters, each with its letter as item data.
void FillLetterList(QComboBox* list, const std::vector<LetterItem>& items);
// The selected item's data: 0 "自动分配", a letter, or -1 when nothing is selected.
int SelectedLetterData(const QComboBox* list);
// "自动加载", "手动加载", index 0 selected; the hint label follows the selection.
void FillLoadModeList(QComboBox* list, QWidget* hint);

// A multi-line description field (place it with CDialog::Place) in which Enter appends a line
// break at the end of the text, puts the caret there and is consumed, so the dialog's default
// button is not pressed.
QPlainTextEdit* NewDescriptionEdit(CDialog* dialog);

} // namespace gui
