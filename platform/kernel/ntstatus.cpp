#include "platform/kernel/ntdef.h"

namespace {

struct StatusInfo {
    NTSTATUS status;
    const char* name;
    const char* text;
};

// STATUS_WAIT_0 shares its value with STATUS_SUCCESS and is left out, so the success code
// keeps its own name.
constexpr StatusInfo kStatusInfo[] = {
    {STATUS_SUCCESS, "STATUS_SUCCESS", "The operation completed successfully."},
    {STATUS_WAIT_1, "STATUS_WAIT_1", "The wait was satisfied by the second object."},
    {STATUS_ALERTED, "STATUS_ALERTED", "The wait was alerted."},
    {STATUS_TIMEOUT, "STATUS_TIMEOUT", "The operation ran out of time before it finished."},
    {STATUS_PENDING, "STATUS_PENDING", "The operation is still in progress."},
    {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW", "The data did not fit the buffer."},
    {STATUS_DEVICE_BUSY, "STATUS_DEVICE_BUSY", "The device is busy."},
    {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL", "The operation failed."},
    {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED", "The requested function is not known."},
    {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER", "A parameter is not valid."},
    {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE", "The device does not exist."},
    {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST",
     "The device cannot serve this request."},
    {STATUS_UNRECOGNIZED_MEDIA, "STATUS_UNRECOGNIZED_MEDIA",
     "The card did not answer with a usable answer to reset."},
    {STATUS_MORE_PROCESSING_REQUIRED, "STATUS_MORE_PROCESSING_REQUIRED",
     "More processing is required."},
    {STATUS_NO_MEMORY, "STATUS_NO_MEMORY", "Not enough memory."},
    {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED", "Access was denied (the device may be in use)."},
    {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL", "A buffer is too small for the data."},
    {STATUS_DATA_ERROR, "STATUS_DATA_ERROR", "The data from the reader was corrupt."},
    {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES",
     "Not enough system resources."},
    {STATUS_DEVICE_DATA_ERROR, "STATUS_DEVICE_DATA_ERROR", "The reader reported an error."},
    {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED", "The device is not connected."},
    {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY", "The device is not ready."},
    {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT", "The reader or the card did not answer in time."},
    {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED", "The request is not supported."},
    {STATUS_CANCELLED, "STATUS_CANCELLED", "The request was cancelled."},
    {STATUS_SHARED_IRQ_BUSY, "STATUS_SHARED_IRQ_BUSY",
     "The serial port shares an interrupt that is already in use."},
    {STATUS_NO_MEDIA, "STATUS_NO_MEDIA", "There is no card in the reader."},
    {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE",
     "The card is not in a state that allows this request."},
    {STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR", "The device reported an I/O error."},
    {STATUS_DEVICE_PROTOCOL_ERROR, "STATUS_DEVICE_PROTOCOL_ERROR",
     "The reader or the card broke the protocol."},
    {STATUS_INVALID_BUFFER_SIZE, "STATUS_INVALID_BUFFER_SIZE", "A buffer has an invalid size."},
    {STATUS_NOT_FOUND, "STATUS_NOT_FOUND", "The object was not found."},
    {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING", "The device is being removed."},
};

const StatusInfo* Find(NTSTATUS status) {
    for (const auto& info : kStatusInfo) {
        if (info.status == status) return &info;
    }
    return nullptr;
}

}  // namespace

const char* NtStatusName(NTSTATUS status) {
    const StatusInfo* info = Find(status);
    return info ? info->name : nullptr;
}

const char* NtStatusText(NTSTATUS status) {
    const StatusInfo* info = Find(status);
    return info ? info->text : nullptr;
}
