// Events and waits: the platform's synchronisation calls that the programs use.
#pragma once

#include "minwinbase.h"
#include "windef.h"

#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000UL
#define WAIT_TIMEOUT 0x00000102UL
#define WAIT_FAILED 0xFFFFFFFFUL

// An unnamed event, auto-reset unless bManualReset, signalled from the start if bInitialState;
// it can be handed to a device, which signals it. lpEventAttributes is not used. A named event
// is refused with ERROR_NOT_SUPPORTED: this layer shares no objects by name.
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);

// Waits until the event is signalled (WAIT_OBJECT_0; the wait resets an auto-reset event, so
// one signal releases one waiter) or dwMilliseconds pass (WAIT_TIMEOUT; INFINITE waits for
// ever). WAIT_FAILED with ERROR_INVALID_HANDLE for a handle that is not an event.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
