"""Drives the gateway simulator with pyvisa-py, an independent VXI-11 client.

Run by gateway_tests with /usr/bin/python3; the simulator serves its portmapper on 127.0.0.1:111.
Prints one line per check and exits non-zero on the first failure."""

import sys

import pyvisa


def main():
    rm = pyvisa.ResourceManager("@py")
    checks = [
        ("TCPIP::127.0.0.1::gpib0,22::INSTR", "Orvane Instruments,DM-6510"),
        ("TCPIP::127.0.0.1::gpib0,9::INSTR", "Quenby Measurement Systems"),
        ("TCPIP::127.0.0.1::gpib0,5,2::INSTR", "Brenholt Devices,SW-2040"),
        ("TCPIP::127.0.0.1::inst0::INSTR", "Marrow Scientific,MX-3012"),
    ]
    for resource, idn_start in checks:
        inst = rm.open_resource(resource)
        inst.timeout = 5000
        idn = inst.query("*IDN?")
        if not idn.startswith(idn_start):
            print(f"FAIL {resource}: *IDN? gave {idn!r}")
            return 1
        print(f"ok {resource} idn={idn.strip()!r}")
        inst.write("*SRE 16")
        inst.write("*OPC?")
        stb = inst.read_stb()
        if stb != 0x50:
            print(f"FAIL {resource}: status byte {stb:#x}, expected 0x50 (MAV and RQS)")
            return 1
        print(f"ok {resource} stb={stb:#x}")
        inst.clear()
        inst.assert_trigger()
        inst.close()
    dmm = rm.open_resource("TCPIP::127.0.0.1::gpib0,22::INSTR")
    dmm.timeout = 5000
    value = float(dmm.query("MEAS:VOLT:DC?"))
    print(f"ok measurement {value}")
    dmm.close()
    rm.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
