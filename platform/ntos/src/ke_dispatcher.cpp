// Dispatcher objects: events, mutexes, threads and processes, and the waits on them.
//
// One lock guards every signal state and wait list, as the platform's dispatcher database does.
// A waiting thread links one wait block per object into the object's WaitListHead and sleeps on
// its own condition variable; a signal wakes the threads on that object's list, and each
// re-checks under the lock, so a synchronization event releases exactly one of them.
#include "ps_internal.h"

#include <chrono>
#include <thread>

namespace ntos::detail {

namespace {

struct wait_block {
    LIST_ENTRY link;
    thread_state* waiter;
};

DISPATCHER_HEADER* header_of_object(PVOID object)
{
    // A file object is waited on through its event.
    if (ob_is_object(object) && ob_kind(object) == object_kind::file)
        return &static_cast<PFILE_OBJECT>(object)->Event.Header;
    return static_cast<DISPATCHER_HEADER*>(object);
}

bool satisfiable(DISPATCHER_HEADER* header, PKTHREAD self)
{
    if (header->Type == MutantObject)
        return header->SignalState > 0 || reinterpret_cast<PKMUTANT>(header)->OwnerThread == self;
    return header->SignalState > 0;
}

// Takes what the wait consumed: a synchronization event resets, a mutex is owned once more.
void consume(DISPATCHER_HEADER* header, PKTHREAD self)
{
    if (header->Type == EventSynchronizationObject) {
        header->SignalState = 0;
    } else if (header->Type == MutantObject) {
        auto* mutant = reinterpret_cast<PKMUTANT>(header);
        NTOS_CHECK(header->SignalState > MINLONG + 1, "mutex %p recursion overflow",
                   static_cast<void*>(mutant));
        if (header->SignalState == 1)
            ++current_thread_state().mutexes_held;
        header->SignalState = header->SignalState - 1;
        mutant->OwnerThread = self;
    }
}

void wake_waiters(DISPATCHER_HEADER* header)
{
    PLIST_ENTRY head = &header->WaitListHead;
    for (PLIST_ENTRY entry = head->Flink; entry != head; entry = entry->Flink)
        CONTAINING_RECORD(entry, wait_block, link)->waiter->wake.notify_one();
}

void check_header(DISPATCHER_HEADER* header)
{
    NTOS_CHECK(header && header->WaitListHead.Flink,
               "wait on %p, which is not an initialized dispatcher object",
               static_cast<void*>(header));
}

using clock = std::chrono::steady_clock;

// Deadline of a platform timeout; false when the wait is unbounded.
bool deadline_of(PLARGE_INTEGER timeout, clock::time_point* deadline)
{
    if (!timeout)
        return false;
    LONGLONG ticks = timeout->QuadPart;
    if (ticks > 0) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        ticks = now.QuadPart - ticks; // absolute time: turn it into a relative (negative) one
        if (ticks > 0)
            ticks = 0;
    }
    *deadline = clock::now() + std::chrono::nanoseconds(-ticks * 100);
    return true;
}

NTSTATUS wait_objects(ULONG count, DISPATCHER_HEADER** headers, WAIT_TYPE type,
                      PLARGE_INTEGER timeout)
{
    thread_state& state = current_thread_state();
    PKTHREAD self = KeGetCurrentThread();
    NTOS_CHECK(state.irql < DISPATCH_LEVEL || (timeout && timeout->QuadPart == 0),
               "wait at IRQL %d (waits need IRQL < DISPATCH_LEVEL)", state.irql);
    clock::time_point deadline{};
    bool bounded = deadline_of(timeout, &deadline);
    wait_block blocks[MAXIMUM_WAIT_OBJECTS];
    bool linked = false;
    std::unique_lock lock(dispatcher_lock());
    NTSTATUS result = STATUS_TIMEOUT;
    while (true) {
        bool done = false;
        if (type == WaitAny) {
            for (ULONG i = 0; i < count && !done; ++i) {
                if (satisfiable(headers[i], self)) {
                    consume(headers[i], self);
                    result = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                    done = true;
                }
            }
        } else {
            done = true;
            for (ULONG i = 0; i < count; ++i)
                done = done && satisfiable(headers[i], self);
            if (done) {
                for (ULONG i = 0; i < count; ++i)
                    consume(headers[i], self);
                result = STATUS_WAIT_0;
            }
        }
        if (done)
            break;
        if (bounded && clock::now() >= deadline) {
            result = STATUS_TIMEOUT;
            break;
        }
        if (!linked) {
            for (ULONG i = 0; i < count; ++i) {
                blocks[i].waiter = &state;
                InsertTailList(&headers[i]->WaitListHead, &blocks[i].link);
            }
            linked = true;
        }
        if (bounded)
            state.wake.wait_until(lock, deadline);
        else
            state.wake.wait(lock);
    }
    if (linked)
        for (ULONG i = 0; i < count; ++i)
            RemoveEntryList(&blocks[i].link);
    return result;
}

} // namespace

std::mutex& dispatcher_lock()
{
    static std::mutex lock;
    return lock;
}

void ke_init_header(DISPATCHER_HEADER* header, UCHAR type, LONG state)
{
    header->Type = type;
    header->Size = 0;
    header->SignalState = state;
    InitializeListHead(&header->WaitListHead);
}

void ke_signal_locked(DISPATCHER_HEADER* header)
{
    header->SignalState = 1;
    wake_waiters(header);
}

} // namespace ntos::detail

using namespace ntos::detail;

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    NTOS_CHECK(Event, "KeInitializeEvent with a null event");
    ke_init_header(&Event->Header,
                   Type == SynchronizationEvent ? EventSynchronizationObject
                                                : EventNotificationObject,
                   State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    NTOS_CHECK(KeGetCurrentIrql() <= DISPATCH_LEVEL, "KeSetEvent at IRQL %d", KeGetCurrentIrql());
    check_header(&Event->Header);
    std::lock_guard guard(dispatcher_lock());
    LONG previous = Event->Header.SignalState;
    if (previous == 0)
        ke_signal_locked(&Event->Header);
    return previous;
}

VOID KeClearEvent(PRKEVENT Event)
{
    std::lock_guard guard(dispatcher_lock());
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event)
{
    std::lock_guard guard(dispatcher_lock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard guard(dispatcher_lock());
    return Event->Header.SignalState;
}

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    NTOS_CHECK(Mutex, "KeInitializeMutex with a null mutex");
    ke_init_header(&Mutex->Header, MutantObject, 1);
    InitializeListHead(&Mutex->MutantListEntry);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    PKTHREAD self = KeGetCurrentThread();
    std::lock_guard guard(dispatcher_lock());
    LONG previous = Mutex->Header.SignalState;
    NTOS_CHECK(Mutex->OwnerThread == self && previous <= 0,
               "KeReleaseMutex on mutex %p by a thread that does not own it",
               static_cast<void*>(Mutex));
    if (Mutex->OwnerThread != self || previous > 0)
        return previous; // unchecked builds: refuse rather than corrupt the count
    Mutex->Header.SignalState = previous + 1;
    if (previous + 1 == 1) {
        --current_thread_state().mutexes_held;
        Mutex->OwnerThread = nullptr;
        wake_waiters(&Mutex->Header);
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex)
{
    std::lock_guard guard(dispatcher_lock());
    return Mutex->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    if (!Object)
        return STATUS_INVALID_PARAMETER;
    DISPATCHER_HEADER* header = header_of_object(Object);
    check_header(header);
    return wait_objects(1, &header, WaitAny, Timeout);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray)
{
    if (!Object || Count == 0 || Count > MAXIMUM_WAIT_OBJECTS ||
        (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray))
        return STATUS_INVALID_PARAMETER;
    DISPATCHER_HEADER* headers[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; ++i) {
        if (!Object[i])
            return STATUS_INVALID_PARAMETER;
        headers[i] = header_of_object(Object[i]);
        check_header(headers[i]);
    }
    return wait_objects(Count, headers, WaitType, Timeout);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval)
{
    NTOS_CHECK(KeGetCurrentIrql() <= APC_LEVEL, "KeDelayExecutionThread at IRQL %d",
               KeGetCurrentIrql());
    if (!Interval)
        return STATUS_INVALID_PARAMETER;
    LONGLONG ticks = Interval->QuadPart;
    if (ticks > 0) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        ticks = now.QuadPart - ticks;
    }
    if (ticks < 0)
        std::this_thread::sleep_for(std::chrono::nanoseconds(-ticks * 100));
    else
        std::this_thread::yield();
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                       POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                       BOOLEAN InitialState)
{
    NTOS_PASSIVE_SERVICE("ZwCreateEvent");
    if (!EventHandle || (EventType != NotificationEvent && EventType != SynchronizationEvent))
        return STATUS_INVALID_PARAMETER;
    if (ObjectAttributes && ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    std::u16string name;
    if (ObjectAttributes && ObjectAttributes->ObjectName &&
        !ob_string(ObjectAttributes->ObjectName, &name))
        return STATUS_OBJECT_NAME_INVALID;
    void* body = ob_create_object(object_kind::event, sizeof(KEVENT), nullptr);
    if (!body)
        return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(static_cast<PKEVENT>(body), EventType, InitialState);
    ULONG attributes = ObjectAttributes ? ObjectAttributes->Attributes : 0;
    if (!name.empty()) {
        NTSTATUS status =
            ob_insert_name(body, ObjectAttributes->RootDirectory, name, attributes, nullptr);
        if (!NT_SUCCESS(status)) {
            ob_dereference(body);
            return status;
        }
    }
    NTSTATUS status = ob_insert_handle(body, DesiredAccess, attributes, EventHandle);
    ob_dereference(body);
    return status;
}

NTSTATUS ZwSetEvent(HANDLE EventHandle, PLONG PreviousState)
{
    NTOS_PASSIVE_SERVICE("ZwSetEvent");
    void* body = nullptr;
    NTSTATUS status = ob_reference_by_handle(EventHandle, object_kind::event, &body, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    LONG previous = KeSetEvent(static_cast<PKEVENT>(body), IO_NO_INCREMENT, FALSE);
    if (PreviousState)
        *PreviousState = previous;
    ob_dereference(body);
    return STATUS_SUCCESS;
}

NTSTATUS ZwClearEvent(HANDLE EventHandle)
{
    NTOS_PASSIVE_SERVICE("ZwClearEvent");
    void* body = nullptr;
    NTSTATUS status = ob_reference_by_handle(EventHandle, object_kind::event, &body, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    KeClearEvent(static_cast<PKEVENT>(body));
    ob_dereference(body);
    return STATUS_SUCCESS;
}
