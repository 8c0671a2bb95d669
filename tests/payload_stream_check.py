#!/usr/bin/env python3
"""Checks quarn's chunked payloads with a second inflater, Python's zlib
module: a tree whose archive crosses a 4 MiB chunk edge in a name line and
in the body of a file that does not compress, and ends on an edge, packs to
the same bytes on 1, 2 and 7 threads, and that stream inflates, fed 10000
bytes at a time, to exactly the archive text in one zlib stream.

Usage: payload_stream_check.py QUARN
"""
import os
import random
import subprocess
import sys
import tempfile
import zlib

import checks

CHUNK = 4 << 20


def entry(name, body):
    return b"f\n%d\n./%s\n" % (len(body), name.encode()) + body


def body_filling(name, room):
    """The body size that makes the entry of name exactly room bytes."""
    size = room
    while len(entry(name, b"")) - 1 + len(str(size)) + size > room:
        size -= 1
    return size


def text(size, seed):
    words = [b"ramp ", b"door ", b"marble ", b"score\r\n", b"bonus ", b"level "]
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words)
    return bytes(out[:size])


class ChunkedPayload(checks.Case):
    def test_the_payload_is_one_zlib_stream_of_the_archive_on_any_thread_count(self):
        root = self.enterContext(tempfile.TemporaryDirectory())
        tree = os.path.join(root, "tree")
        os.mkdir(tree)
        archive = b"Quarn\nd\n.\n"
        # a.txt ends 5 bytes short of the first edge, so b.ogg's name line
        # crosses it; b.ogg's body crosses the second; c.txt ends on the third.
        files = [("a.txt", text(body_filling("a.txt", CHUNK - 5 - len(archive)), 1)),
                 ("b.ogg", random.Random(2).randbytes(CHUNK + 3000))]
        laid = archive + b"".join(entry(n, b) for n, b in files)
        files.append(("c.txt", text(body_filling("c.txt", 3 * CHUNK - len(laid)), 3)))
        for name, body in files:
            with open(os.path.join(tree, name), "wb") as f:
                f.write(body)
            archive += entry(name, body)
        self.assertEqual(len(archive), 3 * CHUNK, "the tree's archive is not three chunks")

        payloads = {}
        for threads in (1, 2, 7):
            path = os.path.join(root, "t%d.qua" % threads)
            subprocess.run([QUARN, "pack", tree, path, "--threads", str(threads)], check=True)
            with open(path, "rb") as f:
                payloads[threads] = f.read()
        self.check(payloads[2] == payloads[1] and payloads[7] == payloads[1],
                   "payloads differ between 1, 2 and 7 threads")

        stream = payloads[1]
        inflater = zlib.decompressobj()
        out = bytearray()
        for at in range(0, len(stream), 10000):
            out += inflater.decompress(stream[at:at + 10000])
        out += inflater.flush()
        self.check(inflater.eof and not inflater.unused_data, "the payload is not one whole zlib stream")
        self.check(out == archive, "the payload inflates to %d bytes other than the archive's %d"
                   % (len(out), len(archive)))
        # The middle chunk went in stored.
        self.check(stream.find(files[1][1][CHUNK // 2:CHUNK // 2 + 4096]) >= 0,
                   "the chunk that does not compress was not stored")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: payload_stream_check.py QUARN")
    QUARN = sys.argv[1]
    sys.exit(checks.main(ChunkedPayload))
