// The password backup file (".lkbkey") and the backup step of creating a vault, without its
// folder picker. The file: 512 filler bytes, then the password's UTF-16LE code units encrypted
// with AES-256 in GCM mode under a key and IV fixed in the program, with no tag; 512 + 2N bytes
// for N code units. The manager never reads it back.
#pragma once

#include "file_manager.h"
#include "windows.h"

#include <string>
#include <string_view>

// Creates the file, only if it does not exist yet, and writes it in one call. True when the
// creation and the write call succeeded.
bool WritePasswordBackup(std::u16string_view password, const std::u16string& path);

// What the backup step shows.
struct PasswordBackupOutcome {
    std::u16string path;    // the file written or tried; empty when nothing was tried
    std::u16string message; // the message box's text; empty for none
    bool errorIcon = false;
};

// After the folder picker: nothing at all for an empty folder (cancelled). Otherwise writes
// folder\name.lkbkey; on success says where and shows the file selected in the file manager
// (whether that worked is not looked at), on failure says it failed. Creating the vault goes on
// in every case. `show` shows the file (tests give their own).
using ShowFileFn = bool (*)(LPCWSTR path);
PasswordBackupOutcome BackupVaultPassword(const std::u16string& folder,
                                          const std::u16string& vaultName,
                                          std::u16string_view password,
                                          ShowFileFn show = win32::ShowFileSelected);
