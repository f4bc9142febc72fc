#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target into fuzz/corpus/<target>/.

Usage: fuzz/make_seeds.py [path to the built fuzz_store_open]

The seeds are small inputs of the right shape: the well-formed reply of each kind and a few
near misses, so that the fuzzer starts past the first length checks. The store seed is the
store that fuzz_store_open makes itself (two cached files) (written when its binary is given). Inputs a
fuzzer once crashed on are kept beside them as regressions (named crash-*).
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def msg_type(code):
    return (code << 16) | (0xFFFF - code)


OPEN, SIZE, DATA, GET_FILE, CLOSE, ECHO, UPLOAD = 1, 2, 3, 4, 5, 6, 7
LOCALIZE, CACHE_INFO, VERSION = 12, 14, 15


def reply(type_id, seq, code, payload):
    return struct.pack(">BbHII", 2, type_id, seq, msg_type(code), len(payload)) + payload


def error_reply(code, text, seq=7, msg=OPEN, nul=True):
    body = struct.pack(">iI", code, 0) + text + (b"\0" if nul else b"")
    return reply(1, seq, msg, body)


def counted(text, length=None):
    n = len(text) if length is None else length
    return struct.pack(">h", n) + text


def write(target, name, data):
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def protocol_seeds():
    t = "fuzz_data_replies"
    write(t, "open", b"\0" + reply(0, 1, OPEN, struct.pack(">hq", 3, 123456)))
    write(t, "open_short", b"\0" + reply(0, 1, OPEN, struct.pack(">h", 3)))
    write(t, "size", b"\0" + reply(0, 2, SIZE, struct.pack(">q", 99)))
    piece = b"0123456789abcdef"
    write(t, "piece", b"\x81" + reply(0, 3, DATA, struct.pack(">qi", 16384, 16) + piece))
    write(t, "piece_long", b"\x81" + reply(0, 3, DATA, struct.pack(">qi", 0, 99) + piece))
    write(t, "piece_tight", b"\x03" + reply(0, 3, DATA, struct.pack(">qi", 0, 16) + piece))
    write(t, "end", b"\0" + reply(2, 3, DATA, b""))

    t = "fuzz_transfer_replies"
    write(t, "progress", reply(3, 4, GET_FILE, struct.pack(">qq", 1 << 20, 5 << 20)))
    write(t, "file_name", reply(0, 4, GET_FILE, counted(b"files/0123ABCD/report.pdf")))
    write(t, "volume_id", reply(0, 5, UPLOAD, counted(b"v0002")))
    write(t, "translation", reply(0, 6, LOCALIZE, counted(b"Datei nicht gefunden")))
    write(t, "count_past_end", reply(0, 4, GET_FILE, counted(b"abc", 40)))
    write(t, "count_negative", reply(0, 4, GET_FILE, counted(b"abc", -2)))
    write(t, "count_missing", reply(0, 4, GET_FILE, b"\0"))

    t = "fuzz_cache_init_info"
    names = b"/var/cache/kdr" + b"kdr"
    body = struct.pack(">iiiiihh", 1024, 1800, 15, 16, 4, 14, 3) + names
    write(t, "info", reply(0, 8, CACHE_INFO, body))
    body = struct.pack(">iiiiihh", 1024, 1800, 15, 16, 4, 14, 30) + names
    write(t, "map_past_end", reply(0, 8, CACHE_INFO, body))
    body = struct.pack(">iiiiihh", 1024, 1800, 15, -1, 4, 14, 3) + names
    write(t, "negative_extents", reply(0, 8, CACHE_INFO, body))
    write(t, "short", reply(0, 8, CACHE_INFO, struct.pack(">ii", 1, 2)))

    t = "fuzz_reply_framing"
    # Knob: rules index in the low 4 bits (1 = open), 0x10 SeqNum matches, 0x20 log, 0x40 store.
    write(t, "error", b"\x71" + error_reply(3005, b"Invalid ticket"))
    write(t, "error_no_nul", b"\x71" + error_reply(-3003, b"File not found", nul=False))
    write(t, "error_code_zero", b"\x71" + error_reply(0, b""))
    write(t, "error_short", b"\x71" + reply(1, 7, OPEN, b"\0\0"))
    write(t, "normal_wrong_seq", b"\x01" + reply(0, 7, OPEN, struct.pack(">hq", 3, 1)))
    write(t, "unknown_kind", b"\x1b" + reply(5, 7, ECHO, b""))
    write(t, "version", b"\x10" + reply(0, 1, VERSION, b""))


def catalog_seeds():
    t = "fuzz_catalog"
    for name in ("de.po", "fr.po"):
        src = os.path.join(HERE, "..", "locale", name)
        if os.path.exists(src):
            shutil.copyfile(src, os.path.join(CORPUS, t, name))
    write(t, "forms.po", b"""msgid ""
msgstr ""
"Content-Type: text/plain; charset=UTF-8\\n"

# comment
#, fuzzy
msgid "Fuzzy"
msgstr "Flou"

msgctxt "menu"
msgid "Open"
msgstr "Ouvrir"

msgid "One file"
msgid_plural "%d files"
msgstr[0] "Un fichier"
msgstr[1] "%d fichiers"

msgid "Tab\\there \\"quoted\\" \\\\ \\101\\7"
msgstr ""
"Line one\\n"
"line two\\r\\n"

msgid "Untranslated"
msgstr ""
msgid "Unclosed
msgstr "x"
""")


def ticket(type_letter, guid):
    t = "0123456789ABCDEF" * 4 + type_letter + "001::" + guid + "::"
    return (t + "F" * (240 - len(t))).encode()


def request_text_seeds():
    t = "fuzz_request_texts"
    write(t, "ticket_v", ticket("v", "0123456789ABCDEF0123456789ABCDEF"))
    write(t, "ticket_m", ticket("M", "01234567-89AB-CDEF-0123-456789ABCDEF"))
    write(t, "ticket_dots", ticket("F", "../../../../etc/passwd/0123456789"))
    write(t, "locale", b"de_DE.UTF-8@euro")
    write(t, "locale_dots", b"..")
    write(t, "locale_slash", b"de/../../x")


def request(seq, code, payload_length, body=b""):
    return struct.pack(">BbHII", 1, 0, seq, msg_type(code), payload_length) + body


def messages(*ms):
    return b"".join(struct.pack(">H", len(m)) + m for m in ms)


LOCALE, READ_AHEAD, ROLLBACK, STATUS, GET_LOCATION, CLEAR = 11, 9, 8, 10, 13, 256


def session_seeds():
    t = "fuzz_server_session"
    write(t, "version_echo", messages(request(0, VERSION, 4, b"\x0a\0\0\x0a"),
                                      request(1, ECHO, 0)))
    write(t, "locale_localize", messages(request(0, LOCALE, 3), b"de\0",
                                         request(1, LOCALIZE, 15), b"File not found\0"))
    tk = ticket("v", "0123456789ABCDEF0123456789ABCDEF") + b"\0"
    write(t, "open_size_data_close", messages(
        request(0, OPEN, len(tk)), tk,
        request(1, SIZE, 2, struct.pack(">H", 0)),
        request(2, DATA, 17, struct.pack(">Hqi", 0, 0, 16384) + b"tag"),
        request(3, READ_AHEAD, 17, struct.pack(">Hqi", 0, 0, 16384) + b"tag"),
        request(4, CLOSE, 2, struct.pack(">H", 0))))
    write(t, "transfers", messages(
        request(0, GET_FILE, 5, struct.pack(">H", 0) + b"tag"),
        request(1, GET_LOCATION, 5 + 5, struct.pack(">H", 0) + b"tag" + b"/tmp\0"),
        request(2, UPLOAD, 4 + 5, struct.pack(">HH", 0, 5)), b"/etc\0",
        request(3, ROLLBACK, 4 + 6, struct.pack(">HH", 0, 6)), b"v0001\0",
        request(4, STATUS, 4, struct.pack(">i", 0))))
    write(t, "store_requests", messages(request(0, CACHE_INFO, 0), request(1, CLEAR, 0)))
    write(t, "malformed", messages(b"\2\0\0\0" + b"\0" * 8, request(1, 77, 0),
                                   request(2, ECHO, 9), b"\1\0"))


def store_seeds(binary):
    t = "fuzz_store_open"
    os.makedirs(os.path.join(CORPUS, t), exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        seed = os.path.join(tmp, "seed")
        env = dict(os.environ, KDR_FUZZ_STORE_SEED=seed)
        subprocess.run([binary, "-runs=0"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(seed, "rb") as f:
            data = f.read()
    sep = b"#KDR-FILE#"
    meta = data.split(sep)[0]
    write(t, "store", data)
    write(t, "metafile", meta)
    write(t, "short_metafile", meta[:1024])


def main():
    protocol_seeds()
    catalog_seeds()
    request_text_seeds()
    session_seeds()
    if len(sys.argv) > 1:
        store_seeds(sys.argv[1])


if __name__ == "__main__":
    main()
