// Every message the vault operations show, in one table shared by the dialogs and lockbinctl.
// The texts are the system's own and must stay byte for byte as they are; some carry printf
// directives (FormatText conventions: %ws a wide string, %C a narrow character).
#pragma once

#include <string>

enum class MessageId {
    None = 0,
    // opening and closing
    KeyDerivationFailed, // "计算加密密钥失败!"
    NoFreeLetter,        // "没有空闲盘符可供加载!"
    TargetLetterTaken,   // "目标盘符已被占用!"
    OpenFailed,          // "密码错误, 打开保险箱失败!"
    OpenPasswordEmpty,   // "密码不能为空!" in the password dialog: no icon
    ForceDismountAsk,    // %C the letter
    ForceDismountFailed, // %C the letter
    // deleting and destroying (%ws the vault's name)
    DeleteAsk,
    DestroyAsk,
    DestroyAskAgain,
    // creating and importing
    NameEmpty,
    NameExists,
    PathEmpty,
    PathInvalid,
    CreateFolderAsk,
    ContainerExists,
    SizeEmpty,
    NotEnoughSpace,
    CreateOnRemovable,
    FatTooLarge,
    FatAsk, // captioned "继续创建"
    LetterInUse,
    PasswordEmpty, // "密码不能为空!" in the create dialog: error icon
    PasswordTooShort,
    PasswordMismatch,
    TooManyVaults,
    CreateFailed,
    BackupAsk,  // captioned "备份保险箱密码"; asked by the caller after CreateVault
    BackupDone, // %ws the backup file
    BackupFailed,
    ImportFileMissing,
    ImportOnRemovable,
    ImportDuplicatePath,
    // settings
    DefaultPathEmpty,
    DefaultPathNotLocal,
    DefaultPathCreateAsk,
    DefaultPathCreateFailed,
    Count_
};

enum class MessageIcon { None, Error, Question };
enum class MessageButtons { Ok, YesNo };

struct MessageSpec {
    MessageId id;
    const char16_t* text; // a format when the message takes arguments
    MessageIcon icon;
    MessageButtons buttons;
    const char16_t* caption; // null: the application's name
};

// The table entry of a message; MessageId::None and out-of-range ids give an entry with an
// empty text.
const MessageSpec& GetMessageSpec(MessageId id);

// The message's text with its arguments filled in (printf-style, as its format expects).
std::u16string MessageText(MessageId id, ...);

// Texts of the dialogs' lists that the operations also decide on.
inline constexpr char16_t kAutoLetterItem[] = u"自动分配";
inline constexpr char16_t kLoadModeAuto[] = u"自动加载";
inline constexpr char16_t kLoadModeManual[] = u"手动加载";
inline constexpr char16_t kLoadModeHint[] = u"仅当记住密码时有效";
inline constexpr char16_t kRecommended[] = u"推荐";

// The hint beside the load-mode list for its selected index.
const char16_t* LoadModeHint(int selectedIndex);
