#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.
Run from anywhere; the files it writes are committed."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC = bytes([0x18, 0x24, 0x42, 0x81])


def checksum(payload):
    first, second = 1, 0
    for b in payload:
        first = (first + b) & 0xFFFF
        second = (second + first) & 0xFFFF
    return struct.pack('<HH', first, second)


def frame(number, payload, length=None, bad_sum=False):
    n = len(payload) if length is None else length
    s = checksum(payload)
    if bad_sum:
        s = bytes([s[0] ^ 1]) + s[1:]
    return MAGIC + struct.pack('<iI', n, number & 0xFFFFFFFF) + payload + s


def steps(wire):
    """The statuses a sender in step shows for each byte: the low nibble with
    its handshake line high, then the high nibble with it low."""
    out = bytearray()
    for b in wire:
        out.append(((b & 0x0F) << 3) | 0x07)
        out.append(((b >> 4) << 3) | 0x80 | 0x07)
    return bytes(out)


def receive_input(expected, keep, wire, tail=b''):
    return struct.pack('<i', expected) + bytes([keep]) + steps(wire) + tail


def write(target, name, data):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


# The frame receiver.
write('receive_frame', 'text', receive_input(0, 1, frame(0, b'CONNECT')))
write('receive_frame', 'data', receive_input(1, 1, frame(1, bytes(range(256)) * 3)))
write('receive_frame', 'not_kept', receive_input(1, 0, frame(1, b'x' * 40)))
write('receive_frame', 'empty', receive_input(3, 1, frame(3, b'')))
write('receive_frame', 'resend', receive_input(0, 1, frame(0, b'LIST *.*', bad_sum=True) + frame(0, b'LIST *.*')))
write('receive_frame', 'too_long', receive_input(1, 1, frame(1, b'', length=5000)))
write('receive_frame', 'negative_length', receive_input(1, 1, frame(1, b'', length=-1)))
write('receive_frame', 'number_far', receive_input(1, 1, frame(9, b'abc')))
write('receive_frame', 'number_near', receive_input(2, 1, frame(1, b'abc')))
write('receive_frame', 'cancel', receive_input(4, 1, frame(-1, b'')))
write('receive_frame', 'stray_byte', receive_input(0, 1, b'\x55' + frame(0, b'GET x')))
write('receive_frame', 'lost_magic_byte', receive_input(0, 1, frame(0, b'GET x')[1:]))
write('receive_frame', 'cut_short', receive_input(0, 1, frame(0, b'GET x')[:9]))
write('receive_frame', 'glitches', receive_input(0, 1, frame(0, b'MD d')[:6]) + bytes([0x00, 0x80, 0x41]) + steps(frame(0, b'MD d')[6:]))

# text_to_number.
for i, t in enumerate([b'0', b'123', b'$7FFFFFFF', b'$ffffffff', b'%1011', b'-2147483648', b'+5',
                       b' \t42', b'', b'2147483648', b'-$10', b'12x', b'99999999999999999999']):
    write('text_to_number', 'n%02d' % i, t)

# The name matcher: pattern NUL name.
for i, t in enumerate([b'*.*\0file.txt', b'*.*\0.', b'a*b\0axxb', b'*c\0abc', b'?x\0ax', b'a?c\0ac',
                       b'*a*a*a*a*a*a*a*a*a*a*b\0' + b'a' * 200, b'*?*?*?\0ab', b'\0', b'abc\0abc']):
    write('match_name', 'm%02d' % i, t)

# Client path mapping.
for i, t in enumerate([b'\\dir\\f', b'dir\\f', b'/x/y', b'', b'\\', b'a' * 300, b'..\\..\\etc']):
    write('client_path', 'p%02d' % i, t)

# The command loop: items separated by LF; 0x01 n payload is a data frame
# (0x02 in it for LF).
def items(*parts):
    return b'\n'.join(parts)

write('command_loop', 'connect', items(b'CONNECT'))
write('command_loop', 'folders', items(b'MD d', b'MD d\\e', b'LIST d\\*.*', b'RD d\\e', b'RD d', b'LIST *.*'))
write('command_loop', 'upload', items(b'PUT f', b'TIME 1234567', b'ATTR 32', b'REST 0', b'SIZE 5',
                                      b'\x01\x01hello', b'LIST f', b'GET f', b'RNFR f', b'RNTO g', b'DEL g'))
write('command_loop', 'text_upload', items(b'APUT t', b'REST 0', b'SIZE 8', b'\x01\x01a\r\x02bc\r\x02d', b'AGET t'))
write('command_loop', 'resume', items(b'PUT r', b'REST 0', b'SIZE 3', b'\x01\x01abc', b'PUT r', b'REST ?',
                                      b'REST 3', b'SIZE 6', b'\x01\x01def', b'GET r'))
write('command_loop', 'refused', items(b'PUT big', b'REST 0', b'SIZE 9000', b'\x01\x01' + b'z' * 4096,
                                       b'\x01\x02' + b'z' * 4096, b'\x01\x03' + b'z' * 808, b'\x03', b'GET big'))
write('command_loop', 'cancel', items(b'PUT c', b'REST 0', b'SIZE 100', b'\x01\xff', b'LIST c'))
write('command_loop', 'wrong_numbers', items(b'PUT w', b'REST 0', b'SIZE 3', b'\x01\x07abc', b'GET w'))
write('command_loop', 'garbage', items(b'HELLO', b'', b'REST ?', b'RNTO x', b'TIME $', b'SIZE -1'))
# Reads that try to leave the served directory, each refused: "..", the
# links the fuzzer puts in it ("up" -> "..", "out" -> "../out", "abs" -> the
# outside directory's absolute path, "sentinel" -> "../out/sentinel") and a
# resume query, which opens its file for writing.
write('command_loop', 'reads_outside', items(b'GET \\..\\out\\sentinel', b'AGET up\\out\\sentinel',
                                             b'LIST \\abs\\*.*', b'GET \\sentinel', b'PUT \\..\\out\\sentinel',
                                             b'REST ?', b'LIST \\out\\keep\\'))
