// Creating a vault up to its catalogue entry; the caller then offers the backup and formats.
#include "operation_outcomes.h"
#include "vault_key.h"

#include "common/text_compare.h"
#include "common/text_format.h"
#include "disk_helpers.h"
#include "fileapi.h"

#include <climits>

using namespace ops_detail;

namespace {

// "%d" of the C runtime: leading blanks, a sign, decimal digits up to the first other character;
// no digits read as 0. Values beyond 32 bits saturate rather than wrap into a plausible size.
int32_t read_decimal(const std::u16string& text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > int64_t(INT32_MAX) + 1)
            value = int64_t(INT32_MAX) + 1;
    }
    value = negative ? -value : value;
    if (value > INT32_MAX)
        return INT32_MAX;
    return int32_t(value < INT32_MIN ? INT32_MIN : value);
}

// Total free bytes of the volume holding the folder (not the caller's quota).
bool free_bytes(const std::u16string& folder, ULONGLONG& bytes)
{
    ULARGE_INTEGER available{}, total{}, free{};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, &total, &free))
        return false;
    bytes = free.QuadPart;
    return true;
}

} // namespace

Outcome CreateVault(VaultCatalogue& catalogue, const RedAvClient& client, const CreateInput& input,
                    const AskFn& ask)
{
    if (input.name.empty())
        return refused(MessageId::NameEmpty, kIdName);
    VaultRecord existing;
    if (catalogue.FindByName(input.name, existing))
        return refused(MessageId::NameExists, kIdName);
    if (input.path.empty())
        return refused(MessageId::PathEmpty, kIdPath);
    const size_t lastSlash = input.path.rfind(u'\\');
    if (lastSlash == std::u16string::npos || lastSlash == 0)
        return refused(MessageId::PathInvalid, kIdPath);
    const std::u16string folder = input.path.substr(0, lastSlash);

    if (!DirectoryExists(folder)) {
        if (!ask_yes(ask, MessageId::CreateFolderAsk, MessageText(MessageId::CreateFolderAsk)))
            return declined(MessageId::CreateFolderAsk);
        // A folder that cannot be made shows at the next checks, as the Part has it.
        CreateDirectoryTree(folder);
    }
    if (FileExists(input.path))
        return refused(MessageId::ContainerExists, kIdPath);

    const int32_t size = read_decimal(input.sizeText);
    // A negative count would reach the driver as a huge unsigned size: refused like zero.
    if (size <= 0)
        return refused(MessageId::SizeEmpty, kIdSize);
    ULONGLONG bytes = ULONGLONG(int64_t(size) * int64_t(kSizeUnit));

    ULONGLONG available = 0;
    if (free_bytes(folder, available) && bytes > available)
        return refused(MessageId::NotEnoughSpace, kIdSize);
    if (!on_fixed_disk(folder))
        return refused(MessageId::CreateOnRemovable);
    if (IsFatVolume(folder[0])) {
        if (bytes == 4 * kSizeUnit)
            bytes = kFatFourUnits;
        else if (bytes > 4 * kSizeUnit)
            return refused(MessageId::FatTooLarge, kIdSize);
        if (!ask_yes(ask, MessageId::FatAsk, MessageText(MessageId::FatAsk)))
            return declined(MessageId::FatAsk);
    }

    int32_t autoassign = 0;
    WCHAR letter = 0;
    if (input.letter == 0) {
        autoassign = 1;
        letter = client.FindFreeLetter(true);
        if (letter == 0)
            return refused(MessageId::NoFreeLetter);
    } else {
        letter = input.letter;
        if (!client.IsLetterFree(letter))
            return refused(MessageId::LetterInUse);
    }

    if (input.password.empty())
        return refused(MessageId::PasswordEmpty, kIdPassword);
    if (input.password.size() < 4)
        return refused(MessageId::PasswordTooShort, kIdPassword);
    if (input.password != input.confirmation)
        return refused(MessageId::PasswordMismatch, kIdConfirm);
    if (catalogue.GetCount() >= 4)
        return refused(MessageId::TooManyVaults);

    VaultKey key;
    DWORD keyLength = 0;
    if (!MakeVaultKey(input.password, key, keyLength))
        return refused(MessageId::KeyDerivationFailed);
    if (!client.MountNewDisk(letter, input.path, DWORD(bytes), DWORD(bytes >> 32), false, true,
                             key.data(), keyLength, true))
        return refused(MessageId::CreateFailed, 0, OpResult::DriverFailed);

    catalogue.AddVault(input.name, input.path, autoassign, letter, input.loadtype,
                       input.description);
    save_catalogue(catalogue);
    return done(true, letter);
}

std::u16string DefaultVaultName(const VaultCatalogue& catalogue)
{
    return FormatText(u"默认保险箱%d", int(catalogue.GetCount() + 1));
}

std::u16string InitialSizeText(const std::u16string& defaultPath)
{
    ULONGLONG available = 0;
    if (free_bytes(defaultPath, available) && available < 20 * kSizeUnit)
        return FormatText(u"%I64u", available / kSizeUnit);
    return u"20";
}

std::u16string PathFollowingName(const std::u16string& path, const std::u16string& name)
{
    size_t slash = path.rfind(u'\\');
    std::u16string out = slash == std::u16string::npos ? u"" : path.substr(0, slash + 1);
    out += name;
    if (!name.empty())
        out += u".lkb";
    return out;
}

std::u16string PathInPickedFolder(const std::u16string& folder, const std::u16string& name)
{
    std::u16string file = name;
    if (EndsWith(file, u".lkb"))
        file.resize(file.size() - 4);
    return WithoutTrailingBackslash(folder) + u"\\" + file + u".lkb";
}
