"""Method calls on a D-Bus bus, over one connection kept open.

dbus-send opens a connection for each call, and mutter ends a remote-desktop
session as soon as the connection that made it closes; the Python bindings
belong to the system's interpreter, not necessarily the one running the
scripts. This speaks the wire protocol itself, as far as the scripts need:
little-endian messages, arguments of types s, o, u and b, replies whose
first argument is a string or object path.
"""

import os
import socket
import struct

_METHOD_CALL, _METHOD_RETURN, _ERROR = 1, 2, 3
_FIELD_CODES = {"path": (1, "o"), "interface": (2, "s"), "member": (3, "s"),
                "destination": (6, "s"), "signature": (8, "g")}


class DBusError(Exception):
    pass


def _pad(buf, align):
    buf.extend(b"\0" * (-len(buf) % align))


def _put(buf, code, value):
    if code in "ub":
        _pad(buf, 4)
        buf.extend(struct.pack("<I", int(value)))
    elif code in "so":
        data = value.encode()
        _pad(buf, 4)
        buf.extend(struct.pack("<I", len(data)) + data + b"\0")
    elif code == "g":
        data = value.encode()
        buf.extend(bytes([len(data)]) + data + b"\0")
    else:
        raise ValueError(f"dbuscall: type {code} is not supported")


def _string_at(data, offset):
    """The string or object path at `offset` (aligned to 4 there) and the offset after it."""
    offset += -offset % 4
    (length,) = struct.unpack_from("<I", data, offset)
    start = offset + 4
    return data[start:start + length].decode(), start + length + 1


class Bus:
    """A connection to the bus at `address` (unix:path=... or unix:abstract=...,
    as DBUS_SESSION_BUS_ADDRESS gives it)."""

    def __init__(self, address, timeout=30.0):
        first = address.strip().split(";")[0]  # the first of the addresses offered
        params = dict(p.split("=", 1) for p in first.split(":", 1)[1].split(",") if "=" in p)
        if "path" in params:
            where = params["path"]
        elif "abstract" in params:
            where = "\0" + params["abstract"]
        else:
            raise DBusError(f"cannot connect to {address}")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(where)
        self.sock.sendall(b"\0AUTH EXTERNAL " + str(os.getuid()).encode().hex().encode() + b"\r\n")
        reply = b""
        while not reply.endswith(b"\r\n"):
            chunk = self.sock.recv(256)
            if not chunk:
                break
            reply += chunk
        if not reply.startswith(b"OK "):
            raise DBusError(f"the bus refused us: {reply!r}")
        self.sock.sendall(b"BEGIN\r\n")
        self.serial = 0
        self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello")

    def close(self):
        self.sock.close()

    def call(self, destination, path, interface, member, signature="", args=()):
        """Calls and waits for the reply; returns its first string or object
        path, or None when it has none. DBusError when the call fails."""
        body = bytearray()
        for code, value in zip(signature, args):
            _put(body, code, value)
        fields = {"path": path, "interface": interface, "member": member,
                  "destination": destination}
        if signature:
            fields["signature"] = signature
        self.serial += 1
        msg = bytearray(b"l" + bytes([_METHOD_CALL, 0, 1]))
        msg.extend(struct.pack("<III", len(body), self.serial, 0))  # the fields' length, below
        for name, value in fields.items():
            number, code = _FIELD_CODES[name]
            # Each field is a struct (aligned to 8) of a byte and a variant;
            # alignment counts from the message's start.
            _pad(msg, 8)
            msg.extend(bytes([number]))
            _put(msg, "g", code)
            _put(msg, code, value)
        struct.pack_into("<I", msg, 12, len(msg) - 16)
        _pad(msg, 8)
        msg.extend(body)
        self.sock.sendall(msg)
        while True:
            kind, reply_serial, reply_signature, reply_body = self._read()
            if reply_serial != self.serial or kind not in (_METHOD_RETURN, _ERROR):
                continue  # a signal, or the reply to something else
            first = (_string_at(reply_body, 0)[0]
                     if reply_signature[:1] in ("s", "o") else None)
            if kind == _ERROR:
                raise DBusError(f"{member}: {first}")
            return first

    def _recv(self, n):
        data = bytearray()
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise DBusError("the bus closed the connection")
            data.extend(chunk)
        return bytes(data)

    def _read(self):
        head = self._recv(16)
        if head[0:1] != b"l":
            raise DBusError("a big-endian message, which this does not read")
        kind = head[1]
        body_len, _, fields_len = struct.unpack_from("<III", head, 4)
        fields = self._recv(fields_len + (-(16 + fields_len) % 8))
        body = self._recv(body_len)
        reply_serial, signature = None, ""
        offset = 0
        while offset < fields_len:
            offset += -offset % 8
            number, sig_len = fields[offset], fields[offset + 1]
            code = fields[offset + 2:offset + 2 + sig_len].decode()
            offset += 3 + sig_len
            # The fields start 16 bytes in, so alignment within them is as
            # in the whole message.
            if code == "u":
                offset += -offset % 4
                (value,) = struct.unpack_from("<I", fields, offset)
                offset += 4
            elif code in ("s", "o"):
                value, offset = _string_at(fields, offset)
            elif code == "g":
                length = fields[offset]
                value = fields[offset + 1:offset + 1 + length].decode()
                offset += length + 2
            else:
                raise DBusError(f"a header field of type {code}")
            if number == 5:
                reply_serial = value
            elif number == 8:
                signature = value
        return kind, reply_serial, signature, body
