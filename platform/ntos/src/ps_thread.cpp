// Threads and processes: system threads, adopted host threads, the system process and the
// processes of client connections.
#include "ntos_layer.h"
#include "ps_internal.h"

#include <atomic>
#include <cstring>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace ntos::detail {

namespace {

std::atomic<uintptr_t> next_thread_id{1};
std::atomic<uintptr_t> next_process_id{2}; // 4 is the system process (id 1 * 4)

PEPROCESS new_process(const char* image_name, ULONG session_id, uint32_t uid, uint32_t gid,
                      int32_t host_pid, uintptr_t id)
{
    void* body = ob_create_object(object_kind::process, sizeof(_EPROCESS), nullptr);
    if (!body)
        return nullptr;
    auto* process = static_cast<PEPROCESS>(body);
    ke_init_header(&process->Pcb.Header, ProcessObject, 0);
    process->Pcb.UniqueProcessId = reinterpret_cast<HANDLE>(id << 2);
    process->Pcb.SessionId = session_id;
    process->Pcb.HostUid = uid;
    process->Pcb.HostGid = gid;
    process->Pcb.HostPid = host_pid;
    strncpy(reinterpret_cast<char*>(process->ImageFileName), image_name ? image_name : "",
            sizeof(process->ImageFileName) - 1);
    return process;
}

PETHREAD new_thread(PEPROCESS process, bool system_thread)
{
    void* body = ob_create_object(object_kind::thread, sizeof(_ETHREAD), nullptr);
    if (!body)
        return nullptr;
    auto* thread = static_cast<PETHREAD>(body);
    ke_init_header(&thread->Tcb.Header, ThreadObject, 0);
    thread->Tcb.Process = process;
    thread->Tcb.Cid.UniqueProcess = process->Pcb.UniqueProcessId;
    thread->Tcb.Cid.UniqueThread = reinterpret_cast<HANDLE>(next_thread_id.fetch_add(1) << 2);
    thread->Tcb.Priority = 8;
    thread->Tcb.SystemThread = system_thread;
    ob_reference(process);
    return thread;
}

void end_thread(PETHREAD thread, NTSTATUS status)
{
    {
        std::lock_guard guard(dispatcher_lock());
        // The host may hand the id to a new thread: priority changes must not reach it.
        thread->Tcb.HostThreadId = 0;
        thread->Tcb.ExitStatus = status;
        ke_signal_locked(&thread->Tcb.Header);
    }
    PEPROCESS process = thread->Tcb.Process;
    ob_dereference(thread);
    ob_dereference(process);
}

// Owns the current host thread's state; an adopted thread's object ends with the host thread.
struct thread_slot {
    thread_state state;
    ~thread_slot()
    {
        if (state.thread && !state.thread->Tcb.SystemThread)
            end_thread(state.thread, STATUS_SUCCESS);
    }
};

thread_local thread_slot slot;

// Unwinds a system thread to its start frame when it calls PsTerminateSystemThread.
struct terminate_request {
    NTSTATUS status;
};

} // namespace

thread_state& current_thread_state()
{
    return slot.state;
}

PEPROCESS ps_system_process()
{
    static PEPROCESS system = new_process("System", ULONG(-1), 0, 0, getpid(), 1);
    return system;
}

PEPROCESS ps_create_process(const char* image_name, ULONG session_id, uint32_t uid, uint32_t gid,
                            int32_t host_pid)
{
    return new_process(image_name, session_id, uid, gid, host_pid, next_process_id.fetch_add(1));
}

PEPROCESS ps_attach_process(PEPROCESS process)
{
    PEPROCESS previous = slot.state.attached;
    slot.state.attached = process;
    return previous;
}

} // namespace ntos::detail

using namespace ntos::detail;

PKTHREAD KeGetCurrentThread()
{
    return &PsGetCurrentThread()->Tcb;
}

PETHREAD PsGetCurrentThread()
{
    thread_state& state = current_thread_state();
    if (!state.thread) {
        state.thread = new_thread(ps_system_process(), false);
        NTOS_CHECK(state.thread, "no memory for a thread object");
        state.thread->Tcb.HostThreadId = static_cast<uint64_t>(syscall(SYS_gettid));
    }
    return state.thread;
}

PEPROCESS PsGetCurrentProcess()
{
    thread_state& state = current_thread_state();
    if (state.attached)
        return state.attached;
    return PsGetCurrentThread()->Tcb.Process;
}

PEPROCESS IoGetCurrentProcess()
{
    return PsGetCurrentProcess();
}

PEPROCESS PsInitialSystemProcess()
{
    return ps_system_process();
}

HANDLE PsGetCurrentProcessId()
{
    return PsGetCurrentProcess()->Pcb.UniqueProcessId;
}

HANDLE PsGetCurrentThreadId()
{
    return PsGetCurrentThread()->Tcb.Cid.UniqueThread;
}

HANDLE PsGetProcessId(PEPROCESS Process)
{
    return Process ? Process->Pcb.UniqueProcessId : nullptr;
}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext)
{
    NTOS_CHECK(KeGetCurrentIrql() == PASSIVE_LEVEL, "PsCreateSystemThread at IRQL %d",
               KeGetCurrentIrql());
    if (!ThreadHandle || !StartRoutine)
        return STATUS_INVALID_PARAMETER;
    if (ObjectAttributes && ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    PEPROCESS process = ps_system_process();
    bool referenced = false;
    if (ProcessHandle) {
        void* body = nullptr;
        NTSTATUS status =
            ob_reference_by_handle(ProcessHandle, object_kind::process, &body, nullptr);
        if (!NT_SUCCESS(status))
            return status;
        process = static_cast<PEPROCESS>(body);
        referenced = true;
    }
    PETHREAD thread = new_thread(process, true);
    if (referenced)
        ob_dereference(process);
    if (!thread)
        return STATUS_INSUFFICIENT_RESOURCES;
    thread->Tcb.StartRoutine = StartRoutine;
    thread->Tcb.StartContext = StartContext;
    ULONG attributes = ObjectAttributes ? ObjectAttributes->Attributes : 0;
    NTSTATUS status = ob_insert_handle(thread, DesiredAccess, attributes, ThreadHandle);
    if (!NT_SUCCESS(status)) {
        end_thread(thread, status);
        return status;
    }
    if (ClientId)
        *ClientId = thread->Tcb.Cid;
    try {
        std::thread([thread] {
            thread_state& state = current_thread_state();
            state.thread = thread;
            thread->Tcb.HostThreadId = static_cast<uint64_t>(syscall(SYS_gettid));
            NTSTATUS exit_status = STATUS_SUCCESS;
            try {
                thread->Tcb.StartRoutine(thread->Tcb.StartContext);
            } catch (const terminate_request& request) {
                exit_status = request.status;
            }
            NTOS_CHECK(state.irql == PASSIVE_LEVEL && state.spin_locks_held == 0,
                       "system thread ended at IRQL %d holding %d spin lock(s)", state.irql,
                       state.spin_locks_held);
            // The platform stops the machine when a thread ends owning a kernel mutex.
            NTOS_CHECK(state.mutexes_held == 0, "system thread ended owning %d kernel mutex(es)",
                       state.mutexes_held);
            state.thread = nullptr;
            end_thread(thread, exit_status);
        }).detach();
    } catch (...) {
        ZwClose(*ThreadHandle);
        *ThreadHandle = nullptr;
        end_thread(thread, STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    thread_state& state = current_thread_state();
    NTOS_CHECK(state.thread && state.thread->Tcb.SystemThread,
               "PsTerminateSystemThread from a thread that is not a system thread");
    if (!state.thread || !state.thread->Tcb.SystemThread)
        return STATUS_INVALID_PARAMETER;
    throw terminate_request{ExitStatus};
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    if (!Thread)
        return 0;
    KPRIORITY previous = Thread->Priority;
    Thread->Priority = Priority;
    // Above normal maps to a lower nice value; without the privilege the host refuses and only
    // the recorded value changes.
    if (Thread->HostThreadId) {
        int nice = Priority >= 8 ? -(Priority - 8) / 2 : (8 - Priority);
        setpriority(PRIO_PROCESS, static_cast<id_t>(Thread->HostThreadId), nice);
    }
    return previous;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread)
{
    return Thread ? Thread->Priority : 0;
}

namespace ntos {

PEPROCESS create_client_process(const char* image_name, ULONG session_id, uint32_t uid,
                                uint32_t gid, int32_t host_pid)
{
    return ps_create_process(image_name, session_id, uid, gid, host_pid);
}

void close_client_process(PEPROCESS process)
{
    if (!ob_is_object(process) || ob_kind(process) != object_kind::process)
        return;
    ob_close_process_handles(process);
    std::lock_guard guard(dispatcher_lock());
    ke_signal_locked(&process->Pcb.Header);
}

process_attachment::process_attachment(PEPROCESS process) : previous_(ps_attach_process(process)) {}

process_attachment::~process_attachment()
{
    ps_attach_process(previous_);
}

} // namespace ntos
