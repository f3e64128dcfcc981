// Per-thread IRQL bookkeeping, spin locks, interlocked operations, assertions and DbgPrint.
#include "ps_internal.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sched.h>

namespace ntos::detail {

void contract_violation(const char* what, ...)
{
    char text[1024];
    va_list args;
    va_start(args, what);
    vsnprintf(text, sizeof(text), what, args);
    va_end(args);
    fprintf(stderr, "*** kernel contract violated: %s\n", text);
    fflush(stderr);
    std::abort();
}

} // namespace ntos::detail

using namespace ntos::detail;

VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber,
               PCHAR MutableMessage)
{
    fprintf(stderr, "*** Assertion failed: %s%s%s\n***   Source File: %s, line %u\n",
            MutableMessage ? MutableMessage : "", MutableMessage ? " " : "",
            static_cast<const char*>(VoidFailedAssertion), static_cast<const char*>(VoidFileName),
            static_cast<unsigned>(LineNumber));
    fflush(stderr);
    std::abort();
}

KIRQL KeGetCurrentIrql()
{
    return current_thread_state().irql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    thread_state& state = current_thread_state();
    NTOS_CHECK(NewIrql >= state.irql, "KeRaiseIrql to %d below the current IRQL %d", NewIrql,
               state.irql);
    if (OldIrql)
        *OldIrql = state.irql;
    state.irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    thread_state& state = current_thread_state();
    NTOS_CHECK(NewIrql <= state.irql, "KeLowerIrql to %d above the current IRQL %d", NewIrql,
               state.irql);
    NTOS_CHECK(NewIrql >= DISPATCH_LEVEL || state.spin_locks_held == 0,
               "IRQL lowered to %d while holding %d spin lock(s)", NewIrql, state.spin_locks_held);
    state.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel()
{
    KIRQL old = 0;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

// A spin lock holds the owner's thread-state address while taken, so that a recursive
// acquisition (a deadlock on the platform) is caught in checked builds.
VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    if (SpinLock)
        __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    thread_state& state = current_thread_state();
    NTOS_CHECK(SpinLock, "KeAcquireSpinLock with a null lock");
    NTOS_CHECK(state.irql >= DISPATCH_LEVEL, "spin lock acquired at DPC level from IRQL %d",
               state.irql);
    auto self = reinterpret_cast<KSPIN_LOCK>(&state);
    NTOS_CHECK(__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != self,
               "spin lock %p acquired again by its owner", static_cast<void*>(SpinLock));
    unsigned spins = 0;
    while (true) {
        KSPIN_LOCK expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            break;
        // The holder is an ordinary host thread that may be descheduled: yield rather than burn.
        if (++spins > 64)
            sched_yield();
        else
            __builtin_ia32_pause();
    }
    ++state.spin_locks_held;
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    thread_state& state = current_thread_state();
    NTOS_CHECK(SpinLock, "KeReleaseSpinLock with a null lock");
    NTOS_CHECK(__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == reinterpret_cast<KSPIN_LOCK>(&state),
               "spin lock %p released by a thread that does not hold it",
               static_cast<void*>(SpinLock));
    --state.spin_locks_held;
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql)
{
    KIRQL old = 0;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(SpinLock);
    if (OldIrql)
        *OldIrql = old;
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    KIRQL old = 0;
    KeAcquireSpinLock(SpinLock, &old);
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    KeLowerIrql(NewIrql);
}

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock)
{
    KIRQL old = 0;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock)
{
    KIRQL old = 0;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock)
{
    KIRQL old = 0;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY entry = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return entry;
}

LONG InterlockedIncrement(volatile LONG* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(volatile LONG* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedExchange(volatile LONG* Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

LONG InterlockedExchangeAdd(volatile LONG* Addend, LONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                        PVOID Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
