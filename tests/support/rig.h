// A reader on the bench: the emulated reader, the serial port stand-in over an in-process
// line, and a driver device attached above the port with its records set up as at device
// creation and the port counted open. Tests drive the link and the layers above through it.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "client/sim_line.h"
#include "link/extension.h"
#include "platform/serial/port.h"
#include "sim/reader.h"

namespace quor::test {

enum class ClockMode { Scaled, Manual };

struct RigOptions {
    quor::sim::ReaderConfig reader{};
    ClockMode clock = ClockMode::Scaled;
    double scale = 1000.0;  // also stretches reader.interByteTimeout, which stays real time
    bool openPort = true;
    // The line under the port; the in-process line to the emulator when empty.
    std::function<std::unique_ptr<quor::serial::ByteLine>()> line{};
    bool record = true;  // the emulator and the port record what passes
};

class ReaderRig {
  public:
    explicit ReaderRig(RigOptions options = {});
    ~ReaderRig();
    ReaderRig(const ReaderRig&) = delete;
    ReaderRig& operator=(const ReaderRig&) = delete;

    quor::sim::Reader& Reader() { return *reader_; }
    quor::serial::SerialPort& Port() { return *port_; }
    PDRIVER_OBJECT Driver() { return driver_; }
    PDEVICE_OBJECT Device() { return device_; }
    PSMARTCARD_EXTENSION Ext() { return ext_; }
    PREADER_EXTENSION R() { return ext_->ReaderExtension; }

    // Marks the port open (SerialCloseDone cleared) or closed.
    void SetPortOpen(bool open);

    // Host frames the reader received since the last ClearWire, as raw bytes per frame.
    std::vector<std::vector<UCHAR>> HostFrames() const;
    // Codes of those frames, in order.
    std::vector<UCHAR> HostCodes() const;
    void ClearWire();

  private:
    std::shared_ptr<quor::sim::Reader> reader_;
    std::unique_ptr<quor::serial::SerialPort> port_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PSMARTCARD_EXTENSION ext_ = nullptr;
};

// Bytes from a hex text such as "00 05 3B 02".
std::vector<UCHAR> Hex(const char* text);

}  // namespace quor::test
