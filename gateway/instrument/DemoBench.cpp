#include "gateway/instrument/InstrumentConfig.h"

namespace gateway {

std::vector<InstrumentConfig> demoBench() {
    std::vector<InstrumentConfig> bench;

    InstrumentConfig dmm;
    dmm.pad = 22;
    dmm.idn = "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1";
    dmm.queries = {{"MEAS:VOLT:DC?", "+1.234567E+00"},
                   {"MEASURE:VOLTAGE:DC?", "+1.234567E+00"},
                   {"READ?", "+1.234567E+00"},
                   {"MEAS:RES?", "+4.700123E+03"}};
    dmm.faults.crlf = true;
    bench.push_back(dmm);

    InstrumentConfig counter;
    counter.pad = 3;
    counter.idn = "Talvik Labs,FC-330 Frequency Counter and Source,TL0330-118,1.07";
    counter.queries = {{"MEAS:FREQ?", "+1.00000000E+07"},
                       {"FREQ?", "+1.00000000E+07"},
                       {"SOUR:FREQ?", "+1.00000000E+03"}};
    bench.push_back(counter);

    InstrumentConfig scope;
    scope.pad = 9;
    scope.idn = "Quenby Measurement Systems Incorporated,QS-4054 Four Channel Digital Storage "
                "Oscilloscope 500 MHz 5 GSa/s,QMS2024-0090417,FW 03.12.0045 build 2207";
    scope.queries = {{"MEAS:FREQ?", "+9.99987E+05"}, {"ACQ:STATE?", "RUN"}};
    scope.commands = waveformCommands();
    bench.push_back(scope);

    InstrumentConfig switcher;
    switcher.pad = 5;
    switcher.sad = 2;
    switcher.idn = "Brenholt Devices,SW-2040 Switch Unit card 2,BH5020331,0.9.4";
    switcher.queries = {{"ROUT:CLOS?", "(@101)"}};
    bench.push_back(switcher);

    return bench;
}

InstrumentConfig demoLanInstrument() {
    InstrumentConfig scope = lanInstrument(
        "inst0", "Marrow Scientific,MX-3012 LAN Oscilloscope 200 MHz,MS3012-0417,2.1.0");
    scope.queries = {{"MEAS:VPP?", "+2.0137E+00"}, {"ACQ:STATE?", "STOP"}};
    scope.commands = waveformCommands();
    return scope;
}

InstrumentConfig lanInstrument(std::string name, std::string idn) {
    InstrumentConfig instrument;
    if (idn.empty()) {
        idn = "Siclquill Simulated Instruments,LAN-" + name + ",0,1.0";
    }
    instrument.name = std::move(name);
    instrument.idn = std::move(idn);
    return instrument;
}

} // namespace gateway
