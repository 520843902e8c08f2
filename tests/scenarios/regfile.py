"""Reads .reg exports, from hivexregedit or from the registry editor, into
one form: {key path (lower case, below the driver roots): {value name:
(type, bytes)}}, so that the two builds' registries can be compared."""

import re

HEX_VALUE = re.compile(r'^hex(?:\(([0-9a-fA-F]+)\))?:(.*)$')
VALUE = re.compile(r'^(?:@|"((?:[^"\\]|\\.)*)")=(.*)$')  # @ is the default value


def _decode_text(text):
    raw = text.replace('\\\\', '\x00BS').replace('\\"', '"').replace('\x00BS', '\\')
    return (raw + '\x00').encode('utf-16-le')


def _parse_data(data):
    if data.startswith('"') and data.endswith('"'):
        return 1, _decode_text(data[1:-1])
    if data.startswith('dword:'):
        return 4, int(data[6:], 16).to_bytes(4, 'little')
    m = HEX_VALUE.match(data)
    if m:
        kind = int(m.group(1), 16) if m.group(1) else 3
        body = m.group(2).replace(',', '').replace(' ', '')
        return kind, bytes.fromhex(body)
    if data.startswith('str(') and '):' in data:  # hivexregedit's typed strings
        kind = int(data[4:data.index(')')], 16)
        return kind, _decode_text(data[data.index(':') + 2:-1])
    raise ValueError('unreadable value data: ' + data)


def _logical_lines(text):
    pending = ''
    for line in text.splitlines():
        line = line.rstrip()
        if line.endswith('\\') and not line.endswith('\\\\"'):
            pending += line[:-1].strip()
            continue
        yield (pending + line.strip()) if pending else line.strip()
        pending = ''


def parse(text, strip_prefix):
    """Keys below strip_prefix (case-insensitive), relative to it."""
    keys = {}
    current = None
    prefix = strip_prefix.lower().rstrip('\\') + '\\'
    for line in _logical_lines(text):
        if line.startswith('[') and line.endswith(']'):
            name = line[1:-1]
            low = name.lower() + '\\'
            current = None
            if low.startswith(prefix):
                current = name[len(prefix):].lower()
                keys.setdefault(current, {})
        elif current is not None and VALUE.match(line):
            name, data = VALUE.match(line).groups()
            name = (name or '').replace('\\\\', '\\').replace('\\"', '"')
            keys[current][name] = _parse_data(data)
    return keys


def text_value(text):
    return 1, (text + '\x00').encode('utf-16-le')


def expand_value(text):
    return 2, (text + '\x00').encode('utf-16-le')


def dword_value(number):
    return 4, number.to_bytes(4, 'little')
