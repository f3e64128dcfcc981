// Dispatcher objects, waits, system threads, IRQL rules and spin locks.
#include <ntifs.h>
#include <ntos_layer.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

LARGE_INTEGER relative_ms(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10'000;
    return t;
}

struct worker_args {
    KEVENT* start = nullptr;
    KEVENT* done = nullptr;
    std::atomic<int>* counter = nullptr;
};

VOID count_after_start(PVOID context)
{
    auto* args = static_cast<worker_args*>(context);
    KeWaitForSingleObject(args->start, Executive, KernelMode, FALSE, nullptr);
    args->counter->fetch_add(1);
    if (args->done)
        KeSetEvent(args->done, IO_NO_INCREMENT, FALSE);
}

HANDLE start_thread(PKSTART_ROUTINE routine, PVOID context)
{
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    EXPECT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &oa, nullptr, nullptr, routine, context),
        STATUS_SUCCESS);
    return handle;
}

void join(HANDLE handle)
{
    PVOID thread = nullptr;
    ASSERT_EQ(
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    ObDereferenceObject(thread);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST(KeEvent, NotificationReleasesEveryWaiterSynchronizationExactlyOne)
{
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        KEVENT start;
        KeInitializeEvent(&start, type, FALSE);
        std::atomic<int> counter{0};
        worker_args args{&start, nullptr, &counter};
        std::vector<HANDLE> threads;
        for (int i = 0; i < 3; ++i)
            threads.push_back(start_thread(count_after_start, &args));
        EXPECT_EQ(KeSetEvent(&start, IO_NO_INCREMENT, FALSE), 0);
        if (type == NotificationEvent) {
            for (HANDLE h : threads)
                join(h);
            EXPECT_EQ(counter.load(), 3);
            EXPECT_EQ(KeReadStateEvent(&start), 1); // stays signalled
        } else {
            // Each signal lets one waiter through and resets the event.
            for (int released = 1; released <= 3; ++released) {
                auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (counter.load() < released && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                EXPECT_EQ(counter.load(), released);
                if (released < 3)
                    KeSetEvent(&start, IO_NO_INCREMENT, FALSE);
            }
            for (HANDLE h : threads)
                join(h);
            EXPECT_EQ(KeReadStateEvent(&start), 0);
        }
    }
}

TEST(KeEvent, TimeoutsRelativeAbsoluteAndPoll)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);

    LARGE_INTEGER relative = relative_ms(30);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative),
              STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(30));

    // Absolute: system time 30 ms from now; one in the past expires at once.
    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += 30 * 10'000;
    before = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute),
              STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(25));
    absolute.QuadPart -= 10'000'000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute),
              STATUS_TIMEOUT);

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST(KeEvent, WaitForMultipleAnyReportsTheIndexAllNeedsEvery)
{
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    PVOID objects[] = {&a, &b};
    LARGE_INTEGER zero{};
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_TIMEOUT);
    // The failed WaitAll must not have consumed b.
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_WAIT_0 + 1);
    KeSetEvent(&a, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
    EXPECT_EQ(KeReadStateEvent(&a), 1);
    EXPECT_EQ(
        KeWaitForMultipleObjects(0, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_INVALID_PARAMETER);
}

struct mutex_args {
    KMUTEX* mutex;
    NTSTATUS result;
};

VOID try_mutex(PVOID context)
{
    auto* args = static_cast<mutex_args*>(context);
    LARGE_INTEGER zero{};
    args->result = KeWaitForSingleObject(args->mutex, Executive, KernelMode, FALSE, &zero);
    if (args->result == STATUS_WAIT_0)
        KeReleaseMutex(args->mutex, FALSE);
}

TEST(KeMutex, OwnerMayRecurseOthersWaitUntilTheLastRelease)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);

    mutex_args args{&mutex, STATUS_SUCCESS};
    join(start_thread(try_mutex, &args));
    EXPECT_EQ(args.result, STATUS_TIMEOUT);

    KeReleaseMutex(&mutex, FALSE);
    join(start_thread(try_mutex, &args));
    EXPECT_EQ(args.result, STATUS_TIMEOUT); // still held once

    KeReleaseMutex(&mutex, FALSE);
    join(start_thread(try_mutex, &args));
    EXPECT_EQ(args.result, STATUS_WAIT_0);
}

VOID end_owning_mutex(PVOID context)
{
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

TEST(KeMutexDeathTest, ThreadEndingWhileOwningAMutexAborts)
{
#if !defined(LOCKBIN_CHECKED)
    GTEST_SKIP() << "the kernel layer's contract checks are compiled out (LOCKBIN_CHECKED off)";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_DEATH({ join(start_thread(end_owning_mutex, &mutex)); }, "ended owning 1 kernel mutex");
}

TEST(KeMutexDeathTest, ReleaseByANonOwnerAborts)
{
#if !defined(LOCKBIN_CHECKED)
    GTEST_SKIP() << "the kernel layer's contract checks are compiled out (LOCKBIN_CHECKED off)";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_DEATH(KeReleaseMutex(&mutex, FALSE), "does not own it");
}

struct exit_args {
    std::atomic<bool> after_terminate{false};
};

VOID terminate_early(PVOID context)
{
    PsTerminateSystemThread(STATUS_SUCCESS);
    static_cast<exit_args*>(context)->after_terminate = true;
}

TEST(PsThread, SystemThreadsRunInTheSystemProcessAndTerminateWhereTheySay)
{
    exit_args args;
    join(start_thread(terminate_early, &args));
    EXPECT_FALSE(args.after_terminate.load());

    struct ids {
        HANDLE process;
        HANDLE thread;
        PEPROCESS eprocess;
    } seen{};
    join(start_thread(
        [](PVOID c) {
            auto* s = static_cast<ids*>(c);
            s->process = PsGetCurrentProcessId();
            s->thread = PsGetCurrentThreadId();
            s->eprocess = PsGetCurrentProcess();
        },
        &seen));
    EXPECT_EQ(seen.eprocess, PsInitialSystemProcess());
    EXPECT_EQ(seen.process, reinterpret_cast<HANDLE>(4));
    EXPECT_NE(seen.thread, PsGetCurrentThreadId());

    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, nullptr,
                                   nullptr),
              STATUS_INVALID_PARAMETER);
}

TEST(PsThread, ThreadHandleIsNotAnEventAndPriorityIsRecorded)
{
    KEVENT start;
    KeInitializeEvent(&start, NotificationEvent, FALSE);
    std::atomic<int> counter{0};
    worker_args args{&start, nullptr, &counter};
    HANDLE handle = start_thread(count_after_start, &args);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, KernelMode,
                                        &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ASSERT_EQ(
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
        STATUS_SUCCESS);
    auto* thread = static_cast<PKTHREAD>(object);
    KeSetPriorityThread(thread, LOW_REALTIME_PRIORITY);
    EXPECT_EQ(KeQueryPriorityThread(thread), LOW_REALTIME_PRIORITY);
    // A running thread is not signalled.
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&start, IO_NO_INCREMENT, FALSE);
    ObDereferenceObject(object);
    join(handle);
}

TEST(PsProcess, SystemProcessNameIsFoundByScanningTheProcessObject)
{
    // The support layer finds the image-name offset this way at start.
    auto* bytes = reinterpret_cast<const char*>(PsGetCurrentProcess());
    size_t found = 0;
    for (size_t offset = 0; offset < 0x3000; ++offset) {
        if (std::memcmp(bytes + offset, "System", 6) == 0) {
            found = offset;
            break;
        }
    }
    ASSERT_NE(found, 0u);
    PEPROCESS client = ntos::create_client_process("lockbin", 1, 1000, 1000, 42);
    {
        ntos::process_attachment attach(client);
        EXPECT_STREQ(reinterpret_cast<const char*>(PsGetCurrentProcess()) + found, "lockbin");
        EXPECT_NE(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(4));
    }
    EXPECT_EQ(PsGetCurrentProcess(), PsInitialSystemProcess());
    ntos::close_client_process(client);
    ObDereferenceObject(client);
}

TEST(KeEventObject, ClientEventHandleIsReferencedAsAKernelEvent)
{
    // What the driver's log does with an event handle a client sends it.
    PEPROCESS client = ntos::create_client_process("reader", 1, 1000, 1000, 7);
    {
        ntos::process_attachment attach(client);
        HANDLE handle = nullptr;
        ASSERT_EQ(ZwCreateEvent(&handle, EVENT_ALL_ACCESS, nullptr, SynchronizationEvent, FALSE),
                  STATUS_SUCCESS);
        PVOID object = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                            &object, nullptr),
                  STATUS_SUCCESS);
        KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
        LONG previous = -1;
        EXPECT_EQ(ZwSetEvent(handle, &previous), STATUS_SUCCESS);
        EXPECT_EQ(previous, 1);
        EXPECT_EQ(ZwClearEvent(handle), STATUS_SUCCESS);
        EXPECT_EQ(KeReadStateEvent(static_cast<PKEVENT>(object)), 0);
        // The reference outlives the handle.
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
        ObDereferenceObject(object);
    }
    ntos::close_client_process(client);
    ObDereferenceObject(client);

    // User mode never reaches kernel handles; kernel mode does.
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE kernel = nullptr;
    ASSERT_EQ(ZwCreateEvent(&kernel, EVENT_ALL_ACCESS, &oa, NotificationEvent, TRUE),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(kernel, SYNCHRONIZE, *ExEventObjectType, UserMode, &object,
                                        nullptr),
              STATUS_INVALID_HANDLE);
    ASSERT_EQ(ObReferenceObjectByHandle(kernel, SYNCHRONIZE, *ExEventObjectType, KernelMode,
                                        &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(static_cast<PKEVENT>(object)), 1);
    ObDereferenceObject(object);
    ZwClose(kernel);
}

TEST(KeIrql, SpinLocksRaiseToDispatchAndRestore)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ASSERT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = HIGH_LEVEL;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // The lock excludes: two threads adding under it never lose an update.
    long total = 0;
    auto add = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL saved;
            KeAcquireSpinLock(&lock, &saved);
            total = total + 1;
            KeReleaseSpinLock(&lock, saved);
        }
    };
    std::thread a(add), b(add);
    a.join();
    b.join();
    EXPECT_EQ(total, 40000);
}

TEST(KeIrql, InterlockedListsAreFifoAndReportEmpty)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head, one, two;
    InitializeListHead(&head);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &one, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &two, &lock), &one);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &one);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &two);
    EXPECT_TRUE(IsListEmpty(&head));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

class KeIrqlDeathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#if !defined(LOCKBIN_CHECKED)
        GTEST_SKIP() << "the kernel layer's contract checks are compiled out (LOCKBIN_CHECKED off)";
#endif
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

TEST_F(KeIrqlDeathTest, WaitingOrPageableCodeAtDispatchLevelAborts)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "wait at IRQL 2");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            PAGED_CODE();
        },
        "Pageable code called at IRQL 2");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePoolWithTag(PagedPool, 16, 0x6472766D);
        },
        "paged pool allocated at IRQL 2");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ZwClose(nullptr);
        },
        "ZwClose called at IRQL 2");
    // A zero timeout is a poll, which is allowed at DISPATCH_LEVEL.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
    KeLowerIrql(old);
}

TEST_F(KeIrqlDeathTest, SpinLockMisuseAborts)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KIRQL a;
            KIRQL b;
            KeAcquireSpinLock(&lock, &a);
            KeAcquireSpinLock(&lock, &b);
        },
        "acquired again by its owner");
    EXPECT_DEATH(KeReleaseSpinLock(&lock, PASSIVE_LEVEL), "does not hold it");
    EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "above the current IRQL");
}

} // namespace
