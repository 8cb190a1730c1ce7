#!/usr/bin/python3
"""pyvisa-py on the simulator's LAN instrument, for the bench table beside siclquill-bench.

Prints NAME VALUE lines, as siclquill-bench does:
  pyvisa_version, pyvisa_py_version
  pyvisa_idn_exchange_us   median of COUNT query('*IDN?') over the raw socket
  pyvisa_bulk_read_mb_s    median of RUNS query_binary_values(':WAV:DATA?') of BYTES
  pyvisa_bulk_bytes        the bytes each of those read
  pyvisa_hislip_idn_exchange_us, or pyvisa_hislip_unsupported with the reason

Run it with Debian's /usr/bin/python3: Debian's Python packages are not importable by
another python3 that may come first on PATH.
"""

import argparse
import statistics
import sys
import time


def idn_exchange_us(session, count):
    """Median microseconds of one query('*IDN?') after a few unmeasured ones."""
    for _ in range(10):
        session.query("*IDN?")
    samples = []
    for _ in range(count):
        start = time.perf_counter()
        session.query("*IDN?")
        samples.append((time.perf_counter() - start) * 1e6)
    return statistics.median(samples)


def bulk_read_mb_s(session, size, runs):
    """Median MB/s of a block of `size` bytes read as pyvisa reads one: query_binary_values
    reads up to the first LF with the termination character on, then the rest by the block's
    header; the bytes come back as one bytes object (datatype 's'), so nothing is unpacked."""
    session.write(":WAV:POIN %d" % size)
    if int(session.query(":WAV:POIN?")) != size:
        raise RuntimeError("the instrument did not take :WAV:POIN %d" % size)
    total = len("#%d%d" % (len(str(size)), size)) + size + 1
    rates = []
    for run in range(runs + 1):
        start = time.perf_counter()
        data = session.query_binary_values(":WAV:DATA?", datatype="s", container=bytes)
        took = time.perf_counter() - start
        if len(data) != size:
            raise RuntimeError("block of %d bytes, %d expected" % (len(data), size))
        if run > 0:  # the first, unmeasured, as the library's bench has one
            rates.append(total / 1e6 / took)
    return statistics.median(rates)


def hislip_support():
    """None when this pyvisa-py has a HiSLIP client, else why not."""
    try:
        import pyvisa_py.protocols.hislip  # noqa: F401  (pyvisa-py 0.6 and later)
    except ImportError:
        # Without it, a hislip0 name is taken as a VXI-11 device name and the portmapper at
        # port 111 is asked: not tried, since another program may serve that port.
        return "this pyvisa-py has no HiSLIP client (no pyvisa_py.protocols.hislip)"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--socket", type=int, required=True, help="raw socket port")
    parser.add_argument("--hislip", type=int, default=0, help="HiSLIP port (0: none)")
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--bulk", type=int, default=64 << 20)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    import pyvisa
    import pyvisa_py

    print("pyvisa_version", pyvisa.__version__)
    print("pyvisa_py_version", getattr(pyvisa_py, "__version__", "unknown"))
    rm = pyvisa.ResourceManager("@py")
    resource = "TCPIP::127.0.0.1::%d::SOCKET" % args.socket
    # pyvisa-py's socket reads wait for the termination character, which is off by default.
    session = rm.open_resource(resource, read_termination="\n", timeout=120000)
    print("pyvisa_idn_exchange_us", "%.1f" % idn_exchange_us(session, args.count))
    print("pyvisa_bulk_bytes", args.bulk)
    print("pyvisa_bulk_read_mb_s", "%.1f" % bulk_read_mb_s(session, args.bulk, args.runs))
    session.close()

    if args.hislip:
        reason = hislip_support()
        if reason:
            print("pyvisa_hislip_unsupported", reason)
        else:
            hislip = rm.open_resource("TCPIP::127.0.0.1::hislip0,%d::INSTR" % args.hislip,
                                      read_termination="\n", timeout=120000)
            print("pyvisa_hislip_idn_exchange_us", "%.1f" % idn_exchange_us(hislip, args.count))
            hislip.close()
    rm.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
