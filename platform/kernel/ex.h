// Pool memory with tags, and counted Unicode strings.
#pragma once

#include <functional>
#include <string>

#include "platform/kernel/ntdef.h"

enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 };

// Four characters read as a little-endian 32-bit tag: PoolTag("SCQ2").
constexpr ULONG PoolTag(const char (&t)[5]) {
    return static_cast<ULONG>(static_cast<UCHAR>(t[0])) |
           static_cast<ULONG>(static_cast<UCHAR>(t[1])) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(t[2])) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(t[3])) << 24;
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
void ExFreePoolWithTag(PVOID P, ULONG Tag);
void ExFreePool(PVOID P);

// Test support. The hook is asked before every allocation; returning true makes it fail.
using PoolFailureHook = std::function<bool(POOL_TYPE type, SIZE_T bytes, ULONG tag)>;
void ExTestSetAllocationFailureHook(PoolFailureHook hook);
// Number of allocations with the tag (0: all tags) that have not been freed.
SIZE_T ExTestOutstandingAllocations(ULONG Tag);

struct UNICODE_STRING {
    USHORT Length;         // bytes, without a terminating zero
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;

void RtlInitUnicodeString(PUNICODE_STRING Destination, const WCHAR* Source);
// Frees a string whose buffer came from the pool (tag "Ustr").
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
// Makes a pool copy of a UTF-8 text (tag "Ustr"); STATUS_INSUFFICIENT_RESOURCES on failure.
NTSTATUS RtlCreateUnicodeStringFromUtf8(PUNICODE_STRING Destination, const char* Source);
// The string as UTF-8 (for logs and tools; only characters below 0x800 are expected).
std::string RtlUnicodeStringToUtf8(const UNICODE_STRING* Source);

void RtlZeroMemory(PVOID Destination, SIZE_T Length);
void RtlCopyMemory(PVOID Destination, const void* Source, SIZE_T Length);
void RtlMoveMemory(PVOID Destination, const void* Source, SIZE_T Length);
