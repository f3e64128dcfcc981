#include "gui/pickers.h"

#include "gui/dialog.h"

#include "hostpath.h"

#include <QFileDialog>

#include <cstdio>
#include <cstdlib>

namespace gui {

namespace {

PickerHook* g_picker_hook = nullptr;

constexpr size_t kMaxPath = 260;

QString host_start(std::u16string_view initialPath)
{
    if (initialPath.empty())
        return {};
    return QString::fromStdString(DosPathToHostPath(initialPath));
}

std::u16string to_dos(const QString& host)
{
    if (host.isEmpty())
        return {};
    return HostPathToDosPath(host.toStdString());
}

} // namespace

PickerHook::PickerHook()
{
    if (g_picker_hook) {
        std::fputs("*** dialog framework contract violated: a second PickerHook\n", stderr);
        std::abort();
    }
    g_picker_hook = this;
}

PickerHook::~PickerHook()
{
    g_picker_hook = nullptr;
}

std::u16string pick(PickerKind kind, QWidget* owner, std::u16string_view title,
                    std::u16string_view filter, std::u16string_view initialPath)
{
    if (g_picker_hook) {
        ShownPicker shown{
            kind, owner, std::u16string(title), std::u16string(filter), std::u16string(initialPath),
            {}};
        if (!g_picker_hook->answers_.empty()) {
            shown.result = g_picker_hook->answers_.front();
            g_picker_hook->answers_.pop_front();
        }
        g_picker_hook->shown_.push_back(shown);
        return shown.result;
    }
    QString chosen;
    switch (kind) {
    case PickerKind::folder:
        chosen = QFileDialog::getExistingDirectory(owner, ToQString(title), {},
                                                   QFileDialog::ShowDirsOnly);
        break;
    case PickerKind::open_file:
        chosen = QFileDialog::getOpenFileName(owner, ToQString(title), host_start(initialPath),
                                              ToQString(filter));
        break;
    case PickerKind::save_file:
        chosen = QFileDialog::getSaveFileName(owner, ToQString(title), host_start(initialPath),
                                              ToQString(filter));
        break;
    }
    return to_dos(chosen);
}

std::u16string PickFolder(const std::u16string& title, QWidget* owner)
{
    std::u16string path = pick(PickerKind::folder, owner, title, {}, {});
    return path.size() < kMaxPath ? path : std::u16string();
}

std::u16string PickOpenFile(QWidget* owner, std::u16string_view title, std::u16string_view filter,
                            std::u16string_view initialPath)
{
    return pick(PickerKind::open_file, owner, title, filter, initialPath);
}

std::u16string PickSaveFile(QWidget* owner, std::u16string_view title, std::u16string_view filter,
                            std::u16string_view initialPath)
{
    return pick(PickerKind::save_file, owner, title, filter, initialPath);
}

} // namespace gui
