// The I/O trace over the real library and the in-process simulator: every record of a session
// parses as JSON and holds what went out and came back; a trace that cannot be written fails
// no call; records from several threads stay whole lines.

#include "trace/TracingLibrary.h"
#include "lan/LanLibrary.h"
#include "support/LoopbackSimulator.h"
#include "support/TempFile.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using nlohmann::json;

/// Each code point of a JSON string as one byte: how a reader gets traced bytes back.
std::string bytesOf(const json& value) {
    std::string out;
    const std::string utf8 = value.get<std::string>();
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b < 0x80) {
            out += static_cast<char>(b);
        } else {
            out += static_cast<char>(((b & 0x03) << 6) |
                                     (static_cast<unsigned char>(utf8[++i]) & 0x3F));
        }
    }
    return out;
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(testsupport::started(m_sim)); }

    std::string address(int pad) const {
        return "lan;vxi-11[" + testsupport::serverOf(m_sim) + "]:gpib," + std::to_string(pad);
    }

    /// Every line of the trace, each parsed (a line that does not parse fails the test).
    std::vector<json> records() const {
        std::ifstream in(m_path);
        std::vector<json> out;
        std::string line;
        while (std::getline(in, line)) {
            out.push_back(json::parse(line));
        }
        return out;
    }

    gateway::Simulator m_sim{testsupport::onFreePorts(gateway::demoBench())};
    lan::LanLibrary m_library;
    testsupport::TempFile m_file;
    const std::string& m_path = m_file.path();
};

TEST_F(TraceTest, RecordsEveryCallOfASessionWithItsBytesAndErrors) {
    std::ostringstream errors;
    trace::TracingLibrary traced(m_library, m_path, errors);
    const sicl::SessionId id = traced.vb_iopen(address(22));
    ASSERT_NE(id, 0);
    std::int32_t actual = 0;
    std::int32_t reason = 0;
    ASSERT_EQ(traced.vb_iwrite(1, id, "*IDN?\n", 6, 1, actual), 0);
    std::string buffer(200, ' ');
    ASSERT_EQ(traced.vb_iread(1, id, buffer, 200, reason, actual), 0);
    // 5000 bytes of every value: the record keeps 4 KiB of them and the full length.
    std::string binary(5000, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i) {
        binary[i] = static_cast<char>(i % 256);
    }
    binary.back() = '\n';
    ASSERT_EQ(traced.vb_iwrite(1, id, binary, 5000, 1, actual), 0);
    std::int16_t stb = 0;
    EXPECT_NE(traced.vb_ireadstb(777, stb), 0);
    EXPECT_EQ(traced.vb_iclose(id), 0);

    const std::vector<json> r = records();
    ASSERT_EQ(r.size(), 6u);
    for (const json& record : r) {
        EXPECT_TRUE(record.contains("t") && record.contains("us") && record.contains("result"));
        EXPECT_EQ(record["t"].get<std::string>().size(), 27u) << record["t"]; // ...:56.123456Z
    }
    EXPECT_EQ(r[0]["call"], "iopen");
    EXPECT_EQ(r[0]["address"], address(22));
    // Records of the session name its transport; a call on an unknown id names none.
    for (const std::size_t i : {0, 1, 2, 3, 5}) {
        EXPECT_EQ(r[i]["transport"], "vxi-11") << i;
    }
    EXPECT_FALSE(r[4].contains("transport"));
    EXPECT_EQ(r[0]["id"], id);
    EXPECT_EQ(bytesOf(r[1]["data"]), "*IDN?\n");
    EXPECT_EQ(r[2]["call"], "iread");
    EXPECT_EQ(bytesOf(r[2]["data"]), buffer.substr(0, static_cast<std::size_t>(r[2]["actual"])));
    EXPECT_EQ(bytesOf(r[2]["data"]).rfind("Orvane Instruments", 0), 0u);
    EXPECT_EQ(r[3]["len"], 5000);
    EXPECT_EQ(bytesOf(r[3]["data"]), binary.substr(0, trace::kMaxTracedBytes));
    EXPECT_EQ(r[4]["call"], "ireadstb");
    EXPECT_EQ(r[4]["error"]["number"], 107);
    EXPECT_FALSE(r[4]["error"]["text"].get<std::string>().empty());
    EXPECT_EQ(r[5]["call"], "iclose");
    EXPECT_TRUE(errors.str().empty());
    // Non-printable bytes are escaped: a line holds printable ASCII only.
    std::ifstream in(m_path);
    std::string line;
    while (std::getline(in, line)) {
        for (const char c : line) {
            EXPECT_TRUE(c >= 0x20 && c < 0x7F) << static_cast<int>(c);
        }
    }
}

TEST_F(TraceTest, AFailedOpenIsRecordedWithIdZeroAndTheError) {
    std::ostringstream errors;
    trace::TracingLibrary traced(m_library, m_path, errors);
    EXPECT_EQ(traced.vb_iopen("lan;vxi-11[127.0.0.1:" + std::to_string(m_sim.portmapperPort()) +
                              "]:gpib,99"),
              0);
    const std::vector<json> r = records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["id"], 0);
    EXPECT_EQ(r[0]["result"], 0);
    EXPECT_EQ(r[0]["error"]["number"], 101);
}

TEST_F(TraceTest, AFileThatCannotBeWrittenFailsNoCallAndSaysSoOnce) {
    std::ostringstream errors;
    trace::TracingLibrary traced(m_library, "/dev/full", errors);
    for (int i = 0; i < 3; ++i) {
        const sicl::SessionId id = traced.vb_iopen(address(22));
        ASSERT_NE(id, 0);
        std::int32_t actual = 0;
        EXPECT_EQ(traced.vb_iwrite(1, id, "*IDN?\n", 6, 1, actual), 0);
        EXPECT_EQ(traced.vb_iclose(id), 0);
    }
    EXPECT_FALSE(traced.isOn());
    const std::string said = errors.str();
    EXPECT_NE(said.find("/dev/full"), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;

    std::ostringstream missing;
    trace::TracingLibrary nowhere(m_library, "/nonexistent/dir/trace", missing);
    EXPECT_FALSE(nowhere.isOn());
    const sicl::SessionId id = nowhere.vb_iopen(address(22));
    EXPECT_NE(id, 0);
    EXPECT_EQ(nowhere.vb_iclose(id), 0);
    EXPECT_NE(missing.str().find("/nonexistent/dir/trace"), std::string::npos);
}

TEST_F(TraceTest, RecordsFromSeveralThreadsStayWholeLines) {
    std::ostringstream errors;
    trace::TracingLibrary traced(m_library, m_path, errors);
    constexpr int kThreads = 4;
    constexpr int kQueries = 25;
    std::vector<std::thread> threads;
    // One instrument per thread: queries of several clients to one instrument interrupt each
    // other, and their reads would wait out the time-out.
    constexpr int kInstruments[kThreads] = {3, 9, 22, 502};
    for (const int pad : kInstruments) {
        threads.emplace_back([&, pad] {
            const sicl::SessionId id = traced.vb_iopen(address(pad));
            std::string buffer(100, ' ');
            for (int i = 0; i < kQueries; ++i) {
                std::int32_t actual = 0;
                std::int32_t reason = 0;
                traced.vb_iwrite(1, id, "*IDN?\n", 6, 1, actual);
                traced.vb_iread(1, id, buffer, 100, reason, actual);
            }
            traced.vb_iclose(id);
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(records().size(), static_cast<std::size_t>(kThreads * (2 + 2 * kQueries)));
}

TEST(TracePath, TheOptionComesBeforeTheEnvironment) {
    ::setenv(trace::kTraceVariable, "/tmp/from-env", 1);
    EXPECT_EQ(trace::tracePath(std::string("/tmp/from-option")), "/tmp/from-option");
    EXPECT_EQ(trace::tracePath(std::nullopt), "/tmp/from-env");
    ::setenv(trace::kTraceVariable, "", 1);
    EXPECT_EQ(trace::tracePath(std::nullopt), std::nullopt);
    ::unsetenv(trace::kTraceVariable);
}

} // namespace
