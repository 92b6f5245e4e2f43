#!/usr/bin/env python3
# Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/: frames and texts here; the seeds of
# the targets that talk to a tag are key scripts, run once on the emulated tag by the built target with
# K3_FUZZ_RECORD set, which stores the keys with the tag's replies (see fuzz.cpp). Usage: make_corpus.py BUILD_DIR
import os, shutil, struct, subprocess, sys, tempfile
from binascii import crc_hqx  # CRC-16, polynomial 0x1021, MSB first: one lane of the check given 0xFFFF

def frame(code, payload=b""):  # the two-lane check over the whole words: even offsets, then odd
    h = struct.pack(">HHH", 0x55AA, code, len(payload)) + payload
    return h + struct.pack(">HH", crc_hqx(h[0:len(h) // 2 * 2:2], 0xFFFF), crc_hqx(h[1:len(h) // 2 * 2:2], 0xFFFF))

assert frame(0x0000) == bytes.fromhex("55aa0000000079a2b6c1")  # the sync request as the host sends it
here = os.path.dirname(os.path.abspath(__file__))
FRAMES = [frame(0xFFFE), frame(0xFFFF), frame(0xFFFC, b"hello"), frame(0xFFFD, b"\x00\x42"),
          frame(0xFFFD, b"\x00\x42\x00\x01"), frame(0x0002, struct.pack(">5H", 3, 0x102, 0x4B33, 0x0A17, 1)),
          frame(0x0101, struct.pack(">HH", 0, 8) + bytes(range(8))), frame(0x0102, b"\x00\x01")]
TEXTS = {
    "checkmess": FRAMES, "getmess": FRAMES,
    "titxt": [b"@F000\n31 40 00 04 B2 40 80 5A\n@FFFE\n00 F0\nq\n", b"@1000\nFF\n@FFE0\n" + b"00 " * 32 + b"\nq\n"],
    "params": [b"1,2,10,20\n2,0\n", b"0,3,1,2,3\n191,1,65535\n"],
    "badblkfile": [b"% chip,block\n0,5\n0,1021\n1,77\n%ENDDATA\n", b"0,7\n2,9\n%ENDDATA\n"],
    "kvd": [open(os.path.join(here, "..", "tests", "data", "sample.kvd"), "rb").read()],
    "offrec": [b"# finished\ttag\trecording\tflash\tstart\tend\tfile\trange\twritten\tbytes\toutcome\n"
               b"08:47:09 7-Dec-2026 UTC\t0003 0102 4b33 0a17 0001\t1\t0:1-0:4\t69afb360\t69afb3e2\trec001.kvd\t4\t4\t"
               b"1048620\tcomplete\n"],
    "selection": [b"\x07" + b"1-3,5", b"\x07a", b"\x03x", b"\x0510-2,4"],
    "getarg": [b"2030 1 1 0 0 0", b"-5 12 99999999999"], "scanints": [b"1 2 3", b"99999999999 -1"]}
# Key scripts, run on the emulated tag.
KEYS = dict.fromkeys("board eeprom badblocks directory flashread firmware msphdr".split(), [""])
KEYS.update(msp=["8\r"], session=["q", "14q", "21\rrec\rq", "8q", "3y2\rq", "60123480\rc0\rev8\rq", "cs50\rqnq"])
for target, seeds in list(TEXTS.items()) + list(KEYS.items()):
    d = os.path.join(here, "corpus", target)
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    with tempfile.TemporaryDirectory() as tmp:
        for i, s in enumerate(seeds):  # a key script goes in as its length and keys
            seed = s if target in TEXTS else bytes([len(s)]) + s.encode()
            open(os.path.join(d if target in TEXTS else tmp, "seed%d" % i), "wb").write(seed)
        if target in KEYS:
            env = dict(os.environ, K3_FUZZ_RECORD=os.path.join(d, "seed"))
            subprocess.run([os.path.join(os.path.abspath(sys.argv[1]), "fuzz", "fuzz_" + target), "-runs=0", tmp],
                           env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
