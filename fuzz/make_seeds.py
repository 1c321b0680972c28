#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into fuzz/corpus/<target>/.

Each seed is named after what it exercises. Run from anywhere; existing seeds with the same
names are overwritten, others (inputs kept from fuzzing runs) are left alone. The input
layouts are described at the top of each target's source file.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- decoder_fuzz: flags byte, then chunks of (u16 length, step byte, bytes) ---------------

def long_frame(b0, b1, b2, payload, ext=b"\xaa\xbb\xcc\xdd"):
    return bytes([b0, b1, b2, 0x01]) + ext + struct.pack(">H", len(payload)) + payload


def short_frame(b0, b1, b2, payload, form=0x00):
    return bytes([b0, b1, b2, form]) + struct.pack(">H", len(payload)) + payload


def chunk(data, step=0, idle=False):
    return struct.pack(">HB", len(data), step | (0x80 if idle else 0)) + data


def code(c, extra=b"xy"):
    return struct.pack(">I", c) + extra


def decoder_seeds():
    frames = b"".join(long_frame(0x22, i, 0, code(0x713A0300 + i)) for i in range(4))
    write("decoder_fuzz", "ungated_frames", b"\x00" + chunk(frames))
    write("decoder_fuzz", "short_headers",
          b"\x04" + chunk(short_frame(0x22, 1, 2, code(0x412F0112)) +
                          short_frame(0x22, 1, 3, code(0x12340301), form=0x02)))
    gated = long_frame(0x01, 0x00, 0x00, code(0x00030000))
    # 0.45 s, 0.5 s and 1.0 s later: rejected, then passing; 0x30C0 needs a whole second.
    write("decoder_fuzz", "throttled_keys",
          b"\x05" + chunk(gated) + chunk(gated, step=9) + chunk(gated, step=10) +
          chunk(long_frame(0x03, 0x03, 0x00, code(0x713A032D)) * 2, step=10) +
          chunk(long_frame(0x03, 0x03, 0x00, code(0x713A032D)), step=10))
    write("decoder_fuzz", "shared_key",
          b"\x00" + chunk(long_frame(0x01, 0x01, 0x00, code(1)) +
                          long_frame(0x01, 0x00, 0x40, code(2)) +
                          long_frame(0x11, 0x00, 0x00, code(3))))
    write("decoder_fuzz", "ok_reply",
          b"\x00" + chunk(b"\r\nOK\r\n") + chunk(b"\r\nOK\r\n" + long_frame(0x22, 0, 0, code(9))))
    write("decoder_fuzz", "zero_length_and_short_payload",
          b"\x00" + chunk(long_frame(0x22, 0, 0, b"") + b"\x99" +
                          long_frame(0x22, 0, 1, b"abc") + long_frame(0x22, 0, 2, code(7))))
    whole = long_frame(0x22, 5, 5, code(0x512F060D, b"split payload"))
    write("decoder_fuzz", "split_frame",
          b"\x04" + chunk(whole[:9]) + chunk(whole[9:]) + chunk(whole))
    write("decoder_fuzz", "idle_chunk",
          b"\x04" + chunk(frames, idle=True) + chunk(frames, step=1))
    write("decoder_fuzz", "logged_frames",
          b"\x02" + chunk(frames) + chunk(long_frame(0x22, 0, 0, code(0x0D0A0D0A, b"\r\n\0"))))
    write("decoder_fuzz", "reverse_hand_over", b"\x0d" + chunk(frames) + chunk(frames, step=20))
    write("decoder_fuzz", "large_payload",
          b"\x00" + chunk(long_frame(0x22, 0, 0, code(0x713A0307, bytes(range(256)) * 12))))


# --- commands_fuzz: selector byte (index into the known codes) or raw code, then text ------

KNOWN = [0, 1, 2, 256, 257, 258, 520, 521, 522, 523, 524, 532, 533, 534, 542, 543, 544, 545,
         546, 547, 548, 549, 550, 551, 580, 581, 590, 591, 592, 593]


def command(action, text):
    if action in KNOWN:
        return bytes([KNOWN.index(action)]) + text
    return b"\xff" + struct.pack(">i", action) + text


def commands_seeds():
    write("commands_fuzz", "dial", command(0, b"+4912345*#"))
    write("commands_fuzz", "dial_injection", command(256, b"123;+CHUP\r"))
    write("commands_fuzz", "vt_dial", command(532, b"T0123456789,P1"))
    write("commands_fuzz", "vt_dial_crlf", command(532, b"12\r\nATH"))
    write("commands_fuzz", "system_lock", command(520, b"Network=70000"))
    write("commands_fuzz", "sector_lock", command(521, b"UARFCN=10713\r\nPSC=276"))
    write("commands_fuzz", "channel_lock", command(523, b"bcch=$1F"))
    write("commands_fuzz", "geran_hoprms",
          command(542, b"BCCH=70000\rGSMBand=0x3\nBSIC=-1"))
    write("commands_fuzz", "wran_hoprms", command(548, b"UARFCN= 10713\r\nPSC=+276"))
    write("commands_fuzz", "ba_lock", command(580, b"GSMBand=255"))
    write("commands_fuzz", "ba_release", command(581, b" "))
    write("commands_fuzz", "gsm_scan",
          command(590, b"GSMBand=-1\r\nGSMChanLow=-5\r\nGSMChanHigh=2147483647\r\n"
                       b"BsicDecode=-2147483648"))
    write("commands_fuzz", "wcdma_scan", command(592, b"WCDMABand=x10\nWCDMAPilotLevel=-X7f"))
    write("commands_fuzz", "scan_stop_empty", command(593, b""))
    write("commands_fuzz", "unknown_code", command(525, b"Network=1"))
    write("commands_fuzz", "negative_code", command(-1, b"1"))


# --- record_fuzz: shape byte, header values, body parts (see RecordFuzz.cpp) ---------------

def header(head=0x5A):
    return (bytes([head]) + struct.pack(">I", 0x00ABCDEF) +
            struct.pack("<dddd", 46000.25, 46000.5, 12.5, -9999.0) + b"\x01\x02\x03\x04" +
            struct.pack("<I", 0x713A0301))


def blob_list(count, lens):
    out = bytes([count])
    if count == 0:
        return out + b"\x00"  # marker pointer
    for n in lens[:count]:
        out += b"TAGTAGTAG!" + bytes([n]) + (bytes([n * 3]) if n else b"\x02")
    return out


def blob_list_dual(blob_len, list_count, dual_count):
    out = bytes([blob_len]) + (b"\x11" if blob_len else b"\x00")
    out += blob_list(list_count, [3, 0, 16, 1])
    out += bytes([dual_count]) + ((b"\x21\x22") if dual_count else b"\x00\x01")
    return out


def blocks(flags, kind_bits):
    out = struct.pack(">H", flags)
    for bit in range(kind_bits):
        out += bytes([0x30 + bit])
    return out


def entry_body(entries, flags, kind_bits, blob_len=40, list_count=3, dual_count=2):
    return (b"HEAD" + bytes([entries]) + (b"\x44" if entries % 4 not in (0, 3) else b"\x00") +
            blob_list_dual(blob_len, list_count, dual_count) + blocks(flags, kind_bits))


def record_seeds():
    write("record_fuzz", "kind0_full", b"\x00" + header() + blob_list_dual(20, 2, 1) +
          blocks(0xFFFF, 5))
    write("record_fuzz", "kind1_full", b"\x01" + header() + entry_body(2, 0x003F, 6))
    write("record_fuzz", "kind2_full", b"\x02" + header() + entry_body(3, 0x01FF, 9))
    write("record_fuzz", "kind2_typical", b"\x02" + header() + entry_body(0, 0x0003, 9, 64, 0, 0))
    write("record_fuzz", "kind3_bit4", b"\x03" + header() + entry_body(1, 0x0010 | 0x0101, 8) +
          b"PLN!")
    write("record_fuzz", "kind3_negative_entries", b"\x03" + header() + entry_body(7, 0, 8))
    write("record_fuzz", "kind4_list", b"\x04" + header() + blob_list(4, [1, 0, 2, 16]) +
          struct.pack(">iiiii", -9999, 1, -1, 2**31 - 1, -2**31))
    write("record_fuzz", "kind5_shared_body", b"\x05" + header())
    write("record_fuzz", "kind7_nil_body", b"\x27" + header())
    write("record_fuzz", "nil_body_default", b"\x22" + header())
    write("record_fuzz", "borrowed_kind2", b"\x0a" + header() + entry_body(1, 0x0021, 9))
    write("record_fuzz", "compact_body", b"\x12" + header() + blob_list(2, [5, 0]) + b"\x01\x20")
    write("record_fuzz", "compact_nil_extra", b"\x14" + header() + blob_list(0, []) + b"\x00")


# --- host_readers_fuzz: selector byte (0 capture, 1 NMEA, 2 GPX, 3 round trip), then bytes --

def pcap(packets, nano=True, link=147, snaplen=262144):
    magic = 0xA1B23C4D if nano else 0xA1B2C3D4
    out = struct.pack("<IHHiIII", magic, 2, 4, 0, 0, snaplen, link)
    for seconds, fraction, data, orig in packets:
        out += struct.pack("<IIII", seconds, fraction, len(data), orig or len(data)) + data
    return out


def nmea(body):
    checksum = 0
    for c in body.encode():
        checksum ^= c
    return ("$%s*%02X" % (body, checksum)).encode()


def host_seeds():
    frame = long_frame(0x22, 0, 0, code(0x713A0301))
    write("host_readers_fuzz", "capture_nano",
          b"\x00" + pcap([(1700000000, 5, frame, None), (1700000001, 999999999, frame * 2, None)]))
    write("host_readers_fuzz", "capture_micro",
          b"\x00" + pcap([(1700000000, 999999, b"\r\nOK\r\n", None)], nano=False))
    write("host_readers_fuzz", "capture_cut_to_snaplen",
          b"\x00" + pcap([(1, 0, frame[:8], len(frame))], snaplen=8))
    write("host_readers_fuzz", "capture_truncated", b"\x00" + pcap([(1, 0, frame, None)])[:-5])
    # Found by fuzzing: seconds with the top bit set (after 2038-01-19) read back negative
    # from a little-endian file, and fractions of a second beyond one second pass through.
    write("host_readers_fuzz", "capture_seconds_after_2038",
          b"\x00" + pcap([(0x81000002, 3, b"abcd", None)]))
    write("host_readers_fuzz", "capture_seconds_after_2038_big_endian",
          b"\x00" + struct.pack(">IHHiIII", 0xA1B23C4D, 2, 4, 0, 0, 65535, 147) +
          struct.pack(">IIII", 0x81000002, 3, 4, 4) + b"abcd")
    write("host_readers_fuzz", "capture_fraction_out_of_range",
          b"\x00" + pcap([(5, 0xFFFFFFFF, b"abcd", None)]))
    write("host_readers_fuzz", "capture_micro_fraction_out_of_range",
          b"\x00" + pcap([(5, 1000000, b"abcd", None)], nano=False))
    write("host_readers_fuzz", "capture_other_link", b"\x00" + pcap([], link=1))
    write("host_readers_fuzz", "capture_big_endian",
          b"\x00" + struct.pack(">IHHiIII", 0xA1B23C4D, 2, 4, 0, 0, 65535, 147) +
          struct.pack(">IIII", 2, 3, 4, 4) + b"abcd")
    rmc = nmea("GPRMC,123519.50,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W")
    log = b"\r\n".join([
        rmc,
        nmea("GPGGA,123520,4807.0380,N,01131.00000,E,1,08,0.9,545.4,M,46.9,M,,"),
        nmea("GNRMC,235959.99,A,4807.03800,S,01131.00000,W,0,0,311299,,,A"),
        nmea("GPGGA,000001,4807.0380,S,01131.00000,W,1,08,0.9,545.4,M,46.9,M,,"),
        nmea("GPRMC,000002,V,,,,,,,010100,,,N"),
        nmea("GPGSV,3,1,11,03,03,111,00"),
        b"$GPGGA,bad checksum*00",
        b"no dollar",
        b"  ",
    ]) + b"\n\r"
    write("host_readers_fuzz", "nmea_log", b"\x01" + log)
    # Found by fuzzing: a southern or western coordinate passed the range check whatever its
    # size (the check came after the sign).
    write("host_readers_fuzz", "nmea_south_west_out_of_range",
          b"\x01" + nmea("GPRMC,123519,A,9500.000,S,31101.000,W,0,0,230394,,,A"))
    write("host_readers_fuzz", "nmea_gga_first",
          b"\x01" + nmea("GPGGA,123520,4807.0380,N,01131.00000,E,1,08,0.9,545.4,M,46.9,M,,"))
    gpx = b"""<?xml version="1.0"?>
<gpx version="1.1" creator="seed" xmlns="http://www.topografix.com/GPX/1/1">
 <trk><trkseg>
  <trkpt lat="48.1173" lon="11.5167"><time>2024-05-01T10:00:00Z</time></trkpt>
  <trkpt lat="48.1174" lon="11.5168"><time>2024-05-01T10:00:01.250Z</time></trkpt>
  <trkpt lat="91" lon="11.5168"><time>2024-05-01T10:00:02Z</time></trkpt>
  <trkpt lat="48.1175" lon="x"><time>2024-05-01T10:00:03+02:00</time></trkpt>
  <trkpt lat="48.1176" lon="11.517"></trkpt>
 </trkseg></trk>
</gpx>
"""
    write("host_readers_fuzz", "gpx_track", b"\x02" + gpx)
    write("host_readers_fuzz", "gpx_not_gpx", b"\x02<kml><Placemark/></kml>")
    write("host_readers_fuzz", "nmea_round_trip", b"\x03" + bytes(range(1, 12)))
    write("host_readers_fuzz", "nmea_round_trip_edges", b"\x03" + b"\xff" * 8 + b"\x00" * 4 + b"\x10\x20\x30")


if __name__ == "__main__":
    decoder_seeds()
    commands_seeds()
    record_seeds()
    host_seeds()
