#include "platform/kernel/ex.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace {

struct PoolState {
    std::mutex lock;
    PoolFailureHook hook;
    std::unordered_map<PVOID, ULONG> live;  // allocation -> tag
};

PoolState& Pool() {
    static PoolState* s = new PoolState;  // outlives every user
    return *s;
}

constexpr ULONG kStringTag = PoolTag("Ustr");

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    PoolState& p = Pool();
    PoolFailureHook hook;
    {
        std::lock_guard<std::mutex> lock(p.lock);
        hook = p.hook;
    }
    if (hook && hook(PoolType, NumberOfBytes, Tag)) return nullptr;
    PVOID mem = std::malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
    if (mem == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(p.lock);
    p.live[mem] = Tag;
    return mem;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, PoolTag("None"));
}

void ExFreePoolWithTag(PVOID P, ULONG) { ExFreePool(P); }

void ExFreePool(PVOID P) {
    if (P == nullptr) return;
    {
        PoolState& p = Pool();
        std::lock_guard<std::mutex> lock(p.lock);
        p.live.erase(P);
    }
    std::free(P);
}

void ExTestSetAllocationFailureHook(PoolFailureHook hook) {
    PoolState& p = Pool();
    std::lock_guard<std::mutex> lock(p.lock);
    p.hook = std::move(hook);
}

SIZE_T ExTestOutstandingAllocations(ULONG Tag) {
    PoolState& p = Pool();
    std::lock_guard<std::mutex> lock(p.lock);
    if (Tag == 0) return p.live.size();
    SIZE_T n = 0;
    for (const auto& [mem, tag] : p.live) {
        if (tag == Tag) ++n;
    }
    return n;
}

void RtlInitUnicodeString(PUNICODE_STRING Destination, const WCHAR* Source) {
    USHORT n = 0;
    if (Source != nullptr) {
        while (Source[n] != 0) ++n;
    }
    Destination->Buffer = const_cast<PWSTR>(Source);
    Destination->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    Destination->MaximumLength = static_cast<USHORT>(Source ? (n + 1) * sizeof(WCHAR) : 0);
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

NTSTATUS RtlCreateUnicodeStringFromUtf8(PUNICODE_STRING Destination, const char* Source) {
    std::size_t n = std::strlen(Source);
    auto* buf =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, (n + 1) * sizeof(WCHAR), kStringTag));
    if (buf == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::size_t out = 0;
    for (std::size_t i = 0; i < n;) {
        auto c = static_cast<unsigned char>(Source[i]);
        char16_t w;
        if (c < 0x80) {
            w = c;
            i += 1;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < n) {
            w = static_cast<char16_t>(((c & 0x1F) << 6) | (Source[i + 1] & 0x3F));
            i += 2;
        } else {
            w = u'?';
            i += 1;
        }
        buf[out++] = w;
    }
    buf[out] = 0;
    Destination->Buffer = buf;
    Destination->Length = static_cast<USHORT>(out * sizeof(WCHAR));
    Destination->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

std::string RtlUnicodeStringToUtf8(const UNICODE_STRING* Source) {
    std::string s;
    if (Source == nullptr || Source->Buffer == nullptr) return s;
    for (USHORT i = 0; i < Source->Length / sizeof(WCHAR); ++i) {
        char16_t w = Source->Buffer[i];
        if (w < 0x80) {
            s.push_back(static_cast<char>(w));
        } else if (w < 0x800) {
            s.push_back(static_cast<char>(0xC0 | (w >> 6)));
            s.push_back(static_cast<char>(0x80 | (w & 0x3F)));
        } else {
            s.push_back('?');
        }
    }
    return s;
}

void RtlZeroMemory(PVOID Destination, SIZE_T Length) {
    if (Length) std::memset(Destination, 0, Length);
}
void RtlCopyMemory(PVOID Destination, const void* Source, SIZE_T Length) {
    if (Length) std::memcpy(Destination, Source, Length);
}
void RtlMoveMemory(PVOID Destination, const void* Source, SIZE_T Length) {
    if (Length) std::memmove(Destination, Source, Length);
}
