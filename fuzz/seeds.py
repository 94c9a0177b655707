#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Run from anywhere; existing seeds of the same name are overwritten, others
stay: the files named by a hash are inputs kept from long fuzzing runs
(minimised with -merge=1), so that every replay covers what those runs
reached.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


def frame(body, protocol=b'NAT'):
    head = b'%08d' % (len(body) + 48) + b'WQ8:global' + b'001' + protocol + b' ' * 24
    return head + body


def block(key, content, keylen=1):
    if keylen == 7:
        length = b'%07d' % len(content)
    else:
        length = struct.pack('<I', len(content))[:keylen]
    return bytes([key]) + length + content


def callback(*subs):
    return block(0xFD, b''.join(block(k, c) for k, c in subs), 2)


def read_seeds():
    route = block(0x02, b'\x01\x00\x00\x00') + block(0x01, b'JPAKTJ_R') + block(0x03, b'*CP')
    bodies = {
        'greeting': block(0x04, b'hello agent'),
        'key07': block(0x07, b'seven'),
        'key3b': block(0x3B, b'x' * 300, 2),
        'key41': block(0x41, b'y' * 100, 7),
        'key44': block(0x44, b'D-data', 7),
        'keyf9': block(0xF9, b'f9', 2),
        'nat_ff': route + block(0xFF, b'MELD    payload', 4) + callback((0x02, b'\x07\x00\x00\x00'), (0x01, b'src'), (0x03, b'*IPC(x)')),
        'nat_fe': block(0xFE, b'<?xml version="1.0"?>', 2),
        'callback_bad_kz': callback((0x01, b'n'), (0x09, b'zz')),
        'name_64': block(0x01, b'n' * 64),
        'acv_5': block(0x02, b'12345'),
        'bad_key': b'\x05\x01a',
    }
    for name, body in bodies.items():
        put('read', 'frame_' + name, b'\xC0\x01' + frame(body))
        put('read', 'body_' + name, b'\x01\x00' + body)
    put('read', 'dribble', b'\x00\x05' + frame(bodies['nat_ff']))
    put('read', 'pieces7', b'\x40\x09' + frame(bodies['greeting']) * 3)
    put('read', 'ipc', b'\xC0\x02' + frame(b'CHANNEL_CLOSE\0\0\0' + b'\0' * 40, b'IPC'))
    put('read', 'gss', b'\xC0\x03' + frame(b'token', b'GSS'))
    put('read', 'cut_then_close', b'\xC8\x04' + frame(bodies['greeting'])[:30])
    put('read', 'huge_length', b'\xC0\x00' + b'99999999WQ8:global001NAT' + b' ' * 24)
    put('read', 'bad_length', b'\xC0\x00' + b'abcdefghWQ8:global001NAT' + b' ' * 24)
    put('read', 'short_length', b'\xC0\x00' + b'00000012WQ8:global001NAT' + b' ' * 24)
    put('read', 'alloc_fail', b'\xE0\x01' + frame(bodies['greeting']) * 2)
    put('read', 'big_frame', b'\xC0\x06' + frame(block(0xFF, b'z' * 40000, 4)))


def ipc_seeds():
    name = b'*IPC(AGENT)'.ljust(64, b'\0')
    put('ipc', 'channel_close', name + b'CHANNEL_CLOSE'.ljust(16, b'\0') + b'\0' * 64)
    put('ipc', 'unknown', name + b'SOMETHING'.ljust(16, b'\0'))
    put('ipc', 'prefix', name + b'CHANNEL_CLOSEX'.ljust(16, b'\0'))
    put('ipc', 'short', name + b'CHAN')
    put('ipc', 'unterminated_name', b'T' * 64 + b'PASSFD'.ljust(16, b'\0') + struct.pack('<iii', 5, 1, 2))
    put('ipc', 'logging', name + b'LOGGING'.ljust(16, b'\0') + struct.pack('<i', 7) + b'x' * 1024)


def args_seeds():
    def words(*w):
        return b'\0'.join(w)
    put('args', 'end', words(b'JNR=1234', b'PNR=4711', b'TYP=E', b'TXT=job ended', b'RET=8', b'IPA=127.0.0.1'))
    put('args', 'start', words(b'jnr=1', b'typ=S', b'MNR=3', b'RETRY=2', b'WAIT=1', b'TIMEOUT=none'))
    put('args', 'output', words(b'TYP=O', b'OUTFILE=/tmp/out.txt', b'ULOGIN=Y'))
    put('args', 'variable', words(b'TYP=V', b'NAME=var', b'VALUE=' + b'v' * 1100, b'VTYPE=S'))
    put('args', 'snooze', words(b'TYP=0', b'IPA=host', b'PNR=99999999999'))
    put('args', 'trace', words(b'TRC=1', b'TYP=1', b'TXT=' + b't' * 100, b'=x', b'JNR', b'JNR=', b'a=b=c'))
    put('args', 'cmd_filtered', words(b'CMD=echo hi', b'TYP=E'))


def match_seeds():
    put('match', 'star', b'*?\x20\x41' + b'abcdef\0a*c?ef')
    put('match', 'prefix', b'\0\0\x10\x41' + b'abcdef\0abc')
    put('match', 'env', b'*?\x40\x41' + b'%HOME%/x/%PATH%/%%/%UNCLOSED\0*')
    put('match', 'restfield', b'*?\x08A' + b'A=/x y/B=#z#\0B')
    put('match', 'attribute', b'*?\x08A' + b'NAME=value,NAME2=value2\0NAME2')
    put('match', 'fields', b'*?\xFFA' + b'   word rest   \0   ')
    put('match', 'hex', b'\x01\x02\x03\x04' + bytes(range(256)))


if __name__ == '__main__':
    read_seeds()
    ipc_seeds()
    args_seeds()
    match_seeds()
