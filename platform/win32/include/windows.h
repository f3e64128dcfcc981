// Umbrella header of the user-mode layer, as programs include it.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "minwinbase.h"
#include "errhandlingapi.h"
#include "sysinfoapi.h"
#include "handleapi.h"
#include "fileapi.h"
#include "winbase.h"
#include "synchapi.h"
#include "processenv.h"
#include "ioapiset.h"
#include "processthreadsapi.h"
#include "winuser.h"
#include "wincrypt.h"
#include "libloaderapi.h"
#include "shellapi.h"
