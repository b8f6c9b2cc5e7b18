#!/usr/bin/env python3
"""Writes the seed corpora: a few small valid inputs per reader and a few
broken ones. Run from anywhere; files found by fuzzing are added by hand
under corpus/<target>/ as regressions and are left alone here."""
import datetime
import gzip
import os
import plistlib
import struct
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def put(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---- property lists
sample = {
    "name": "Quenmira", "count": 42, "neg": -7, "big": 2**63 - 1, "ratio": 0.25,
    "on": True, "blob": b"\x00\x01\xfe\xff", "when": datetime.datetime(2025, 12, 7, 4, 43, 55),
    "list": [1, "two", 3.0, [False], {"k": "v"}], "uni": "\u00e9\u4e2d\U0001F600",
}
put("plist", "binary", plistlib.dumps(sample, fmt=plistlib.FMT_BINARY))
put("plist", "xml", plistlib.dumps(sample, fmt=plistlib.FMT_XML))
put("plist", "array_binary", plistlib.dumps([1, [2, [3, [4]]], "x" * 20], fmt=plistlib.FMT_BINARY))
put("plist", "uid_binary", plistlib.dumps({"$top": plistlib.UID(1), "$objects": ["$null", "a"]}, fmt=plistlib.FMT_BINARY))
put("plist", "empty_dict_xml", plistlib.dumps({}, fmt=plistlib.FMT_XML))
put("plist", "broken_trailer", plistlib.dumps(sample, fmt=plistlib.FMT_BINARY)[:-10])
put("plist", "broken_xml", b'<?xml version="1.0"?><plist version="1.0"><dict><key>a</key><integer>1')
put("plist", "openstep", b'{ a = 1; b = ( x, "y z" ); c = <0011>; }')

# ---- JSON
put("json", "object", '{"a": 1, "b": [true, false, null, 1.5e3, -0, "x\\u00e9\\ud83d\\ude00"], "c": {"d": {}}}')
put("json", "numbers", '[0, -1, 9223372036854775807, 18446744073709551615, 1e308, -1e-308, 123456789012345678901234567890]')
put("json", "string", '"tab\\t quote\\" backslash\\\\ slash\\/"')
put("json", "nested", "[" * 40 + "]" * 40)
put("json", "broken", '{"a": [1, 2, {"b": ')
put("json", "bad_escape", '["\\ud800", "\\x", "\u0001"]')

# ---- .strings tables
put("strings", "utf8", '/* Title */\n"title" = "Battery";\n"percent" = "%d%%";\n// line\nkey = value;\n"esc" = "a\\nb\\t\\"c\\" \\U00e9 \\UD83D\\UDE00 \\101";\n')
put("strings", "utf8_bom", b"\xef\xbb\xbf" + '"a" = "\u00e9";'.encode())
put("strings", "utf16le", b"\xff\xfe" + '"a" = "b";\n"c" = "d";'.encode("utf-16-le"))
put("strings", "utf16be", b"\xfe\xff" + '"\u00e9" = "\U0001F600";'.encode("utf-16-be"))
put("strings", "compiled", plistlib.dumps({"title": "Battery", "x": "y"}, fmt=plistlib.FMT_BINARY))
put("strings", "unterminated", '"a" = "b";\n/* open comment\n"c" = "d')
put("strings", "odd_utf16", b"\xff\xfe\x22\x00\x61")
put("strings", "missing_semicolon", '"a" = "b"\n"c" = "d";')

# ---- dates
for i, text in enumerate(["2025-12-07T04:43:55Z", "2025-12-07t06:43:55+02:00", "2025-12-06T23:43:55.125-05:00",
                          "2025-12-07 04:43:55 +0000", "2025-12-07T04:43:55", "Sun, 07 Dec 2025 04:43:55 GMT",
                          "25-12-7 4:43 PM +02:00", "20251207044355.123", "9999-99-99T99:99:99Z", "2025-12-07T04:43:55+24:60"]):
    put("date", "d%02d" % i, text)

# ---- PNG
def png(width, height, color_type, bit_depth, rows, extra=b""):
    def chunk(tag, body):
        return struct.pack(">I", len(body)) + tag + body + struct.pack(">I", zlib.crc32(tag + body) & 0xffffffff)
    ihdr = struct.pack(">IIBBBBB", width, height, bit_depth, color_type, 0, 0, 0)
    raw = b"".join(b"\x00" + r for r in rows)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")

put("png", "rgba_2x2", png(2, 2, 6, 8, [b"\xff\x00\x00\xff\x00\xff\x00\x80"] * 2))
put("png", "rgb_3x1", png(3, 1, 2, 8, [b"\x10\x20\x30" * 3]))
put("png", "gray_4x2", png(4, 2, 0, 8, [b"\x00\x40\x80\xff"] * 2))
palette = struct.pack(">I", 6) + b"PLTE" + b"\xff\x00\x00\x00\xff\x00" + struct.pack(">I", zlib.crc32(b"PLTE\xff\x00\x00\x00\xff\x00") & 0xffffffff)
put("png", "palette_2x1", png(2, 1, 3, 8, [b"\x00\x01"], palette))
put("png", "gray16_1x1", png(1, 1, 0, 16, [b"\x12\x34"]))
put("png", "truncated", png(2, 2, 6, 8, [b"\xff" * 8] * 2)[:40])
put("png", "huge_dims", png(100000, 100000, 6, 8, [b"\x00" * 4]))

# ---- sound files
def wav(fmt_tag, channels, rate, bits, frames_bytes, extensible=False):
    block = channels * bits // 8
    if extensible:
        fmt = struct.pack("<HHIIHH", 0xFFFE, channels, rate, rate * block, block, bits)
        fmt += struct.pack("<HHI", 22, bits, 3) + struct.pack("<H", fmt_tag) + b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"
    else:
        fmt = struct.pack("<HHIIHH", fmt_tag, channels, rate, rate * block, block, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
    body += b"LIST" + struct.pack("<I", 3) + b"abc\x00"
    body += b"data" + struct.pack("<I", len(frames_bytes)) + frames_bytes
    return b"RIFF" + struct.pack("<I", len(body)) + body

def caf(flags, channels, rate, bits, frames_bytes, data_size=None):
    desc = struct.pack(">d", rate) + b"lpcm" + struct.pack(">IIIII", flags, channels * bits // 8, 1, channels, bits)
    out = b"caff" + struct.pack(">HH", 1, 0)
    out += b"desc" + struct.pack(">q", len(desc)) + desc
    out += b"free" + struct.pack(">q", 4) + b"\x00" * 4
    size = len(frames_bytes) + 4 if data_size is None else data_size
    out += b"data" + struct.pack(">q", size) + b"\x00\x00\x00\x00" + frames_bytes
    return out

put("sound", "wav_pcm16_stereo", wav(1, 2, 44100, 16, struct.pack("<8h", 0, 1000, -1000, 32767, -32768, 5, 6, 7)))
put("sound", "wav_pcm8", wav(1, 1, 8000, 8, bytes(range(0, 256, 16))))
put("sound", "wav_float_ext", wav(3, 1, 48000, 32, struct.pack("<4f", 0.5, -0.5, 1.0, 0.0), extensible=True))
put("sound", "wav_pcm24", wav(1, 1, 22050, 24, b"\x00\x00\x80\xff\xff\x7f\x01\x02\x03"))
put("sound", "caf_int16_be", caf(0, 1, 44100, 16, struct.pack(">4h", 1, -1, 300, -300)))
put("sound", "caf_float32_le", caf(3, 2, 44100, 32, struct.pack("<4f", 0.1, 0.2, 0.3, 0.4)))
put("sound", "caf_float64_to_end", caf(1, 1, 44100, 64, struct.pack(">2d", 0.1, -0.2), data_size=-1))
put("sound", "wav_truncated", wav(1, 2, 44100, 16, b"\x00" * 16)[:30])
put("sound", "caf_bad_version", b"caff\x00\x02\x00\x00")

# ---- compressed bodies
text = b"v=1&tid=UA-1&cid=abc&t=screenview&cd=Main\n" * 8
put("inflate", "zlib", zlib.compress(text))
put("inflate", "gzip", gzip.compress(text, mtime=0))
raw = zlib.compressobj(9, zlib.DEFLATED, -15)
put("inflate", "raw", raw.compress(text) + raw.flush())
put("inflate", "stored", zlib.compress(b"abc", 0))
put("inflate", "truncated", zlib.compress(text)[:-6])
put("inflate", "trailing", zlib.compress(b"x") + b"garbage")

# ---- stored hit parameters
hit = {"v": "1", "tid": "UA-12345-1", "cid": "5f1c", "t": "screenview", "cd": "Main", "z": 1234567,
       "sr": "320x480", "ul": "en-us", "a": 99, "ni": True, "ev": 1.5}
put("hit_parameters", "screenview", plistlib.dumps(hit, fmt=plistlib.FMT_BINARY))
put("hit_parameters", "event", plistlib.dumps({"t": "event", "ec": "a b", "ea": "\u00e9&=?", "el": "", "n": None or "x"}, fmt=plistlib.FMT_BINARY))
put("hit_parameters", "with_timestamp", plistlib.dumps({"t": "timing", "timestamp": datetime.datetime(2030, 1, 1), "utt": 12}, fmt=plistlib.FMT_BINARY))
put("hit_parameters", "far_timestamp", plistlib.dumps({"timestamp": datetime.datetime(9999, 12, 31), "z": "1"}, fmt=plistlib.FMT_BINARY))
put("hit_parameters", "containers", plistlib.dumps({"list": [1, 2], "dict": {"a": 1}, "data": b"\x01"}, fmt=plistlib.FMT_BINARY))
put("hit_parameters", "not_a_dict", plistlib.dumps(["t", "event"], fmt=plistlib.FMT_BINARY))

# ---- server answers' header fields
put("response", "json", "Content-Type: application/json; charset=\"UTF-8\"\r\nContent-Length: 123\r\n")
put("response", "text", "content-type: Text/HTML ; foo=bar; Charset = ISO-8859-1 \nContent-Length: -5\nContent-Length: 7\n")
put("response", "odd", "Content-Type:;;;=;charset=\"\nContent-Length: 99999999999999999999999\n")

# ---- interface files
put("interface", "screen", '''{
  "comment": "a small screen",
  "objects": [
    {"class": "View", "outlet": "root", "frame": [0, 0, 320, 480], "backgroundColor": "#102030",
     "autoresizing": ["flexibleWidth", "flexibleHeight"],
     "subviews": [
       {"class": "Label", "id": "t", "outlet": "title", "frame": [10, 20, 300, 30], "text": "Hello",
        "font": {"name": "Helvetica-Bold", "size": 24}, "textColor": {"white": 1, "alpha": 0.5},
        "textAlignment": "center", "numberOfLines": 2, "tag": 7},
       {"class": "Button", "buttonType": "system", "outlet": "go", "frame": [10, 60, 100, 44], "title": "Go",
        "action": "go:", "actions": [{"selector": "done", "event": "touchDown"}]},
       {"class": "Switch", "outlet": "toggle", "on": true},
       {"class": "Slider", "maximumValue": 200, "minimumValue": 50, "value": 100, "hidden": true},
       {"class": "ImageView", "frame": [0, 0, 10, 10]}
     ]}
  ]
}''')
put("interface", "unknown_class", '{"objects": [{"class": "View", "outlet": "root", "subviews": [{"class": "Gadget"}]}]}')
put("interface", "bad_frame", '{"objects": [{"class": "Label", "outlet": "title", "frame": [0, 0, 10]}]}')
put("interface", "bad_color", '{"objects": [{"class": "View", "outlet": "root", "backgroundColor": "#12345"}]}')
put("interface", "duplicate_id", '{"objects": [{"class": "View", "outlet": "root", "id": "a"}, {"class": "View", "id": "a"}]}')
put("interface", "window", '{"objects": [{"class": "Window"}]}')
put("interface", "not_json", '{"objects": [')

# ---- shapes that once broke the readers (regressions)
def bplist(objects, top=0):
    """A binary property list from raw object bytes; references are 2 bytes."""
    body, offsets = b"bplist00", []
    for o in objects:
        offsets.append(len(body))
        body += o
    table = len(body)
    for off in offsets:
        body += struct.pack(">I", off)
    return body + bytes(6) + bytes([4, 2]) + struct.pack(">QQQ", len(objects), top, table)

def nested_arrays(depth):
    return bplist([b"\xa1" + struct.pack(">H", i + 1) for i in range(depth - 1)] + [b"\xa0"])

put("plist", "regress_nul_key", plistlib.dumps({"a\x00b": 1, "ok": 2}, fmt=plistlib.FMT_BINARY))
put("plist", "regress_nul_key_utf16", plistlib.dumps({"\u00e9\x00": 1}, fmt=plistlib.FMT_BINARY))
put("plist", "regress_deep_binary", nested_arrays(600))
put("plist", "deep_binary_ok", nested_arrays(400))
put("plist", "regress_self_reference", bplist([b"\xa1\x00\x00"]))
put("plist", "regress_deep_xml", '<?xml version="1.0"?><plist version="1.0">' + "<array>" * 600 + "</array>" * 600 + "</plist>")
put("plist", "regress_far_date", plistlib.dumps({"d": datetime.datetime(9000, 1, 1), "e": datetime.datetime(1, 1, 1)}, fmt=plistlib.FMT_BINARY))
put("plist", "regress_bad_utf8", bplist([b"\xd1\x00\x01\x00\x02", b"\x51k", b"\x54\xf8xx\xc3"]))
put("hit_parameters", "regress_nul_key", plistlib.dumps({"t\x00x": "event"}, fmt=plistlib.FMT_BINARY))
put("json", "regress_deep", "[" * 600 + "]" * 600)
put("json", "regress_deep_objects", '{"a":' * 600 + "1" + "}" * 600)
put("json", "deep_ok", "[" * 400 + "]" * 400)
put("interface", "regress_deep", '{"objects": [' + '{"class": "View", "subviews": [' * 600 + "]}" * 600 + "]}")

# ---- Mach-O images (header at the start; the rest as the loader lays it out)
def macho(m64=True, swapped=False, symbols=(("_a", 0x400), ("_b", 0x440)), dysymtab=False):
    e = ">" if swapped else "<"
    w = "Q" if m64 else "I"
    hsize, ssize, xsize, nsize = (32, 72, 80, 16) if m64 else (28, 56, 68, 12)
    vm = 0x100000
    strings = b"\0" + b"".join(n.encode() + b"\0" for n, _ in symbols)
    strx, at = [], 1
    for n, _ in symbols:
        strx.append(at)
        at += len(n) + 1
    link = 0x800
    stroff = link + len(symbols) * nsize
    size = stroff + len(strings)
    seg = lambda name, vmaddr, vmsize, fileoff, filesize, nsects, extra: struct.pack(
        e + "II16s" + w * 4 + "iiII", 0x19 if m64 else 1, ssize + extra, name, vmaddr, vmsize, fileoff, filesize,
        5, 5, nsects, 0)
    sect = lambda name, addr: struct.pack(e + "16s16s" + w * 2 + "I" * (8 if m64 else 7), name, b"__TEXT", addr,
                                          0x100, *([0] * (8 if m64 else 7)))
    cmds = seg(b"__TEXT", vm, link, 0, link, 2, 2 * xsize) + sect(b"__text", vm + 0x400) + sect(b"__eh_frame", vm + 0x600)
    cmds += seg(b"__LINKEDIT", vm + link, size - link, link, size - link, 0, 0)
    cmds += struct.pack(e + "II", 0x1b, 24) + bytes(range(16))
    cmds += struct.pack(e + "IIIIII", 2, 24, link, len(symbols), stroff, len(strings))
    ncmds = 4
    if dysymtab:
        cmds += struct.pack(e + "II" + "I" * 18, 0xb, 80, 0, 1, 1, len(symbols) - 1, *([0] * 14))
        ncmds += 1
    header = struct.pack(e + "IiiIIII", 0xfeedfacf if m64 else 0xfeedface, 0x0100000C if m64 else 12, 0, 6, ncmds,
                         len(cmds), 0) + (bytes(4) if m64 else b"")
    image = bytearray(size)
    image[:len(header) + len(cmds)] = header + cmds
    for i, (_, value) in enumerate(symbols):
        image[link + i * nsize:link + (i + 1) * nsize] = struct.pack(e + "IBBH" + w, strx[i], 0x0f, 1, 0, vm + value)
    image[stroff:] = strings
    return bytes(image)

put("macho_image", "le64", macho())
put("macho_image", "be32", macho(m64=False, swapped=True))
put("macho_image", "le64_dysymtab", macho(symbols=(("_l", 0x400), ("_g", 0x480), ("_h", 0x4c0)), dysymtab=True))
put("macho_image", "be64_thumb_names", macho(swapped=True, symbols=(("_" + "x" * 300, 0x400),)))
put("macho_image", "truncated_commands", macho()[:100])
