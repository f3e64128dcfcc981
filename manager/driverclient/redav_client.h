// The manager's only way to the virtual disk driver: one operation per control request, the
// drive-letter choices a mount needs, and the notifications that make a new or removed drive
// appear in the user's session and in the file manager.
//
// The client keeps no state. Every request opens "\\.\ZELRedAv", sends one synchronous control
// request and closes the handle again, so the driver stays the only keeper of what is mounted
// where; callers ask again whenever they need to know. Every operation reports failure only as
// false: the cause (driver absent, letter refused, wrong key, volume in use) is in the driver's
// log, not told apart here.
//
// Letters are UTF-16 code units handed on to the driver as the caller gives them (the driver
// upper-cases them). Called from the user-interface thread; each call uses its own handle and the
// driver serialises mounts and dismounts, so no locking is needed here.
#pragma once

#include "windows.h"

#include <string>
#include <string_view>
#include <vector>

class RedAvClient {
public:
    // True when the control device can be opened; the handle is closed at once.
    bool IsDriverPresent() const;

    // True when the drive letter is absent from GetLogicalDrives' mask (letter case ignored).
    // A code unit that is not a letter A-Z is never a free drive.
    bool IsLetterFree(WCHAR letter) const;
    // The first free letter of 'D' to 'Z', searching from 'Z' down when fromZ is true and from
    // 'D' up otherwise; 0 when none of the 23 is free.
    WCHAR FindFreeLetter(bool fromZ) const;
    // Every free letter of 'D' to 'Z', ascending.
    std::vector<WCHAR> GetFreeLetters() const;

    // Mount requests: 552 + keyLength bytes with the letter, the path (at most 259 code units,
    // always zero-terminated in the request; the rest is cut), the flags and the key at offset
    // 544. A null key is sent as no key at all (KeyLength 0, 552 bytes), never as keyLength zero
    // bytes, so the driver refuses an encrypted mount that has no key. On success with notify set,
    // the drive is published (NotifyVolumeChange, arrival, disk). A failed mount notifies nothing.
    bool MountNewDisk(WCHAR letter, std::u16string_view path, DWORD sizeLow, DWORD sizeHigh,
                      bool noSparse, bool encrypt, const BYTE* key, DWORD keyLength,
                      bool notify) const;
    bool MountExistDisk(WCHAR letter, std::u16string_view path, bool readOnly, bool encrypt,
                        const BYTE* key, DWORD keyLength, bool notify) const;

    // Dismounts the volume at the letter; force lets the driver go on when the volume's file
    // system cannot be locked. On success the drive's removal is always published.
    bool DisMount(WCHAR letter, bool force) const;

    // Describes the volume at the letter. filePath is in the driver's device form
    // ("\Device\HarddiskVolume1\..."), not the DOS path that the mount sent. False, with every
    // out-parameter untouched, when there is no driver, no volume at the letter, or the reply is
    // shorter than the whole record.
    bool QueryVolume(WCHAR letter, std::u16string& deviceName, std::u16string& filePath,
                     LARGE_INTEGER& fileSize, BYTE& isCdrom, BYTE& isReadOnly, BYTE& isEncrypt,
                     DWORD& rwStatus) const;

    // Tells the shell and every top-level window that the drive arrived or went, then defines the
    // letter in the user's session (arrival: a raw link to the volume's device, the CD-ROM device
    // when cdrom is set) or removes that definition (removal). Results are not looked at.
    void NotifyVolumeChange(WCHAR letter, bool arrival, bool cdrom) const;
};

// The program's single client.
extern RedAvClient g_RedAvClient;
