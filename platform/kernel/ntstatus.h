// Status codes used by the driver, its library and its stand-ins, with the platform's values.
#pragma once

#define QUOR_NTSTATUS(name, value) constexpr NTSTATUS name = static_cast<NTSTATUS>(value##u);
#include "platform/kernel/ntstatus_list.h"
#undef QUOR_NTSTATUS

// Name of a status code ("STATUS_IO_TIMEOUT"), or nullptr for a code not in the list.
const char* NtStatusName(NTSTATUS status);
// A plain sentence that says what the status means to a person, or nullptr.
const char* NtStatusText(NTSTATUS status);
