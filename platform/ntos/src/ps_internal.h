// Threads, processes and per-thread kernel state (not visible to the driver).
//
// Every host thread that enters the layer has a thread object: system threads get theirs from
// PsCreateSystemThread; any other host thread (a bridge's worker, a test's main thread) gets one
// on first use, attached to the system process. A bridge serving a client connection attaches its
// thread to that client's process with ps_attach_process for the duration of a request.
//
// Security slots for the security module: a process holds its primary token, a thread its
// impersonation token; the layer only stores and clears the pointers (no references taken).
#pragma once

#include "ob_internal.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// The thread object. Its dispatcher header is first so that the thread can be waited on.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    CLIENT_ID Cid;
    PEPROCESS Process;
    KPRIORITY Priority;
    BOOLEAN SystemThread;
    NTSTATUS ExitStatus;
    PVOID ImpersonationToken;
    PKSTART_ROUTINE StartRoutine;
    PVOID StartContext;
    uint64_t HostThreadId; // pthread_t of the host thread
};
struct _ETHREAD {
    _KTHREAD Tcb;
};

#define NTOS_IMAGE_NAME_OFFSET 0x450

// The process object: image name at a fixed offset inside its bytes, as drivers find it by
// scanning from PsGetCurrentProcess() for the name of the system process.
struct _KPROCESS {
    DISPATCHER_HEADER Header;
    HANDLE UniqueProcessId;
    ULONG SessionId; // ULONG(-1) for the system process
    PVOID Token;
    uint32_t HostUid;
    uint32_t HostGid;
    int32_t HostPid;
};
struct _EPROCESS {
    _KPROCESS Pcb;
    UCHAR Reserved[NTOS_IMAGE_NAME_OFFSET - sizeof(_KPROCESS)];
    UCHAR ImageFileName[16];
    UCHAR Tail[0x200];
};

namespace ntos::detail {

// Per host-thread state.
struct thread_state {
    KIRQL irql = PASSIVE_LEVEL;
    PETHREAD thread = nullptr;    // referenced while the host thread lives
    PEPROCESS attached = nullptr; // ps_attach_process, or null
    int spin_locks_held = 0;
    int mutexes_held = 0;         // kernel mutexes owned (counted once each, not per recursion)
    std::condition_variable wake; // waits of this thread, under the dispatcher lock
};
thread_state& current_thread_state();

PEPROCESS ps_system_process();
// A process for a client connection, referenced; image_name is cut to 15 bytes.
PEPROCESS ps_create_process(const char* image_name, ULONG session_id, uint32_t uid, uint32_t gid,
                            int32_t host_pid);
// Makes the current host thread act in process until detached (null detaches); returns the
// previous attachment.
PEPROCESS ps_attach_process(PEPROCESS process);

// The dispatcher: signal states and wait lists of every dispatcher object are guarded by it.
std::mutex& dispatcher_lock();
// Caller holds the dispatcher lock: sets a thread or process object signalled and wakes waiters.
void ke_signal_locked(DISPATCHER_HEADER* header);
void ke_init_header(DISPATCHER_HEADER* header, UCHAR type, LONG state);

// Checked-build contract violation: reports "*** <what>" on standard error and aborts.
[[noreturn]] void contract_violation(const char* what, ...) __attribute__((format(printf, 1, 2)));

} // namespace ntos::detail

#if defined(LOCKBIN_CHECKED)
#define NTOS_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::ntos::detail::contract_violation(__VA_ARGS__);                                       \
    } while (0)
#else
// Unchecked builds evaluate nothing; sizeof keeps the variables the check names in use.
#define NTOS_CHECK(cond, ...) ((void)sizeof(!(cond)))
#endif

// Entry check of a pageable service (the Zw routines, object and registry services): callers
// must be at PASSIVE_LEVEL, as on the platform.
#define NTOS_PASSIVE_SERVICE(routine)                                                              \
    NTOS_CHECK(KeGetCurrentIrql() == PASSIVE_LEVEL, "%s called at IRQL %d (needs PASSIVE_LEVEL)",  \
               routine, KeGetCurrentIrql())
