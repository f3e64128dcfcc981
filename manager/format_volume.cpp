#include "format_volume.h"

#include "common/os_version.h"
#include "common/text_format.h"

#include <system_error>
#include <thread>

const char16_t* const FormatFailedMessage = u"格式化保险箱失败! 保险箱已创建并加载, 但未能格式化。";

namespace {

// FormatEx's callback gets no context of its own: these lead it to the FormatVolume call that
// runs on the same thread, so formats on different threads keep apart.
thread_local std::atomic<int32_t>* t_progress = nullptr;
thread_local BOOLEAN* t_done = nullptr;

constexpr DWORD WorkerAttempts = 50;

bool high_surrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool low_surrogate(char16_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

std::u16string VolumeLabelFor(std::u16string_view name)
{
    size_t length = std::min(name.size(), MaxVolumeLabel);
    if (length < name.size() && length > 0 && high_surrogate(name[length - 1]) &&
        low_surrogate(name[length]))
        --length;
    // A lone surrogate has no place in a label: it would fail every attempt.
    std::u16string label(name.substr(0, length));
    for (size_t i = 0; i < label.size(); ++i) {
        bool paired =
            i + 1 < label.size() && high_surrogate(label[i]) && low_surrogate(label[i + 1]);
        if (paired)
            ++i;
        else if (high_surrogate(label[i]) || low_surrogate(label[i]))
            label[i] = 0xFFFD;
    }
    return label;
}

BOOLEAN WINAPI FormatCallback(CALLBACKCOMMAND command, DWORD subAction, PVOID argument)
{
    if (command == PROGRESS && t_progress && argument)
        t_progress->store(int32_t(*static_cast<const DWORD*>(argument)));
    else if (command == DONE && t_done && argument)
        *t_done = *static_cast<const BOOLEAN*>(argument);
    return TRUE;
}

namespace detail {

bool format_volume_with(PFORMATEX formatEx, WCHAR letter, std::atomic<int32_t>* progress,
                        const WCHAR* label, bool quickFormat, DWORD clusterSize, DWORD maxAttempts)
{
    WCHAR root[] = u"X:\\";
    root[0] = letter;
    std::u16string volumeLabel = VolumeLabelFor(label ? label : u"");
    WCHAR fileSystem[] = u"NTFS";
    BOOLEAN done = FALSE;
    t_progress = progress;
    t_done = &done;
    for (DWORD attempt = 0; !done && attempt < maxAttempts; ++attempt) {
        progress->store(0);
        done = FALSE;
        formatEx(root, FMIFS_HARDDISK, fileSystem, volumeLabel.data(), quickFormat, clusterSize,
                 FormatCallback);
    }
    t_progress = nullptr;
    t_done = nullptr;
    return done != FALSE;
}

} // namespace detail

bool FormatVolume(WCHAR letter, std::atomic<int32_t>* progress, const WCHAR* label,
                  bool quickFormat, DWORD clusterSize, DWORD maxAttempts)
{
    HMODULE library = LoadLibraryW(u"fmifs.dll");
    if (!library)
        return false;
    auto formatEx = reinterpret_cast<PFORMATEX>(GetProcAddress(library, "FormatEx"));
    bool result = formatEx && detail::format_volume_with(formatEx, letter, progress, label,
                                                         quickFormat, clusterSize, maxAttempts);
    FreeLibrary(library);
    return result;
}

DWORD FormatWorker(FormatJob* job)
{
    std::unique_ptr<FormatJob> owned(job);
    FormatProgress& progress = job->dialog->Progress();
    progress.percent.store(0);
    progress.failed.store(false);
    job->dialog->StartFormatTimer();
    bool formatted =
        FormatVolume(job->letter, &progress.percent, job->label.c_str(), true, 0, WorkerAttempts);
    // Before Vista the callback's percentages alone decide when the dialog finishes.
    if (formatted && IsVistaOrLater())
        progress.percent.store(100);
    else if (!formatted)
        progress.failed.store(true);
    return 0;
}

bool StartFormatWorker(std::unique_ptr<FormatJob> job)
{
    FormatJob* raw = job.get();
    try {
        std::thread(FormatWorker, raw).detach();
    } catch (const std::system_error&) {
        return false;
    }
    job.release();
    return true;
}

FormatTick OnFormatTimer(FormatProgress& progress, bool vistaOrLater)
{
    for (;;) {
        int32_t percent = progress.percent.load();
        if (percent == 100)
            return {FormatTick::Action::finish, 100, u"格式化完成"};
        if (progress.failed.load())
            return {FormatTick::Action::fail, percent, u"格式化失败"};
        // The worker may write between the read and the addition: add only to what was read,
        // so a 100 it has just written is never lost.
        if (vistaOrLater && percent < 95 &&
            !progress.percent.compare_exchange_strong(percent, percent + 5))
            continue;
        int32_t shown = vistaOrLater && percent < 95 ? percent + 5 : percent;
        return {FormatTick::Action::show, shown, FormatText(u"格式化进度: %d%%", shown)};
    }
}

FormatTick OnFormatTimer(FormatProgress& progress)
{
    return OnFormatTimer(progress, IsVistaOrLater());
}
