#!/usr/bin/env python3
"""What a signer did to a Windows program: whether it carries an Authenticode
signature and a time stamp, and whether, with the signature's own fields set
aside, it is still the program that was handed to the signer.

  signed_program.py same UNSIGNED SIGNED    exit 0 when SIGNED is UNSIGNED signed
  signed_program.py timestamped SIGNED      exit 0 when its signature has an RFC 3161 time stamp

A refusal is one line on stderr saying what differs, and exit code 1."""

import os
import struct
import sys

# The fields a signature may change: the optional header's CheckSum, the
# certificate table's data-directory entry, the table itself at the end of
# the file and the zeros that align it to 8 bytes.
CHECKSUM_AT = 64
SECURITY_ENTRY = 4
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
# The unsigned attribute that holds an RFC 3161 time-stamp token inside an
# Authenticode signature (1.3.6.1.4.1.311.3.3.1), as DER.
RFC3161_ATTRIBUTE = bytes.fromhex("060a2b060104018237030301")
HEAD_BYTES = 65536
PIECE_BYTES = 1 << 20


class NotSigned(Exception):
    pass


def layout(file):
    """The offsets of the checksum and of the certificate table's entry, and
    the table's offset and size as the entry gives them; the headers are in
    the file's first 64 KiB."""
    file.seek(0)
    head = file.read(HEAD_BYTES)
    pe = struct.unpack_from("<I", head, 0x3C)[0] if head[:2] == b"MZ" and len(head) >= 0x40 else len(head)
    optional = pe + 24
    if head[pe:pe + 4] != b"PE\0\0" or len(head) < optional + 2 or \
            struct.unpack_from("<H", head, optional)[0] not in (0x10B, 0x20B):
        raise NotSigned("not a Windows program")
    directories = optional + (96 if struct.unpack_from("<H", head, optional)[0] == 0x10B else 112)
    entry = directories + 8 * SECURITY_ENTRY
    if len(head) < entry + 8 or struct.unpack_from("<I", head, directories - 4)[0] <= SECURITY_ENTRY:
        raise NotSigned("has no certificate table entry")
    offset, size = struct.unpack_from("<II", head, entry)
    return optional + CHECKSUM_AT, entry, offset, size


def signature(file):
    """The signed program's certificate table, checked to be where Authenticode
    puts it and to hold signed data."""
    _, _, offset, size = layout(file)
    if size == 0:
        raise NotSigned("carries no Authenticode signature")
    if offset % 8 or offset + size != os.fstat(file.fileno()).st_size or size < 8:
        raise NotSigned("its certificate table is not the file's aligned end")
    file.seek(offset)
    table = file.read(size)
    length, revision, kind = struct.unpack_from("<IHH", table)
    if revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or length > size:
        raise NotSigned("its certificate table holds no Authenticode signature")
    return table


def same_program(unsigned, signed):
    """Raises NotSigned unless SIGNED is UNSIGNED with a signature added; both
    are read a piece at a time, so a program of gigabytes is never held."""
    signature(signed)
    checksum, entry, offset, _ = layout(signed)
    length = os.fstat(unsigned.fileno()).st_size
    if not length <= offset < length + 8:
        raise NotSigned(f"is {offset} bytes without its signature, the unsigned program {length}")
    unsigned.seek(0)
    signed.seek(0)
    at = 0
    while at < length:
        pieces = [bytearray(file.read(min(PIECE_BYTES, length - at))) for file in (unsigned, signed)]
        if at == 0:
            for piece in pieces:
                piece[checksum:checksum + 4] = bytes(4)
                piece[entry:entry + 8] = bytes(8)
        if pieces[0] != pieces[1]:
            differs = next(i for i, (a, b) in enumerate(zip(*pieces)) if a != b)
            raise NotSigned(f"differs from the unsigned program at byte {at + differs}, outside its signature")
        at += len(pieces[0])
    if signed.read(offset - length).strip(b"\0"):
        raise NotSigned(f"differs from the unsigned program after its end at byte {length}")


def main(arguments):
    try:
        if len(arguments) == 3 and arguments[0] == "same":
            with open(arguments[1], "rb") as one, open(arguments[2], "rb") as other:
                same_program(one, other)
        elif len(arguments) == 2 and arguments[0] == "timestamped":
            with open(arguments[1], "rb") as file:
                if RFC3161_ATTRIBUTE not in signature(file):
                    raise NotSigned("its signature carries no RFC 3161 time stamp")
        else:
            print("usage: signed_program.py same UNSIGNED SIGNED | timestamped SIGNED", file=sys.stderr)
            return 2
    except NotSigned as refusal:
        print(f"{arguments[-1]}: {refusal}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{error.filename}: {error.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
