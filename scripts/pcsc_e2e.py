#!/usr/bin/python3
"""PC/SC client side of scripts/checks.d/pcsc.sh: talks to two emulated QUOR readers through
pcscd and the QUOR handler with pyscard.

Reader 1 holds a T=1 card and a keypad script "1234,ok" (the first PIN entry); reader 2 a T=0
card. Cards are inserted and removed, and keys typed, through quor-sim's command FIFO
(QUOR_SIM_FIFO); quor-sim's output (QUOR_SIM_OUT) says when a PIN entry waits for keys.

Prints "ok NAME" or "FAIL NAME: why" per check, the card-event latencies, and exits non-zero
when a check failed."""
import os
import struct
import sys
import threading
import time

from smartcard.scard import (SCARD_CTL_CODE, SCARD_LEAVE_CARD, SCARD_PROTOCOL_T0,
                             SCARD_PROTOCOL_T1, SCARD_S_SUCCESS, SCARD_SCOPE_USER,
                             SCARD_SHARE_SHARED, SCARD_STATE_EMPTY, SCARD_STATE_PRESENT,
                             SCARD_STATE_UNAWARE, SCardConnect, SCardControl, SCardDisconnect,
                             SCardEstablishContext, SCardGetErrorMessage, SCardGetStatusChange,
                             SCardListReaders, SCardReleaseContext, SCardTransmit)

POLLING_PERIOD = 1.8  # seconds: the driver's card polling
FIFO = os.environ["QUOR_SIM_FIFO"]
SIM_OUT = os.environ["QUOR_SIM_OUT"]

results = []


def check(name, ok, why=""):
    results.append(ok)
    print(("ok " if ok else "FAIL ") + name + ("" if ok else ": " + why), flush=True)
    return ok


def sim(command):
    with open(FIFO, "w") as f:
        f.write(command + "\n")


def hexs(data):
    return " ".join("%02X" % b for b in data)


def transmit(card, protocol, apdu):
    hr, answer = SCardTransmit(card, protocol, apdu)
    if hr != SCARD_S_SUCCESS:
        raise RuntimeError("transmit %s: %s" % (hexs(apdu), SCardGetErrorMessage(hr)))
    return answer


def connect(ctx, reader, protocol):
    hr, card, active = SCardConnect(ctx, reader, SCARD_SHARE_SHARED, protocol)
    if hr != SCARD_S_SUCCESS:
        raise RuntimeError("connect %s: %s" % (reader, SCardGetErrorMessage(hr)))
    return card, active


def features(card):
    hr, tlv = SCardControl(card, SCARD_CTL_CODE(3400), [])
    if hr != SCARD_S_SUCCESS:
        raise RuntimeError("features: " + SCardGetErrorMessage(hr))
    found = {}
    for i in range(0, len(tlv) - 5, 6):
        found[tlv[i]] = struct.unpack(">I", bytes(tlv[i + 2:i + 6]))[0]
    return found


VERIFY_PIN_DIRECT, MODIFY_PIN_DIRECT, MCT_READER_DIRECT = 0x06, 0x07, 0x08
IFD_PIN_PROPERTIES, GET_TLV_PROPERTIES = 0x0A, 0x12


def verify_structure(apdu, fmt=0x82, block=0x04, digits=(4, 4)):
    """PIN_VERIFY_STRUCTURE: ASCII, PIN at the first data byte, 4 digits, validation key."""
    head = struct.pack("<BBBBBHBBHB3sI", 0, 0, fmt, block, 0, digits[0] << 8 | digits[1], 0x02,
                       0x01, 0x0409, 0, b"\0\0\0", len(apdu))
    return list(head) + apdu


def modify_structure(apdu):
    """PIN_MODIFY_STRUCTURE: old PIN at data byte 0, new at 4, current PIN asked, no confirm."""
    head = struct.pack("<BBBBBBBHBBBHBBB3sI", 0, 0, 0x82, 0x04, 0, 0, 4, 0x0404, 0x02, 0x02, 0x01,
                       0x0409, 0, 0, 0, b"\0\0\0", len(apdu))
    return list(head) + apdu


def wait_for_sim_line(text, since, timeout=10.0):
    """Waits until quor-sim printed a line with `text` after byte offset `since`."""
    end = time.time() + timeout
    while time.time() < end:
        with open(SIM_OUT) as f:
            f.seek(since)
            if text in f.read():
                return True
        time.sleep(0.02)
    return False


def sim_out_size():
    return os.path.getsize(SIM_OUT)


def card_events(ctx, reader, number, kind, rounds=3):
    """Removes and inserts the card of reader `number` through quor-sim; returns the latencies
    from the command to the return of SCardGetStatusChange."""
    latencies = []
    hr, states = SCardGetStatusChange(ctx, 0, [(reader, SCARD_STATE_UNAWARE)])
    state = states[0][1]
    for _ in range(rounds):
        for command, want in (("remove", SCARD_STATE_EMPTY), ("insert " + kind,
                                                              SCARD_STATE_PRESENT)):
            sim("%d %s" % (number, command))
            start = time.time()
            seen = None
            while time.time() - start < 10:
                hr, states = SCardGetStatusChange(ctx, 10000, [(reader, state)])
                if hr != SCARD_S_SUCCESS:
                    continue
                state = states[0][1] & ~0x2  # drop SCARD_STATE_CHANGED for the next call
                if states[0][1] & want:
                    seen = time.time() - start
                    break
            latencies.append((command.split()[0], seen))
    return latencies


def main():
    hr, ctx = SCardEstablishContext(SCARD_SCOPE_USER)
    if hr != SCARD_S_SUCCESS:
        print("FAIL context: " + SCardGetErrorMessage(hr))
        return 1
    hr, readers = SCardListReaders(ctx, [])
    print("readers:", readers, flush=True)
    check("two readers listed", hr == SCARD_S_SUCCESS and len(readers) == 2, str(readers))
    r1 = next(r for r in readers if "QUOR A" in r)
    r2 = next(r for r in readers if "QUOR B" in r)

    # T=1 card on reader 1: chaining both ways, a 256-byte answer.
    card, proto = connect(ctx, r1, SCARD_PROTOCOL_T1)
    check("reader 1 connects with T=1", proto == SCARD_PROTOCOL_T1, str(proto))
    sw = transmit(card, proto, [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00])
    check("T=1 SELECT MF", sw == [0x90, 0x00], hexs(sw))
    transmit(card, proto, [0x00, 0xA4, 0x08, 0x0C, 0x04, 0x50, 0x00, 0x50, 0x02])
    answer = transmit(card, proto, [0x00, 0xB0, 0x00, 0x00, 0x00])
    check("T=1 READ BINARY answers 256 bytes", answer[-2:] == [0x90, 0x00] and
          answer[:-2] == [i & 0xFF for i in range(256)], "%d bytes" % len(answer))
    sw = transmit(card, proto, [0x00, 0x20, 0x00, 0x81, 0x08] + list(b"87654321"))
    data = [(i * 7 + 3) & 0xFF for i in range(255)]
    sw2 = transmit(card, proto, [0x00, 0xD6, 0x00, 0x00, 0xFF] + data)  # 260 bytes > IFSC 254
    back = transmit(card, proto, [0x00, 0xB0, 0x00, 0x00, 0xFF])
    check("T=1 UPDATE BINARY of 260 bytes (chained) reads back", sw == [0x90, 0x00] and
          sw2 == [0x90, 0x00] and back == data + [0x90, 0x00], hexs(sw2))

    # Part 10 features.
    f = features(card)
    check("features announced", all(k in f for k in (VERIFY_PIN_DIRECT, MODIFY_PIN_DIRECT,
                                                       IFD_PIN_PROPERTIES, GET_TLV_PROPERTIES,
                                                       MCT_READER_DIRECT)), str(f))
    hr, props = SCardControl(card, f[IFD_PIN_PROPERTIES], [])
    check("PIN properties", hr == SCARD_S_SUCCESS and len(props) == 4 and props[2] == 0x02,
          hexs(props))
    hr, status = SCardControl(card, f[MCT_READER_DIRECT], [0x20, 0x13, 0x00, 0x46])
    check("MCT GET STATUS (manufacturer)", hr == SCARD_S_SUCCESS and status[:1] == [0x46] and
          status[-2:] == [0x90, 0x00], hexs(status) or SCardGetErrorMessage(hr))

    # PIN verification with the keypad script of reader 1 ("1234,ok").
    start = time.time()
    hr, sw = SCardControl(card, f[VERIFY_PIN_DIRECT],
                          verify_structure([0x00, 0x20, 0x00, 0x01, 0x04, 0xFF, 0xFF, 0xFF, 0xFF]))
    check("VERIFY PIN DIRECT with the keypad script", hr == SCARD_S_SUCCESS and sw == [0x90, 0x00],
          "%s %s" % (SCardGetErrorMessage(hr), hexs(sw)))
    print("  PIN verification took %.2f s" % (time.time() - start))
    hr, sw = SCardControl(card, f[VERIFY_PIN_DIRECT],
                          verify_structure([0x00, 0x20, 0x00, 0x01, 0x04, 0, 0, 0, 0], fmt=0x80))
    check("binary PIN format refused", hr != SCARD_S_SUCCESS, hexs(sw))

    # PIN change with keys typed on reader 1's keypad during the entry.
    since = sim_out_size()
    box = {}

    def change():
        box["r"] = SCardControl(card, f[MODIFY_PIN_DIRECT], modify_structure(
            [0x00, 0x24, 0x00, 0x01, 0x08] + [0xFF] * 8))

    worker = threading.Thread(target=change)
    worker.start()
    waiting = wait_for_sim_line("pin entry: waiting", since)
    check("quor-sim shows the waiting PIN entry", waiting)
    for keys in ("1234", "ok", "5678", "ok"):
        sim("1 key " + keys)
    worker.join(40)
    hr, sw = box.get("r", (-1, []))
    check("MODIFY PIN DIRECT with keys typed during the entry",
          hr == SCARD_S_SUCCESS and sw == [0x90, 0x00], "%s %s" % (hr, hexs(sw)))
    sw = transmit(card, proto, [0x00, 0x20, 0x00, 0x01, 0x04] + list(b"5678"))
    check("the new PIN verifies", sw == [0x90, 0x00], hexs(sw))
    SCardDisconnect(card, SCARD_LEAVE_CARD)

    # T=0 card on reader 2.
    card2, proto2 = connect(ctx, r2, SCARD_PROTOCOL_T0)
    check("reader 2 connects with T=0", proto2 == SCARD_PROTOCOL_T0, str(proto2))
    transmit(card2, proto2, [0x00, 0xA4, 0x08, 0x0C, 0x04, 0x50, 0x00, 0x50, 0x02])
    answer = transmit(card2, proto2, [0x00, 0xB0, 0x00, 0x00, 0x00])
    check("T=0 READ BINARY answers 256 bytes", answer[-2:] == [0x90, 0x00] and
          answer[:-2] == [i & 0xFF for i in range(256)], "%d bytes" % len(answer))

    # Both readers at once.
    card, proto = connect(ctx, r1, SCARD_PROTOCOL_T1)
    counts = {}

    def hammer(name, c, p):
        good = 0
        for _ in range(15):
            a = transmit(c, p, [0x00, 0x84, 0x00, 0x00, 0x08])
            good += len(a) == 10 and a[-2:] == [0x90, 0x00]
        counts[name] = good

    start = time.time()
    threads = [threading.Thread(target=hammer, args=("1", card, proto)),
               threading.Thread(target=hammer, args=("2", card2, proto2))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    print("  15 + 15 GET CHALLENGE on both readers at once: %.2f s" % (time.time() - start))
    check("transmissions on both readers at once", counts == {"1": 15, "2": 15}, str(counts))
    SCardDisconnect(card, SCARD_LEAVE_CARD)
    SCardDisconnect(card2, SCARD_LEAVE_CARD)

    # Card events.
    latencies = card_events(ctx, r2, 2, "t0")
    limit = 2 * POLLING_PERIOD
    for what, seen in latencies:
        print("  card event latency (%s): %s" % (what, "none" if seen is None else
                                                 "%.0f ms" % (seen * 1000)))
    seen = [s for _, s in latencies if s is not None]
    if seen:
        print("  card event latency: min %.0f ms, mean %.0f ms, max %.0f ms over %d events" %
              (min(seen) * 1000, sum(seen) / len(seen) * 1000, max(seen) * 1000, len(seen)))
    check("every card event within two polling periods",
          len(seen) == len(latencies) and max(seen) <= limit, str(latencies))

    SCardReleaseContext(ctx)
    return 0 if all(results) else 1


if __name__ == "__main__":
    try:
        code = main()
    except Exception as e:  # a failed step ends the run with its reason
        check("client", False, repr(e))
        code = 1
    print("client checks: %d passed, %d failed" % (results.count(True), results.count(False)))
    sys.exit(code)
