// Basic kernel types and status codes of the user-mode kernel stand-in.
#pragma once

#include <cstddef>
#include <cstdint>

using UCHAR = std::uint8_t;
using CHAR = char;
using USHORT = std::uint16_t;
using SHORT = std::int16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using SIZE_T = std::size_t;
using BOOLEAN = std::uint8_t;
using WCHAR = char16_t;
using PVOID = void*;
using PUCHAR = UCHAR*;
using PULONG = ULONG*;
using PCHAR = char*;
using PWSTR = WCHAR*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
using KPRIORITY = LONG;
using CCHAR = std::int8_t;

constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

using NTSTATUS = std::int32_t;

constexpr bool NT_SUCCESS(NTSTATUS s) { return s >= 0; }
constexpr bool NT_INFORMATION(NTSTATUS s) { return (static_cast<ULONG>(s) >> 30) == 1; }
constexpr bool NT_WARNING(NTSTATUS s) { return (static_cast<ULONG>(s) >> 30) == 2; }
constexpr bool NT_ERROR(NTSTATUS s) { return (static_cast<ULONG>(s) >> 30) == 3; }

#include "platform/kernel/ntstatus.h"
