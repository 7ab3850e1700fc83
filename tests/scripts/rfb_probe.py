#!/usr/bin/python3
"""Knocks on a VNC server at 127.0.0.1:PORT (argv[1]) as a viewer without its password would:
prints "open" when the server lets it in without one, "refused" when it asks for a password and
turns a wrong answer away, and exits 1 in the first case."""
import socket
import sys


def receive(connection, size):
    data = b""
    while len(data) < size:
        chunk = connection.recv(size - len(data))
        if not chunk:
            return data
        data += chunk
    return data


def main():
    connection = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
    receive(connection, 12)  # the server's protocol version
    connection.sendall(b"RFB 003.008\n")
    count = receive(connection, 1)
    if not count or count[0] == 0:
        print("refused")  # no security type at all, the connection is turned away
        return
    types = receive(connection, count[0])
    if 1 in types:  # security type None
        print("open")
        sys.exit(1)
    if 2 not in types:
        print(f"refused (security types {list(types)})")
        return
    connection.sendall(bytes([2]))
    receive(connection, 16)  # the challenge, answered with zeros: a wrong password
    connection.sendall(bytes(16))
    result = receive(connection, 4)
    if result == bytes(4):
        print("open")
        sys.exit(1)
    print("refused")


main()
