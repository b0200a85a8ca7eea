// Card capabilities from the answer to reset (ISO/IEC 7816-3): protocols, rate factors, guard
// and waiting times, T=1 parameters.
#include <algorithm>
#include <cstring>

#include "platform/smclib/smclib.h"

namespace {

constexpr ULONG kDefaultClockKhz = 4000;
constexpr ULONG kFd = 372;  // default clock rate conversion factor
constexpr ULONG kDd = 1;    // default baud rate adjustment factor
constexpr UCHAR kDefaultFl = 1;
constexpr UCHAR kDefaultDl = 1;
constexpr UCHAR kDefaultWi = 10;
constexpr UCHAR kDefaultCwi = 13;
constexpr UCHAR kDefaultBwi = 4;
constexpr UCHAR kMaxBwi = 9;
constexpr UCHAR kDefaultIfsc = 32;
constexpr UCHAR kDefaultII = 1;  // 50 mA
constexpr UCHAR kDefaultP = 5;   // 5 V

// Clock rate conversion factor Fi by Fl (ISO/IEC 7816-3, table 7); 0 marks RFU.
constexpr ULONG kFiTable[16] = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                                0,   512, 768, 1024, 1536, 2048, 0,    0};
// Baud rate adjustment factor Di by Dl (table 8); 0 marks RFU.
constexpr ULONG kDiTable[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

// The interface and historical bytes that matter here, as the ATR walk finds them.
struct AtrBytes {
    int ta1 = -1, tb1 = -1, tc1 = -1, ta2 = -1;
    int wi = -1;                         // TC2 when TD1 announces T=0
    int ifsc = -1, cwbw = -1, edc = -1;  // first TA, TB, TC for T=1 (i >= 3)
    bool td1 = false;
    ULONG protocols = 0;  // bit T for each protocol T announced by a TDi
    const UCHAR* historical = nullptr;
    ULONG historicalLength = 0;
};

// Walks the ATR. False when it is not one: no bytes, a bad TS, fewer bytes than its
// indicators announce, or a TCK that does not check.
bool WalkAtr(const UCHAR* atr, ULONG length, AtrBytes* out) {
    if (length < 2 || (atr[0] != 0x3B && atr[0] != 0x3F)) return false;
    AtrBytes b;
    ULONG pos = 2;
    UCHAR indicator = atr[1] >> 4;
    int group = 1;        // i of the TAi, TBi, TCi, TDi read next
    int groupT = -1;      // protocol announced by TD(i-1), -1 for the global group 1
    int tdProtocol = -1;  // protocol of TD1
    for (;;) {
        int value[3] = {-1, -1, -1};  // TAi, TBi, TCi
        for (int k = 0; k < 3; ++k) {
            if ((indicator & (1 << k)) == 0) continue;
            if (pos >= length) return false;
            value[k] = atr[pos++];
        }
        if (group == 1) {
            b.ta1 = value[0];
            b.tb1 = value[1];
            b.tc1 = value[2];
        } else if (group == 2) {
            b.ta2 = value[0];
            if (tdProtocol == 0) b.wi = value[2];
        } else if (groupT == 1) {
            if (b.ifsc < 0) b.ifsc = value[0];
            if (b.cwbw < 0) b.cwbw = value[1];
            if (b.edc < 0) b.edc = value[2];
        }
        if ((indicator & 0x8) == 0) break;
        if (pos >= length) return false;
        const UCHAR td = atr[pos++];
        groupT = td & 0x0F;
        if (group == 1) {
            b.td1 = true;
            tdProtocol = groupT;
        }
        b.protocols |= 1u << groupT;
        indicator = td >> 4;
        ++group;
    }
    b.historicalLength = atr[1] & 0x0F;
    // TCK is there unless T=0 is the only protocol announced.
    const bool tck = (b.protocols & ~1u) != 0;
    if (length - pos < b.historicalLength + (tck ? 1 : 0)) return false;
    b.historical = atr + pos;
    if (tck) {
        UCHAR x = 0;
        for (ULONG i = 1; i <= pos + b.historicalLength; ++i) x ^= atr[i];
        if (x != 0) return false;
    }
    *out = b;
    return true;
}

// ceil(numerator / denominator), saturated to 32 bits.
ULONG CeilDiv(ULONGLONG numerator, ULONGLONG denominator) {
    const ULONGLONG q = (numerator + denominator - 1) / denominator;
    return q > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(q);
}

// The time computations of one card: etu = F / (D x f), f in kHz, times in microseconds.
struct Clock {
    ULONG F;
    ULONG D;
    ULONG kHz;

    ULONGLONG EtuNumerator() const { return ULONGLONG{F} * 1000; }
    ULONGLONG EtuDenominator() const { return ULONGLONG{D} * kHz; }
    ULONG Etus(ULONGLONG n) const { return CeilDiv(n * EtuNumerator(), EtuDenominator()); }
    ULONG Etu() const {  // rounded to the nearest microsecond
        const ULONGLONG q = (2 * EtuNumerator() + EtuDenominator()) / (2 * EtuDenominator());
        return q > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(q);
    }
};

void FillTimes(SCARD_CARD_CAPABILITIES& cc, ULONG kHz, bool specificMode) {
    // The card runs at Fd and Dd until a PPS; a card in the specific mode of TA2 (bit 5 clear)
    // runs at Fi and Di from TA1 at once. This reader negotiates Fd and Dd.
    const Clock clk{specificMode ? cc.Fi : kFd, specificMode ? cc.Di : kDd, kHz};
    cc.etu = clk.Etu();
    // Extra guard time of TC1: N etu on top of the character frame; 255 asks for the
    // minimum, which the reader applies by itself.
    cc.GT = (cc.N == 0 || cc.N == 255) ? 0 : clk.Etus(cc.N);
    // WT = 960 x WI x Fi / f.
    cc.T0.WT = CeilDiv(ULONGLONG{960} * cc.T0.WI * cc.Fi * 1000, kHz);
    // CWT = (11 + 2^CWI) etu.
    cc.T1.CWT = clk.Etus(11 + (ULONGLONG{1} << cc.T1.CWI));
    // BWT = 11 etu + 2^BWI x 960 x Fd / f, summed exactly before rounding.
    const ULONGLONG bwtNumerator =
        11 * clk.EtuNumerator() + (ULONGLONG{1} << cc.T1.BWI) * 960 * kFd * 1000 * clk.D;
    cc.T1.BWT = CeilDiv(bwtNumerator, clk.EtuDenominator());
    // BGT = 22 etu.
    cc.T1.BGT = clk.Etus(22);
}

void SetDefaults(SCARD_CARD_CAPABILITIES& cc) {
    cc.InversConvention = FALSE;
    std::memset(cc.HistoricalChars.Buffer, 0, sizeof(cc.HistoricalChars.Buffer));
    cc.HistoricalChars.Length = 0;
    cc.Fl = kDefaultFl;
    cc.Dl = kDefaultDl;
    cc.Fi = kFd;
    cc.Di = kDd;
    cc.II = kDefaultII;
    cc.P = kDefaultP;
    cc.N = 0;
    cc.Protocol.Supported = 0;
    cc.T0.WI = kDefaultWi;
    cc.T1.IFSC = kDefaultIfsc;
    cc.T1.CWI = kDefaultCwi;
    cc.T1.BWI = kDefaultBwi;
    cc.T1.EDC = 0;
}

}  // namespace

NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
    SCARD_CARD_CAPABILITIES& cc = SmartcardExtension->CardCapabilities;
    const ULONG configured = SmartcardExtension->ReaderCapabilities.CLKFrequency.Default;
    const ULONG kHz = configured == 0 ? kDefaultClockKhz : configured;

    SetDefaults(cc);
    const ULONG length = std::min<ULONG>(cc.ATR.Length, MAXIMUM_ATR_LENGTH);
    AtrBytes b;
    if (!WalkAtr(cc.ATR.Buffer, length, &b)) {
        FillTimes(cc, kHz, false);
        return STATUS_UNRECOGNIZED_MEDIA;
    }

    cc.InversConvention = cc.ATR.Buffer[0] == 0x3F ? TRUE : FALSE;
    std::memcpy(cc.HistoricalChars.Buffer, b.historical, b.historicalLength);
    cc.HistoricalChars.Length = static_cast<UCHAR>(b.historicalLength);

    // Without TD1 the card offers T=0 alone; T=15 only marks global interface bytes.
    const ULONG offered = b.td1 ? (b.protocols & ~(1u << 15)) : 1u;
    if (offered == 0 || (offered & 1u) != 0) cc.Protocol.Supported |= SCARD_PROTOCOL_T0;
    if ((offered & 2u) != 0) cc.Protocol.Supported |= SCARD_PROTOCOL_T1;

    if (b.ta1 >= 0) {
        const ULONG fl = static_cast<ULONG>(b.ta1) >> 4;
        const ULONG dl = static_cast<ULONG>(b.ta1) & 0x0F;
        // RFU entries leave the defaults.
        if (kFiTable[fl] != 0) {
            cc.Fl = fl;
            cc.Fi = kFiTable[fl];
        }
        if (kDiTable[dl] != 0) {
            cc.Dl = dl;
            cc.Di = kDiTable[dl];
        }
    }
    if (b.tb1 >= 0) {
        cc.II = static_cast<UCHAR>((b.tb1 >> 5) & 0x03);
        cc.P = static_cast<UCHAR>(b.tb1 & 0x1F);
    }
    if (b.tc1 >= 0) cc.N = static_cast<UCHAR>(b.tc1);
    if (b.wi > 0) cc.T0.WI = static_cast<UCHAR>(b.wi);
    if (b.ifsc > 0 && b.ifsc < 0xFF) cc.T1.IFSC = static_cast<UCHAR>(b.ifsc);
    if (b.cwbw >= 0) {
        cc.T1.CWI = static_cast<UCHAR>(b.cwbw & 0x0F);
        const UCHAR bwi = static_cast<UCHAR>(b.cwbw >> 4);
        cc.T1.BWI = bwi > kMaxBwi ? kDefaultBwi : bwi;
    }
    if (b.edc >= 0) cc.T1.EDC = static_cast<UCHAR>(b.edc & 0x01);

    const bool specificMode = b.ta2 >= 0 && (b.ta2 & 0x10) == 0;
    FillTimes(cc, kHz, specificMode);
    return STATUS_SUCCESS;
}
