"""Queries the simulator's raw SCPI socket with pyvisa-py, an independent client.

Run by interop_tests with /usr/bin/python3 and the socket's port; prints the identity of the
instrument (one line) and exits non-zero on any failure."""

import sys

import pyvisa


def main():
    port = int(sys.argv[1])
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET")
    inst.timeout = 5000
    # A raw socket has no END: the answer ends at its LF.
    inst.read_termination = "\n"
    inst.write_termination = "\n"
    print(inst.query("*IDN?"))
    inst.close()
    rm.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
