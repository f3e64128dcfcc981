// Files, folders, drives and DOS device names.
//
// DOS paths ("C:\x", "C:/x", "\\?\C:\x") resolve through the session's DOS device links, then
// the global ones, to host paths (see hostns/hostns.h). A path without a drive ("Lockbin.xml",
// "sub\x") is relative to the process's current folder. UNC paths fail with ERROR_BAD_NETPATH.
// Names match without regard to letter case (ASCII letters): a path that does not exist as
// written takes the spelling of existing entries, and new names keep the caller's. Share modes
// hold between handles of every process that uses this layer or the kernel layer's
// share records (hostns/share.h): a conflicting open, delete or move fails with
// ERROR_SHARING_VIOLATION.
#pragma once

#include "windef.h"
#include "minwinbase.h"

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xffffffff)

#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_FLAG_NO_BUFFERING 0x20000000
#define FILE_FLAG_RANDOM_ACCESS 0x10000000
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000

#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6

#define FILE_CASE_SENSITIVE_SEARCH 0x00000001
#define FILE_CASE_PRESERVED_NAMES 0x00000002
#define FILE_UNICODE_ON_DISK 0x00000004
#define FILE_PERSISTENT_ACLS 0x00000008
#define FILE_SUPPORTS_SPARSE_FILES 0x00000040
#define FILE_READ_ONLY_VOLUME 0x00080000

#define DDD_RAW_TARGET_PATH 0x00000001
#define DDD_REMOVE_DEFINITION 0x00000002
#define DDD_EXACT_MATCH_ON_REMOVE 0x00000004
#define DDD_NO_BROADCAST_SYSTEM 0x00000008

// Opens or creates a file. "\\.\NAME" opens a device instead. Dispositions as on Windows:
// CREATE_NEW fails with ERROR_FILE_EXISTS on an existing file; CREATE_ALWAYS and OPEN_ALWAYS
// succeed on one and set ERROR_ALREADY_EXISTS (else 0); OPEN_EXISTING and TRUNCATE_EXISTING fail
// with ERROR_FILE_NOT_FOUND, or ERROR_PATH_NOT_FOUND when the folder is missing. A folder opens
// only with FILE_FLAG_BACKUP_SEMANTICS (else ERROR_ACCESS_DENIED). FILE_FLAG_WRITE_THROUGH writes
// synchronously to the medium. FILE_FLAG_OVERLAPPED is refused (ERROR_INVALID_PARAMETER).
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Synchronous only: a non-null lpOverlapped fails with ERROR_INVALID_PARAMETER. At the end of a
// file ReadFile succeeds with 0 bytes read.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL WINAPI FlushFileBuffers(HANDLE hFile);
BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);

// ERROR_ACCESS_DENIED for a folder or a read-only file.
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);
// ERROR_ALREADY_EXISTS when the name exists, ERROR_PATH_NOT_FOUND when its parent is missing.
// The security attributes are ignored (the folder gets the host's default mode).
BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName);

// FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_READONLY (the owner may not write) or
// FILE_ATTRIBUTE_NORMAL; INVALID_FILE_ATTRIBUTES on failure.
DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);
// FILE_ATTRIBUTE_READONLY takes the write permissions away, any other value gives the owner's
// back; hidden, system and archive have no host equivalent and are accepted without effect.
BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes);

// Searches a folder. The last component may hold the wildcards '*' and '?' (matched without
// regard to letter case; "*.*" matches every name); without wildcards it names one entry. A
// folder other than a drive's root lists "." and ".." first, as NTFS does. A pattern that ends in
// a separator, or finds nothing, fails with ERROR_FILE_NOT_FOUND; FindNextFileW ends with
// ERROR_NO_MORE_FILES.
HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
BOOL WINAPI FindClose(HANDLE hFindFile);

// Bit (letter - 'A') for every drive defined in the session or globally.
DWORD WINAPI GetLogicalDrives(VOID);
// "C:\<NUL>D:\<NUL>...<NUL>": returns the characters written without the final NUL, or, when
// nBufferLength is too small, the size needed including it (nothing is written then).
DWORD WINAPI GetLogicalDriveStringsW(DWORD nBufferLength, LPWSTR lpBuffer);
// Of a drive root ("X:\" or "X:"; any other path is DRIVE_NO_ROOT_DIR): DRIVE_NO_ROOT_DIR when the
// drive is not defined; DRIVE_FIXED or DRIVE_CDROM for the driver's volumes, mounted or not;
// otherwise from the host file system that holds the drive's folder: DRIVE_CDROM for iso9660,
// udf and /dev/sr*, DRIVE_REMOTE for network file systems, DRIVE_REMOVABLE where /sys/block says
// so, DRIVE_RAMDISK for tmpfs and ramfs, else DRIVE_FIXED. A null root means "C:\".
UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName);
// The root must end in a separator (else ERROR_INVALID_NAME) and be a drive's root (else
// ERROR_DIR_NOT_ROOT); an undefined drive fails with ERROR_PATH_NOT_FOUND. File-system names as
// Windows gives them: "NTFS" (ntfs3, ntfs, ntfs-3g's fuseblk, or fuse over an NTFS image), "FAT" or
// "FAT32" (vfat, by cluster count), "exFAT", else the host's own name. A buffer too small fails
// with ERROR_BAD_LENGTH. A drive that is defined but has no file system mounted fails with
// ERROR_NOT_READY.
BOOL WINAPI GetVolumeInformationW(LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer,
                                  DWORD nVolumeNameSize, LPDWORD lpVolumeSerialNumber,
                                  LPDWORD lpMaximumComponentLength, LPDWORD lpFileSystemFlags,
                                  LPWSTR lpFileSystemNameBuffer, DWORD nFileSystemNameSize);
// Of any folder (a file fails with ERROR_DIRECTORY); a null folder means "C:\".
BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName,
                                PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                PULARGE_INTEGER lpTotalNumberOfBytes,
                                PULARGE_INTEGER lpTotalNumberOfFreeBytes);

// The target of a DOS device name (session first, then global) as a list: the target, NUL, NUL.
// A null name lists every name. Returns the characters stored including both NULs; 0 on failure
// (ERROR_FILE_NOT_FOUND for an unknown name, ERROR_INSUFFICIENT_BUFFER for a short buffer).
DWORD WINAPI QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax);
// Defines a DOS device name in the caller's session. With DDD_RAW_TARGET_PATH the target is
// stored as given, otherwise it is a DOS path stored as "\??\" + path (a folder drive). A new
// definition replaces the last one: there is no stack of definitions, so DDD_REMOVE_DEFINITION
// leaves the name undefined in the session (ERROR_FILE_NOT_FOUND when it was not defined there;
// with DDD_EXACT_MATCH_ON_REMOVE only a definition with that very target is removed).
BOOL WINAPI DefineDosDeviceW(DWORD dwFlags, LPCWSTR lpDeviceName, LPCWSTR lpTargetPath);
