// An extension set up the way the driver's transmit path has it, for the engine tests.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "platform/smclib/engine.h"

namespace smclib_test {

using Bytes = std::vector<UCHAR>;

struct Rig {
    std::unique_ptr<SMARTCARD_EXTENSION> ext = std::make_unique<SMARTCARD_EXTENSION>();
    Bytes requestBuffer = Bytes(MIN_BUFFER_SIZE), replyBuffer = Bytes(MIN_BUFFER_SIZE);
    Bytes request, reply = Bytes(1024, 0xEE);  // the caller's request and reply buffers
    ULONG information = 0xDEAD;

    Rig() {
        ext->SmartcardRequest = {requestBuffer.data(), MIN_BUFFER_SIZE, 0};
        ext->SmartcardReply = {replyBuffer.data(), MIN_BUFFER_SIZE, 0};
        ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
        ext->CardCapabilities.T1.IFSC = 32;
        ext->IoRequest = {&information, nullptr, 0, reply.data(), 1024};
        SetApdu({0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00});
    }
    void SetApdu(const Bytes& apdu, ULONG protocol = SCARD_PROTOCOL_T1, ULONG pci = 8) {
        const SCARD_IO_REQUEST header{protocol, pci};
        request.resize(sizeof(header));
        std::memcpy(request.data(), &header, sizeof(header));
        request.insert(request.end(), apdu.begin(), apdu.end());
        ext->IoRequest.RequestBuffer = request.data();
        ext->IoRequest.RequestBufferLength = static_cast<ULONG>(request.size());
    }
    // What the builder put out; then the reader frame overwrites the buffer, as in the driver.
    Bytes TakeSent() {
        SMARTCARD_REQUEST& r = ext->SmartcardRequest;
        Bytes sent(r.Buffer, r.Buffer + r.BufferLength);
        std::memset(r.Buffer, 0xA5, r.BufferSize);
        r.BufferLength = 0;
        return sent;
    }
    void CardSays(const Bytes& bytes) {
        if (!bytes.empty()) std::memcpy(replyBuffer.data(), bytes.data(), bytes.size());
        ext->SmartcardReply.BufferLength = static_cast<ULONG>(bytes.size());
    }
    Bytes Answer() const {  // behind the reply header
        if (information < 8 || information > reply.size()) return {};
        return Bytes(reply.begin() + 8, reply.begin() + information);
    }
};

}  // namespace smclib_test
