#include "password_backup.h"

#include "messages.h"

#include "common/sys_utils.h"
#include "common/text_format.h"
#include "disk_helpers.h"

#include <cryptopp/aes.h>
#include <cryptopp/gcm.h>

#include <vector>

namespace {

constexpr size_t FillerSize = 512;

// The key text's 31 characters and its terminating zero.
const char PasswordBackupKey[32] = "Rq7#Lw2!Tz9@Kx4$Mp8&Vn3*Hb6^Jd1";
// Only the mode's default IV length, 12 bytes, of the text is used.
const char PasswordBackupIV[16] = "g5W!s8P@k2D#f6Q";

} // namespace

bool WritePasswordBackup(std::u16string_view password, const std::u16string& path)
{
    const size_t n2 = password.size() * 2;
    std::vector<BYTE> plain(n2);
    std::vector<BYTE> file(FillerSize + n2);

    SeedRandom();
    for (BYTE& b : file)
        b = BYTE(RandomInRange(0, 255)); // a draw of 256 wraps to 0
    for (size_t i = 0; i < password.size(); ++i) {
        plain[2 * i] = BYTE(password[i] & 0xFF);
        plain[2 * i + 1] = BYTE(password[i] >> 8);
    }

    CryptoPP::GCM<CryptoPP::AES, CryptoPP::GCM_2K_Tables>::Encryption gcm;
    gcm.SetKeyWithIV(reinterpret_cast<const CryptoPP::byte*>(PasswordBackupKey),
                     sizeof PasswordBackupKey,
                     reinterpret_cast<const CryptoPP::byte*>(PasswordBackupIV));
    if (n2)
        gcm.ProcessData(plain.data(), plain.data(), n2);
    std::copy(plain.begin(), plain.end(), file.begin() + FillerSize);

    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(h, file.data(), DWORD(file.size()), &written, nullptr);
    CloseHandle(h);
    return ok != FALSE;
}

PasswordBackupOutcome BackupVaultPassword(const std::u16string& folder,
                                          const std::u16string& vaultName,
                                          std::u16string_view password, ShowFileFn show)
{
    PasswordBackupOutcome outcome;
    if (folder.empty())
        return outcome;
    outcome.path = WithTrailingBackslash(folder) + vaultName + u".lkbkey";
    if (WritePasswordBackup(password, outcome.path)) {
        outcome.message = MessageText(MessageId::BackupDone, outcome.path.c_str());
        show(outcome.path.c_str());
    } else {
        outcome.message = MessageText(MessageId::BackupFailed);
        outcome.errorIcon = true;
    }
    return outcome;
}
