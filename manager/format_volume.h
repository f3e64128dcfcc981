// Formatting a new vault's volume as NTFS: the worker thread, the format library's callback and
// the create dialog's progress timer, without the dialog itself. The dialog implements
// FormatDialog and turns each FormatTick into its status text, progress bar and ending.
#pragma once

#include "fmifs.h"
#include "windows.h"

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

// What the worker and the dialog's timer share. No lock: the worker (through the callback)
// writes the percentage, the timer reads it and may advance it.
struct FormatProgress {
    std::atomic<int32_t> percent{0}; // 0 to 100; 100 means formatted
    std::atomic<bool> failed{false}; // the worker ended without a formatted volume
};

// The create dialog, as the worker sees it. It must outlive the worker: it keeps every control,
// the close button included, disabled until the timer ends the format.
class FormatDialog {
public:
    virtual ~FormatDialog() = default;
    virtual FormatProgress& Progress() = 0;
    // Starts timer 1 with a period of 500 ms; each tick runs OnFormatTimer on the user-interface
    // thread. Called on the worker's thread.
    virtual void StartFormatTimer() = 0;
};

struct FormatJob {
    FormatDialog* dialog = nullptr;
    WCHAR letter = 0;
    std::u16string label; // the vault name
};

// The longest label NTFS takes, in UTF-16 code units.
constexpr size_t MaxVolumeLabel = 128;
// The name cut to MaxVolumeLabel code units, one less where the cut would split a surrogate pair;
// a lone surrogate becomes U+FFFD.
std::u16string VolumeLabelFor(std::u16string_view name);

// Quick- or fully formats "X:\" as NTFS through "fmifs.dll" FormatEx (media FMIFS_HARDDISK),
// with the label cut by VolumeLabelFor (null is no label), until FormatEx reports success or
// maxAttempts attempts were made, with no pause between them; `progress` is set to 0 before each
// attempt and receives the library's percentages. True when the library reported success. False
// at once, with no attempt, when the library or its entry point is missing.
bool FormatVolume(WCHAR letter, std::atomic<int32_t>* progress, const WCHAR* label,
                  bool quickFormat, DWORD clusterSize, DWORD maxAttempts);

// The callback handed to FormatEx: PROGRESS copies the percentage into the progress of the
// FormatVolume call running on this thread, DONE its success flag; other commands are ignored.
// Always TRUE.
BOOLEAN WINAPI FormatCallback(CALLBACKCOMMAND command, DWORD subAction, PVOID argument);

// The worker's thread procedure. Sets the progress to 0, starts the timer, quick-formats the
// job's letter with its label (cluster size 0, 50 attempts), then sets the progress to 100 on
// success (on systems before Vista the callback's percentages alone count) or marks the progress
// failed. Frees the job; returns 0.
DWORD FormatWorker(FormatJob* job);

// Runs FormatWorker on a thread of its own that nobody waits for. False when no thread could be
// started (the job is freed then): the dialog then says FormatFailedMessage and lets itself be
// closed, just as after a failed format.
bool StartFormatWorker(std::unique_ptr<FormatJob> job);

// Shown (error icon) when the volume could not be formatted; the vault stays catalogued and
// mounted without a file system.
extern const char16_t* const FormatFailedMessage;

// One tick of timer 1 and what the dialog does with it.
struct FormatTick {
    enum class Action {
        show,   // status text and bar as given; the timer goes on
        finish, // status text and bar, stop the timer, end the dialog with IDOK
        fail,   // status text, stop the timer, FormatFailedMessage, enable the close button
    };
    Action action;
    int32_t bar;           // the progress bar's value
    std::u16string status; // text 1038
};

// On Vista or later a percentage below 95 advances by 5 first (never over a value the worker
// has just written); before Vista the percentage is shown as the library left it. 100 finishes,
// whatever the system.
FormatTick OnFormatTimer(FormatProgress& progress, bool vistaOrLater);
FormatTick OnFormatTimer(FormatProgress& progress);

namespace detail {
// FormatVolume's attempts over a given FormatEx (the one "fmifs.dll" exports, or a test's).
bool format_volume_with(PFORMATEX formatEx, WCHAR letter, std::atomic<int32_t>* progress,
                        const WCHAR* label, bool quickFormat, DWORD clusterSize, DWORD maxAttempts);
} // namespace detail
