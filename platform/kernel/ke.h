// Kernel executive stand-in: dispatcher objects (events, mutexes, timers, threads), waits,
// delays, spin locks, DPCs, interlocked operations and system time. Every record is a plain
// structure that is valid when zeroed, as kernel records are, so it can live inside a device
// extension; all time goes through kclock.
#pragma once

#include "platform/kernel/ntdef.h"

enum KPROCESSOR_MODE_VALUES : CCHAR { KernelMode = 0, UserMode = 1 };
using KPROCESSOR_MODE = CCHAR;

enum KWAIT_REASON { Executive = 0, UserRequest = 6, Suspended = 5 };
enum WAIT_TYPE { WaitAll = 0, WaitAny = 1 };
enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 };

constexpr KPRIORITY IO_NO_INCREMENT = 0;
constexpr KPRIORITY EVENT_INCREMENT = 1;

// Object types of the dispatcher header.
enum DISPATCHER_OBJECT_TYPE : UCHAR {
    DispatcherUninitialized = 0,
    DispatcherNotificationEvent = 1,
    DispatcherSynchronizationEvent = 2,
    DispatcherMutex = 3,
    DispatcherTimer = 4,
    DispatcherThread = 5,
};

struct DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Inserted;  // timers: queued
    USHORT Reserved;
    LONG SignalState;
    // The threads waiting on the object, in arrival order (the stand-in's wait blocks); empty
    // when zeroed.
    PVOID WaitListHead;
    PVOID WaitListTail;
};

struct KEVENT {
    DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;

struct KMUTEX {
    DISPATCHER_HEADER Header;  // SignalState 1 = free, <= 0 = owned (recursion depth)
    ULONG OwnerThread;         // kclock::ThreadNumber of the owner, 0 when free
};
using PKMUTEX = KMUTEX*;

struct KDPC;
using PKDPC = KDPC*;
using PKDEFERRED_ROUTINE = void (*)(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                    PVOID SystemArgument2);
struct KDPC {
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    LONG Queued;
};

struct KTIMER {
    DISPATCHER_HEADER Header;
    LONGLONG DueTime;  // absolute, in clock ticks
    LONG Period;       // milliseconds, 0 for a one-shot timer
    PKDPC Dpc;
    ULONG Serial;  // bumped at each set/cancel so a stale expiry is recognised
};
using PKTIMER = KTIMER*;

// A spin lock: a word that is 0 when free.
using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

// Events
void KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG KeResetEvent(PKEVENT Event);
void KeClearEvent(PKEVENT Event);
LONG KeReadStateEvent(PKEVENT Event);

// Mutexes: recursive for their owner thread.
void KeInitializeMutex(PKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PKMUTEX Mutex, BOOLEAN Wait);
LONG KeReadStateMutex(PKMUTEX Mutex);

// Waits. Timeout: null = no limit; negative = relative, positive = absolute system time,
// both in 100 ns units; zero = test without waiting.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
struct KWAIT_BLOCK {
    PVOID Reserved;
};
// Most objects one KeWaitForMultipleObjects may wait for.
constexpr ULONG MAXIMUM_WAIT_OBJECTS = 64;
using PKWAIT_BLOCK = KWAIT_BLOCK*;
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
// Test support: number of threads blocked in KeWaitForSingleObject/KeWaitForMultipleObjects
// whose wait is not satisfied yet.
ULONG KeTestWaitingThreads();

// Delays and time
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);
void KeStallExecutionProcessor(ULONG MicroSeconds);
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

// Spin locks (real spin locks; the IRQL is tracked per thread).
void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void KeLowerIrql(KIRQL NewIrql);

// Timers and DPCs. DPCs run one at a time on the kernel stand-in's DPC thread.
void KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
void KeInitializeTimer(PKTIMER Timer);
void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);
BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PKDPC Dpc);
// Returns once every DPC queued before the call has finished running.
void KeFlushQueuedDpcs();

// System threads
using PKSTART_ROUTINE = void (*)(PVOID StartContext);
constexpr ULONG THREAD_ALL_ACCESS = 0x1FFFFF;
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, PVOID ObjectAttributes,
                              HANDLE ProcessHandle, PVOID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
// Gives up a handle (a thread handle keeps running without it).
NTSTATUS ZwClose(HANDLE Handle);
// The handle of a thread is also a dispatcher object: it is signalled when the thread ends.
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ULONG DesiredAccess, PVOID ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID Info);
void ObDereferenceObject(PVOID Object);

// Test support: number of system threads still running, and a wait until none is left.
ULONG PsTestRunningSystemThreads();
void PsTestWaitForSystemThreads();
// Test support: lets system-thread creation fail with the given status (0: succeed).
void PsTestFailThreadCreation(NTSTATUS status);

// Interlocked operations
LONG InterlockedIncrement(LONG volatile* Addend);
LONG InterlockedDecrement(LONG volatile* Addend);
LONG InterlockedExchange(LONG volatile* Target, LONG Value);
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand);
LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                        PVOID Comparand);

// Relative interval helper: -n100 ns.
inline LARGE_INTEGER RelativeTime100ns(LONGLONG units) {
    LARGE_INTEGER li;
    li.QuadPart = -units;
    return li;
}
