#include <gtest/gtest.h>

#include <cstring>

#include "client/sim_line.h"
#include "driver/driver.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/host.h"
#include "platform/serial/port.h"
#include "sim/processor_card.h"
#include "sim/reader.h"
#include "tests/support/rig.h"

using quor::test::Hex;

namespace {

std::vector<UCHAR> Ulong(ULONG v) {
    return {static_cast<UCHAR>(v), static_cast<UCHAR>(v >> 8), static_cast<UCHAR>(v >> 16),
            static_cast<UCHAR>(v >> 24)};
}

TEST(DriverLife, StartOpenPowerTransmitCloseRemove) {
    kclock::ResetForTest();
    kclock::SetScaled(1000);
    // On a clock 1000 times faster, real gaps between the driver's byte writes look long to
    // the emulator: give its frame assembly room.
    quor::sim::ReaderConfig config;
    config.interByteTimeout = 60'000'000;
    auto reader = std::make_shared<quor::sim::Reader>(config);
    reader->InsertCard(std::make_shared<quor::sim::T1Card>());
    auto port = quor::serial::SerialPort::Create(std::make_unique<quor::client::SimLine>(reader));
    {
        khost::Host host;
        PDRIVER_OBJECT driver = host.LoadDriver("quor", DriverEntry);
        ASSERT_NE(driver, nullptr);
        PDEVICE_OBJECT fdo = nullptr;
        ASSERT_EQ(host.AddDevice(driver, port->Device(), &fdo), STATUS_SUCCESS);
        ASSERT_EQ(host.Start(port->Device()), STATUS_SUCCESS);
        khost::Handle h;
        ASSERT_EQ(host.Open(port->Device(), &h), STATUS_SUCCESS);

        std::vector<UCHAR> out;
        ULONG_PTR info = 0;
        ASSERT_EQ(host.Ioctl(h, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64, &out, &info),
                  STATUS_SUCCESS);
        EXPECT_GT(info, 4u);
        ASSERT_EQ(host.Ioctl(h, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4, &out),
                  STATUS_SUCCESS);
        std::vector<UCHAR> apdu = Ulong(SCARD_PROTOCOL_T1);
        auto pci = Ulong(8);
        apdu.insert(apdu.end(), pci.begin(), pci.end());
        auto select = Hex("00 A4 00 0C 02 3F 00");
        apdu.insert(apdu.end(), select.begin(), select.end());
        ASSERT_EQ(host.Ioctl(h, IOCTL_SMARTCARD_TRANSMIT, apdu, 64, &out), STATUS_SUCCESS);
        ASSERT_EQ(out.size(), 10u);
        EXPECT_EQ(out[8], 0x90);
        EXPECT_EQ(out[9], 0x00);

        std::vector<UCHAR> attr;
        ASSERT_EQ(
            host.Ioctl(h, IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_NAME), 32, &attr),
            STATUS_SUCCESS);
        EXPECT_EQ(std::string(attr.begin(), attr.end()), std::string("VESKA Systems", 14));
        EXPECT_EQ(host.Close(h), STATUS_SUCCESS);
        EXPECT_EQ(host.Remove(port->Device()), STATUS_SUCCESS);
        PsTestWaitForSystemThreads();  // returns once the polling thread has ended
    }
    port.reset();
    kclock::ResetForTest();
}

}  // namespace
