// The IFD handler as pcscd calls it, on in-process emulated readers ("emulated:CARD"), on a
// faster kernel clock.
#include "pcsc/handler.h"

#include <gtest/gtest.h>
#include <reader.h>

#include <atomic>
#include <thread>

#include "client/reader.h"
#include "platform/kernel/clock.h"
#include "sim/reader.h"

namespace quor::pcsc {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr DWORD kLun = 0x00000;
constexpr DWORD kLun2 = 0x10000;
constexpr UCHAR kGuard = 0xA5;

class PcscHandler : public ::testing::Test {
  protected:
    void SetUp() override {
        kclock::ResetForTest();
        kclock::SetScaled(1000);
    }
    void TearDown() override {
        IFDHCloseChannel(kLun);
        IFDHCloseChannel(kLun2);
        kclock::ResetForTest();
    }
    static void Open(DWORD lun, const char* name) {
        ASSERT_EQ(IFDHCreateChannelByName(lun, const_cast<char*>(name)), IFD_SUCCESS);
    }
    static Bytes PowerUp(DWORD lun) {
        UCHAR atr[MAX_ATR_SIZE];
        DWORD length = sizeof atr;
        EXPECT_EQ(IFDHPowerICC(lun, IFD_POWER_UP, atr, &length), IFD_SUCCESS);
        return Bytes(atr, atr + length);
    }
    // Transmits into a buffer of `room` bytes followed by guard bytes.
    static RESPONSECODE Transmit(DWORD lun, const Bytes& apdu, DWORD room, Bytes* answer) {
        Bytes buffer(room + 16, kGuard);
        DWORD length = room;
        SCARD_IO_HEADER pci{1, 0};
        const RESPONSECODE code =
            IFDHTransmitToICC(lun, pci, const_cast<UCHAR*>(apdu.data()),
                              static_cast<DWORD>(apdu.size()), buffer.data(), &length, nullptr);
        for (std::size_t i = room; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kGuard) << i;
        if (code != IFD_SUCCESS) {
            EXPECT_EQ(length, 0u);
        }
        answer->assign(buffer.begin(), buffer.begin() + length);
        return code;
    }
    static RESPONSECODE Control(DWORD lun, DWORD code, const Bytes& in, DWORD room, Bytes* out) {
        Bytes buffer(room + 16, kGuard);
        DWORD returned = 12345;
        const RESPONSECODE rc =
            IFDHControl(lun, code, const_cast<UCHAR*>(in.data()), static_cast<DWORD>(in.size()),
                        buffer.data(), room, &returned);
        for (std::size_t i = room; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kGuard) << i;
        if (rc != IFD_SUCCESS) {
            EXPECT_EQ(returned, 0u);
        }
        out->assign(buffer.begin(), buffer.begin() + std::min<DWORD>(returned, room));
        return rc;
    }
    static UCHAR Capability(DWORD lun, DWORD tag) {
        UCHAR value = 0xFF;
        DWORD length = 1;
        EXPECT_EQ(IFDHGetCapabilities(lun, tag, &length, &value), IFD_SUCCESS) << tag;
        return value;
    }
};

TEST_F(PcscHandler, PowerProtocolTransmitAndBufferLimits) {
    Open(kLun, "emulated:t1");
    EXPECT_EQ(IFDHCreateChannelByName(kLun, const_cast<char*>("emulated:t1")),
              IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    EXPECT_EQ(Capability(kLun, TAG_IFD_SLOTS_NUMBER), 1);
    EXPECT_EQ(Capability(kLun, TAG_IFD_THREAD_SAFE), 1);
    EXPECT_EQ(Capability(kLun, TAG_IFD_POLLING_THREAD_KILLABLE), 0);
    const Bytes atr = PowerUp(kLun);
    ASSERT_FALSE(atr.empty());
    EXPECT_EQ(atr[0], 0x3B);
    UCHAR small[2];
    DWORD length = sizeof small;
    EXPECT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, small),
              IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, atr.size());
    EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    // Specific now: the same protocol needs no selection, another cannot be had.
    EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0),
              IFD_PROTOCOL_NOT_SUPPORTED);

    Bytes answer;
    const Bytes selectEf{0x00, 0xA4, 0x08, 0x0C, 0x04, 0x50, 0x00, 0x50, 0x02};
    EXPECT_EQ(Transmit(kLun, selectEf, 258, &answer), IFD_SUCCESS);
    EXPECT_EQ(answer, (Bytes{0x90, 0x00}));
    const Bytes read256{0x00, 0xB0, 0x00, 0x00, 0x00};
    EXPECT_EQ(Transmit(kLun, read256, 258, &answer), IFD_SUCCESS);
    EXPECT_EQ(answer.size(), 258u);
    EXPECT_EQ(Transmit(kLun, read256, 100, &answer), IFD_ERROR_INSUFFICIENT_BUFFER);

    UCHAR buffer[4];
    DWORD got = sizeof buffer;
    EXPECT_EQ(IFDHGetCapabilities(kLun, SCARD_ATTR_CURRENT_PROTOCOL_TYPE, &got, buffer),
              IFD_SUCCESS);
    EXPECT_EQ(buffer[0], SCARD_PROTOCOL_T1);
    got = sizeof buffer;
    EXPECT_EQ(IFDHGetCapabilities(kLun, 0x7FFF7777, &got, buffer), IFD_ERROR_TAG);

    ReaderOf(kLun)->Emulator()->RemoveCard();
    DWORD none = MAX_ATR_SIZE;
    UCHAR atrBuffer[MAX_ATR_SIZE];
    // The driver learns of the removal at its next poll; a power-up then finds no card.
    for (int i = 0; i < 200 && IFDHICCPresence(kLun) != IFD_ICC_NOT_PRESENT; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, atrBuffer, &none), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(none, 0u);
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_NO_SUCH_DEVICE);
}

TEST_F(PcscHandler, ChannelsAndDeviceNames) {
    EXPECT_EQ(IFDHCreateChannelByName(kLun, const_cast<char*>("emulated:nonsense")),
              IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(IFDHCreateChannel(kLun, 0), IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(IFDHCreateChannelByName(kLun + 1, const_cast<char*>("emulated:t1")),
              IFD_COMMUNICATION_ERROR)
        << "one slot per reader";
    EXPECT_NE(IFDHCreateChannelByName(kLun, const_cast<char*>("/nonexistent/tty")), IFD_SUCCESS);
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_NO_SUCH_DEVICE);
}

TEST_F(PcscHandler, FeaturesPinPadAndTerminalCommands) {
    Open(kLun, "emulated:t0");
    PowerUp(kLun);
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
    Bytes out;
    EXPECT_EQ(Control(kLun, CM_IOCTL_GET_FEATURE_REQUEST, {}, 10, &out),
              IFD_ERROR_INSUFFICIENT_BUFFER);
    ASSERT_EQ(Control(kLun, CM_IOCTL_GET_FEATURE_REQUEST, {}, 64, &out), IFD_SUCCESS);
    EXPECT_EQ(out.size(), 30u);

    // A PIN typed on the emulated keypad: ASCII, 4 digits, at the first data byte.
    ReaderOf(kLun)->Emulator()->ScriptKeys({{0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 11}});
    const Bytes verify{0, 0, 0x82, 0x04, 0, 0x04, 0x04, 0x02, 0,    0x09, 0x04, 0,    0,    0,
                       0, 9, 0,    0,    0, 0x00, 0x20, 0x00, 0x01, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
    const DWORD verifyCode = SCARD_CTL_CODE(3400 + FEATURE_VERIFY_PIN_DIRECT);
    EXPECT_EQ(Control(kLun, verifyCode, verify, 1, &out), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(ReaderOf(kLun)->Emulator()->ScriptedKeys(), 5u) << "nothing reached the reader";
    ASSERT_EQ(Control(kLun, verifyCode, verify, 2, &out), IFD_SUCCESS);
    EXPECT_EQ(out, (Bytes{0x90, 0x00}));
    Bytes binary = verify;
    binary[2] = 0x80;
    EXPECT_EQ(Control(kLun, verifyCode, binary, 2, &out), IFD_NOT_SUPPORTED);
    Bytes shortened(verify.begin(), verify.end() - 1);
    EXPECT_EQ(Control(kLun, verifyCode, shortened, 2, &out), IFD_COMMUNICATION_ERROR);

    const DWORD mct = SCARD_CTL_CODE(3400 + FEATURE_MCT_READER_DIRECT);
    ASSERT_EQ(Control(kLun, mct, {0x20, 0x13, 0x00, 0x46}, 64, &out), IFD_SUCCESS);
    EXPECT_EQ(out.front(), 0x46);
    EXPECT_EQ(Bytes(out.end() - 2, out.end()), (Bytes{0x90, 0x00}));
    EXPECT_EQ(Control(kLun, mct, {0x20, 0x13, 0x00, 0x46}, 5, &out), IFD_ERROR_INSUFFICIENT_BUFFER);
    ASSERT_EQ(Control(kLun, mct, {0x00, 0xA4, 0x00, 0x00}, 2, &out), IFD_SUCCESS);
    EXPECT_EQ(out, (Bytes{0x6E, 0x00}));
    ASSERT_EQ(Control(kLun, 0x3100DC, {0x20, 0x13, 0x00, 0x46}, 64, &out), IFD_SUCCESS);
    EXPECT_EQ(out.front(), 0x46);
    EXPECT_EQ(Control(kLun, SCARD_CTL_CODE(1), {}, 64, &out), IFD_ERROR_NOT_SUPPORTED);
}

TEST_F(PcscHandler, CardEventsReachThePollingFunctionAndStopEndsIt) {
    Open(kLun, "emulated:t1");
    Open(kLun2, "emulated:none");
    RESPONSECODE (*wait)(DWORD, int) = nullptr;
    RESPONSECODE (*stop)(DWORD) = nullptr;
    DWORD length = sizeof wait;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length,
                                  reinterpret_cast<UCHAR*>(&wait)),
              IFD_SUCCESS);
    length = sizeof stop;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_STOP_POLLING_THREAD, &length,
                                  reinterpret_cast<UCHAR*>(&stop)),
              IFD_SUCCESS);
    EXPECT_EQ(IFDHICCPresence(kLun2), IFD_ICC_NOT_PRESENT);

    // A removal on reader 1 and an insertion on reader 2 end their waits.
    std::atomic<RESPONSECODE> r1{-1}, r2{-1};
    std::thread t1([&] { r1 = wait(kLun, 60'000'000); });
    std::thread t2([&] { r2 = wait(kLun2, 60'000'000); });
    while (ReaderOf(kLun)->ParkedWaits() == 0 || ReaderOf(kLun2)->ParkedWaits() == 0) {
        std::this_thread::yield();
    }
    ReaderOf(kLun)->Emulator()->RemoveCard();
    ReaderOf(kLun2)->Emulator()->InsertCard(nullptr);
    t1.join();
    EXPECT_EQ(r1, IFD_SUCCESS);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    // Reader 2 got no card: its wait goes on until pcscd stops it.
    EXPECT_EQ(r2, -1);
    EXPECT_EQ(stop(kLun2), IFD_SUCCESS);
    t2.join();
    EXPECT_EQ(r2, IFD_SUCCESS);
    EXPECT_EQ(wait(kLun2, 60'000'000), IFD_SUCCESS) << "a stopped channel does not wait again";
    EXPECT_EQ(wait(kLun, 1000), IFD_RESPONSE_TIMEOUT);
}

}  // namespace
}  // namespace quor::pcsc
