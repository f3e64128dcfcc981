// The file-system utility module "fmifs.dll": formatting a volume. Programs load it at run time
// (LoadLibraryW, GetProcAddress "FormatEx"); the declaration below is the module's export.
// Command numbers and media types are the platform's published values.
#pragma once

#include "windef.h"

typedef enum {
    PROGRESS, // ActionInfo: PDWORD, percent done
    DONEWITHSTRUCTURE,
    UNKNOWN2,
    UNKNOWN3,
    UNKNOWN4,
    UNKNOWN5,
    INSUFFICIENTRIGHTS, // the caller may not write the volume
    FSNOTSUPPORTED,
    VOLUMEINUSE, // a file system is mounted on the volume
    UNKNOWN9,
    UNKNOWNA,
    DONE, // ActionInfo: PBOOLEAN, TRUE when the format succeeded
    UNKNOWNC,
    UNKNOWND,
    OUTPUT,
    STRUCTUREPROGRESS,
    CLUSTERSIZETOOSMALL,
} CALLBACKCOMMAND;

typedef enum {
    FMIFS_FLOPPY = 8,
    FMIFS_REMOVABLE = 11,
    FMIFS_HARDDISK = 12,
} FMIFS_MEDIA_FLAG;

static_assert(DONE == 11 && VOLUMEINUSE == 8 && INSUFFICIENTRIGHTS == 6, "CALLBACKCOMMAND");

// Called on the thread that called FormatEx. Returning FALSE stops the format (it then ends with
// DONE FALSE).
typedef BOOLEAN(WINAPI* PFMIFSCALLBACK)(CALLBACKCOMMAND Command, DWORD SubAction, PVOID ActionInfo);

typedef VOID(WINAPI* PFORMATEX)(PWCHAR DriveRoot, FMIFS_MEDIA_FLAG MediaFlag, PWCHAR Format,
                                PWCHAR Label, BOOL QuickFormat, ULONG ClusterSize,
                                PFMIFSCALLBACK Callback);

// Formats the drive "X:\" (or "X:") with a new file system. What this host can format: a volume
// the service published as a disk (not a CD-ROM), through its block file under the runtime
// folder, with no file system mounted, as FMIFS_HARDDISK "NTFS" (any letter case), a label of at
// most 128 UTF-16 units without lone surrogates (null is no label), a cluster size of 0 (the
// default) or a power of two from 512 to 65536. The volume is made by mkntfs on the block file; the
// quick flag skips writing zeros over the whole volume first.
//
// The callback gets PROGRESS with rising percentages while mkntfs works (from the zeroing it
// reports, then its steps), PROGRESS 100 and DONE TRUE only once the service has mounted the new
// file system at the drive, and DONE FALSE for anything that failed or was refused; before that
// it gets INSUFFICIENTRIGHTS when the caller may not write the volume and VOLUMEINUSE when a file
// system is already mounted on it (nothing is written then). Blocks until done.
VOID WINAPI FormatEx(PWCHAR DriveRoot, FMIFS_MEDIA_FLAG MediaFlag, PWCHAR Format, PWCHAR Label,
                     BOOL QuickFormat, ULONG ClusterSize, PFMIFSCALLBACK Callback);
