// The whole driver on the bench: loaded into its own host over an emulated reader and its
// serial port, added and started. Requests go straight to the driver's device, without a
// handle (so no polling thread runs unless a test opens one), and each comes back with what
// the I/O manager saw of it: status, output, how often it completed, and whether anything was
// written outside the caller's output.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "link/extension.h"
#include "platform/kernel/host.h"
#include "platform/serial/port.h"
#include "sim/card.h"
#include "sim/reader.h"

namespace quor::test {

class HostedReader {
  public:
    // On whatever clock the caller has set up; the card (if any) is in the slot from the start.
    explicit HostedReader(std::shared_ptr<quor::sim::Card> card = nullptr,
                          quor::sim::ReaderConfig config = {});
    ~HostedReader();
    HostedReader(const HostedReader&) = delete;
    HostedReader& operator=(const HostedReader&) = delete;

    quor::sim::Reader& Reader() { return *reader_; }
    quor::serial::SerialPort& Port() { return *port_; }
    khost::Host& Host() { return *host_; }
    PDEVICE_OBJECT Pdo() { return port_->Device(); }
    PDEVICE_OBJECT Fdo() { return fdo_; }
    PSMARTCARD_EXTENSION Ext();
    NTSTATUS StartStatus() const { return start_; }

    struct Result {
        NTSTATUS status = STATUS_PENDING;
        std::vector<UCHAR> out;  // the Information bytes returned
        int completions = 0;
        bool clean = true;  // Information within the output, nothing written outside it
    };
    // Sends one device-control request and waits for it. A request still pending when the
    // driver's dispatch returns is cancelled (only tracking requests wait for an event that
    // a single caller cannot bring). With `failAllocations` every pool allocation made while
    // the driver serves the request fails.
    Result Send(ULONG code, std::span<const UCHAR> in, ULONG outLength,
                bool failAllocations = false);

  private:
    std::shared_ptr<quor::sim::Reader> reader_;
    std::unique_ptr<quor::serial::SerialPort> port_;
    std::unique_ptr<khost::Host> host_;
    PDEVICE_OBJECT fdo_ = nullptr;
    NTSTATUS start_ = STATUS_PENDING;
};

}  // namespace quor::test
