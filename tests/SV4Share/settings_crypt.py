#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Settings-file codec written on its own, over Botan's Twofish, to check files written by the program.

  settings_crypt.py encrypt KEYHEX PLAINFILE CFGFILE   plain Windows-1252 text -> settings file
  settings_crypt.py decrypt KEYHEX CFGFILE PLAINFILE   settings file -> plain Windows-1252 text

A settings file is one line of Base64 and CR LF. The Base64 holds the plain bytes encrypted with Twofish-128 in
8-bit cipher feedback; the cipher key is the 8 key bytes followed by 8 zero bytes and the initial register is the
encryption of a zero block.
"""
import base64
import sys

import botan2


def crypt(data: bytes, key8: bytes, encrypt: bool) -> bytes:
    cipher = botan2.BlockCipher("Twofish")
    cipher.set_key(key8 + bytes(8))
    register = bytes(cipher.encrypt(bytes(16)).raw)
    out = bytearray()
    for byte in data:
        keystream = bytes(cipher.encrypt(register).raw)[0]
        result = byte ^ keystream
        out.append(result)
        register = register[1:] + bytes([result if encrypt else byte])
    return bytes(out)


def main(argv):
    if len(argv) != 5 or argv[1] not in ("encrypt", "decrypt"):
        sys.stderr.write(__doc__)
        return 2
    key8 = bytes.fromhex(argv[2])
    if len(key8) != 8:
        sys.stderr.write("the key must be 16 hexadecimal digits\n")
        return 2
    with open(argv[3], "rb") as source:
        data = source.read()
    if argv[1] == "encrypt":
        result = base64.b64encode(crypt(data, key8, True)) + b"\r\n" if data else b""
    else:
        result = crypt(base64.b64decode(data.strip()), key8, False)
    with open(argv[4], "wb") as target:
        target.write(result)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
