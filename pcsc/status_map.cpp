#include "pcsc/status_map.h"

namespace quor::pcsc {

namespace st = quor::client::status;

RESPONSECODE IfdCode(quor::client::NtStatus status, Call call) {
    switch (status) {
        case st::kSuccess:
            return IFD_SUCCESS;
        case st::kNoMedia:
            return IFD_ICC_NOT_PRESENT;
        case st::kTimeout:
        case st::kIoTimeout:
            return IFD_RESPONSE_TIMEOUT;
        case st::kBufferTooSmall:
        case st::kBufferOverflow:
            return IFD_ERROR_INSUFFICIENT_BUFFER;
        case st::kNoSuchDevice:
        case st::kDeviceNotConnected:
            return IFD_NO_SUCH_DEVICE;
        default:
            break;
    }
    const bool unsupported = status == st::kNotSupported || status == st::kInvalidDeviceRequest;
    switch (call) {
        case Call::Power:
            return IFD_ERROR_POWER_ACTION;
        case Call::Protocol:
            return unsupported ? IFD_PROTOCOL_NOT_SUPPORTED : IFD_ERROR_PTS_FAILURE;
        case Call::GetAttribute:
            return unsupported || status == st::kInvalidParameter ? IFD_ERROR_TAG
                                                                  : IFD_COMMUNICATION_ERROR;
        case Call::SetAttribute:
            return unsupported ? IFD_ERROR_TAG : IFD_ERROR_SET_FAILURE;
        case Call::Control:
            return unsupported ? IFD_ERROR_NOT_SUPPORTED : IFD_COMMUNICATION_ERROR;
        case Call::General:
            break;
    }
    return unsupported ? IFD_NOT_SUPPORTED : IFD_COMMUNICATION_ERROR;
}

const char* IfdCodeName(RESPONSECODE code) {
    switch (code) {
        case IFD_SUCCESS:
            return "IFD_SUCCESS";
        case IFD_ERROR_TAG:
            return "IFD_ERROR_TAG";
        case IFD_ERROR_SET_FAILURE:
            return "IFD_ERROR_SET_FAILURE";
        case IFD_ERROR_VALUE_READ_ONLY:
            return "IFD_ERROR_VALUE_READ_ONLY";
        case IFD_ERROR_PTS_FAILURE:
            return "IFD_ERROR_PTS_FAILURE";
        case IFD_ERROR_NOT_SUPPORTED:
            return "IFD_ERROR_NOT_SUPPORTED";
        case IFD_PROTOCOL_NOT_SUPPORTED:
            return "IFD_PROTOCOL_NOT_SUPPORTED";
        case IFD_ERROR_POWER_ACTION:
            return "IFD_ERROR_POWER_ACTION";
        case IFD_COMMUNICATION_ERROR:
            return "IFD_COMMUNICATION_ERROR";
        case IFD_RESPONSE_TIMEOUT:
            return "IFD_RESPONSE_TIMEOUT";
        case IFD_NOT_SUPPORTED:
            return "IFD_NOT_SUPPORTED";
        case IFD_ICC_PRESENT:
            return "IFD_ICC_PRESENT";
        case IFD_ICC_NOT_PRESENT:
            return "IFD_ICC_NOT_PRESENT";
        case IFD_NO_SUCH_DEVICE:
            return "IFD_NO_SUCH_DEVICE";
        case IFD_ERROR_INSUFFICIENT_BUFFER:
            return "IFD_ERROR_INSUFFICIENT_BUFFER";
        default:
            return "IFD_?";
    }
}

}  // namespace quor::pcsc
