// Shell change notifications. Nothing on this host listens (desktop file managers notice mounts
// by themselves); every call is recorded for tests, see notify_record.h.
#pragma once

#include "windef.h"

#define SHCNE_MEDIAINSERTED 0x00000020L
#define SHCNE_MEDIAREMOVED 0x00000040L
#define SHCNE_DRIVEREMOVED 0x00000080L
#define SHCNE_DRIVEADD 0x00000100L

#define SHCNF_IDLIST 0x0000
#define SHCNF_PATHA 0x0001
#define SHCNF_PATHW 0x0005
#define SHCNF_PATH SHCNF_PATHW
#define SHCNF_TYPE 0x00FF
#define SHCNF_FLUSH 0x1000

VOID WINAPI SHChangeNotify(LONG wEventId, UINT uFlags, LPCVOID dwItem1, LPCVOID dwItem2);
