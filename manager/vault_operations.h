// The vault operations, apart from their dialogs: one function per command of the manager, over
// its inputs, the catalogue and the driver client. Each returns an Outcome; the caller (a dialog,
// or lockbinctl) shows the outcome's message and moves the focus to its control. Questions in
// the middle of an operation go through the caller's Ask, so a dialog asks with a message box and
// a script answers with a flag.
//
// Checks run in a fixed order and stop at the first failure. A refusal changes nothing: not the
// catalogue, not "Lockbin.xml", not the container, and sends nothing to the driver. Successful
// changes go into the catalogue first and are then written to "Lockbin.xml" in the current
// directory; the save's result is not looked at, so the in-memory catalogue stays the authority.
//
// Every function runs on the caller's thread and waits for the driver's answers.
#pragma once

#include "messages.h"
#include "redav_client.h"
#include "vault_catalogue.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Control ids of the dialogs' fields, as the outcomes name them for the focus.
inline constexpr int kIdOpenPassword = 1039; // the password dialog's field
inline constexpr int kIdName = 1021;
inline constexpr int kIdSize = 1022;
inline constexpr int kIdPath = 1023;
inline constexpr int kIdDescription = 1027;
inline constexpr int kIdPassword = 1040;
inline constexpr int kIdConfirm = 1041;
inline constexpr int kIdDefaultPath = 1037;

enum class OpResult {
    Done,         // the operation did what it was asked
    Stopped,      // stopped without a message: see StopReason
    Refused,      // a check failed: show the message
    DriverFailed, // the driver refused a mount or dismount: show the message
};

enum class StopReason {
    None,
    NotFound,   // no catalogued vault of that name
    Mounted,    // the vault is open, and the command is only for closed vaults
    NotMounted, // the vault is closed, and the command is only for open ones
    Declined,   // a question was answered with anything but Yes (Outcome::declined says which)
    Cancelled,  // the password was not given
};

struct Outcome {
    OpResult result = OpResult::Done;
    MessageId message = MessageId::None; // what to show; None for none
    std::u16string text;                 // the message with its arguments filled in
    int focus = 0;                       // the control that takes the focus; 0 leaves it
    StopReason stop = StopReason::None;
    MessageId declined = MessageId::None; // the question that was not answered Yes
    WCHAR letter = 0;     // open: the drive to show; create: the drive mounted; close: the drive
    bool refresh = false; // the vault list is to be refreshed
};

// Asks a Yes/No question; true only for Yes. `detail` is text a person may expand below the
// question (empty when there is none).
using AskFn = std::function<bool(MessageId question, const std::u16string& text,
                                 const std::u16string& detail)>;
// Asks for a vault's password; nullopt when the user cancelled.
using PasswordFn = std::function<std::optional<std::u16string>(const VaultRecord& vault)>;

// ---- opening and closing ----

// The password dialog's own check: an empty password is refused there, and the dialog stays.
Outcome CheckOpenPassword(const std::u16string& password);

// Opens a closed vault: asks the password (an open vault is shown without asking: Done with its
// letter and no refresh), derives the key, chooses the letter by the vault's policy (stored
// letter if free; else, for autoassign 1, the highest free letter from Z down to D), mounts the
// container with the notify flag, and stores a changed letter. Done carries the letter to show.
// Every mount failure is OpenFailed (DriverFailed): the driver does not say why.
Outcome OpenVault(VaultCatalogue& catalogue, const RedAvClient& client, const std::u16string& name,
                  const PasswordFn& askPassword);

// Dismounts an open vault. When the volume is busy, asks ForceDismountAsk with the processes
// that hold the drive as detail; Yes forces the dismount, anything else leaves the vault open
// (Stopped, Declined, list refreshed). A refused forced dismount is ForceDismountFailed.
Outcome CloseVault(VaultCatalogue& catalogue, const RedAvClient& client, const std::u16string& name,
                   const AskFn& ask);

// The expandable detail of the force question: one line per process holding the drive.
std::u16string DriveHoldersText(WCHAR letter);

// ---- deleting and destroying (closed vaults only) ----

// Forgets the vault after DeleteAsk; the container stays as it is.
Outcome DeleteVault(VaultCatalogue& catalogue, const RedAvClient& client,
                    const std::u16string& name, const AskFn& ask);
// Forgets the vault and deletes its container after DestroyAsk and DestroyAskAgain. The record is
// removed and saved before the file goes; a file that cannot be deleted is left, uncatalogued.
Outcome DestroyVault(VaultCatalogue& catalogue, const RedAvClient& client,
                     const std::u16string& name, const AskFn& ask);

// ---- the drive-letter and load-mode lists of the create, import and properties dialogs ----

struct LetterItem {
    std::u16string text; // "自动分配", or the letter alone
    WCHAR data;          // 0 for "自动分配", else the letter
};
// "自动分配" first, then every free letter from D to Z, ascending.
std::vector<LetterItem> LetterListItems(const RedAvClient& client);

// ---- properties (closed vaults only) ----

struct PropertiesView {
    VaultRecord vault;
    std::vector<LetterItem> letters;
    int selectedLetter = -1; // index into letters; -1 when a fixed letter is not free now
};
// What the properties dialog shows. Stopped when there is no such vault or it is open.
Outcome LoadVaultProperties(const VaultCatalogue& catalogue, const RedAvClient& client,
                            const std::u16string& name, PropertiesView& view);

struct PropertiesInput {
    std::u16string name;
    // The selected letter item's data: 0 "自动分配" (the stored letter stays, tried first at the
    // next opening), a letter D to Z for a fixed one, or -1 when no item is selected (the vault
    // keeps its autoassign and Letter; anything else that is not a letter is taken the same way).
    int letterData = 0;
    int32_t loadtype = 0;
    std::u16string description;
};
Outcome UpdateVaultProperties(VaultCatalogue& catalogue, const RedAvClient& client,
                              const PropertiesInput& input);

// ---- import ----

struct ImportInput {
    std::u16string name;
    std::u16string path;
    WCHAR letter = 0; // 0: "自动分配" (autoassign 1, Letter 0); else a fixed letter
    int32_t loadtype = 0;
    std::u16string description;
};
// Catalogues an existing container without reading it or asking the driver. Checks, in order:
// name, path, the file exists and is not a folder, a fixed disk, a new name, a new path, fewer
// than 4 vaults.
Outcome ImportVault(VaultCatalogue& catalogue, const ImportInput& input);
// The name the import dialog proposes for a picked file: its name less one trailing ".lkb".
std::u16string NameFromContainerPath(const std::u16string& path);

// ---- settings ----

// Stores a new default folder. Unchanged text (exactly) closes without saving; a folder on a
// disk that is not fixed is refused; a missing folder is made after DefaultPathCreateAsk.
Outcome ChangeDefaultFolder(VaultCatalogue& catalogue, const std::u16string& folder,
                            const AskFn& ask);

struct SettingsDisk {
    WCHAR letter;
    std::u16string fileSystem; // empty when it cannot be read
    bool recommended;          // NTFS
};
// The local hard disks of the settings list, in the system's order: fixed disks only, without
// the letters at which a vault volume is mounted. The dialog adds the shell's icon and type name.
std::vector<SettingsDisk> ListSettingsDisks(const RedAvClient& client);

// ---- create ----

struct CreateInput {
    std::u16string name;
    std::u16string path;     // the full container path
    std::u16string sizeText; // whole size units of 2^30 bytes, read as "%d"
    WCHAR letter = 0;        // 0: "自动分配"; else a fixed letter
    int32_t loadtype = 0;
    std::u16string description;
    std::u16string password;
    std::u16string confirmation;
};
inline constexpr ULONGLONG kSizeUnit = 1ull << 30;
// The byte count a FAT disk gets for a request of exactly 4 units.
inline constexpr ULONGLONG kFatFourUnits = 4 * kSizeUnit - (1ull << 20);

// Checks the inputs in their order (may ask CreateFolderAsk and FatAsk), derives the key, has the
// driver create and mount the new sparse container with the notify flag, and catalogues and saves
// the vault. Done carries the letter mounted; the caller then asks BackupAsk and formats the
// drive. After a refused mount-new (CreateFailed) nothing was catalogued.
Outcome CreateVault(VaultCatalogue& catalogue, const RedAvClient& client, const CreateInput& input,
                    const AskFn& ask);

// The create dialog's proposals: "默认保险箱%d" with the number of vaults plus 1; "20", or the
// whole units free on the default folder's disk when fewer; the path's folder (through its last
// backslash) followed by the name and ".lkb" (nothing after the backslash for an empty name).
std::u16string DefaultVaultName(const VaultCatalogue& catalogue);
std::u16string InitialSizeText(const std::u16string& defaultPath);
std::u16string PathFollowingName(const std::u16string& path, const std::u16string& name);
// The path after picking a folder: the folder without trailing backslashes, one backslash, the
// name less one trailing ".lkb", then ".lkb".
std::u16string PathInPickedFolder(const std::u16string& folder, const std::u16string& name);
