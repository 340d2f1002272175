// scripts/demo as a user runs it: on a terminal, stopped with Ctrl-C, and
// started while something else holds its port. The demo runs the programs
// of this build, on a port of the test's choosing.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "tests/pool-bridge/bridge_process.hpp"
#include "tests/support/subprocess.hpp"

namespace {

using namespace std::chrono_literals;

ProcessResult run_demo(int port, const ProcessOptions& extra = {}) {
    ProcessOptions options = extra;
    options.stdout_on_terminal = true;
    options.env.emplace_back("DEMO_PORT", std::to_string(port));
    options.env.emplace_back("DEMO_BUILD_DIR", OVIK_BUILD_DIR);
    options.env.emplace_back("DEMO_SKIP_BUILD", "1");
    options.env.emplace_back("DEMO_SECONDS", "60");
    return run_process({"/bin/bash", DEMO_SCRIPT}, options);
}

// A port that was free a moment ago: a bridge's, once it has stopped.
int free_port() {
    BridgeProcess probe;
    const int port = probe.port();
    probe.stop();
    return port;
}

bool contains(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

std::string line_starting(const std::string& text, const std::string& start) {
    const std::size_t at = text.find(start);
    if (at == std::string::npos) return "";
    return text.substr(at, text.find('\n', at) - at);
}

TEST(Demo, CtrlCStopsTheMinerFirstThenTheBridge) {
    const int port = free_port();
    ProcessOptions options;
    options.signal_when = "[stats]";
    options.interrupt_on_terminal = true;
    const ProcessResult result = run_demo(port, options);
    const auto ended = std::chrono::steady_clock::now();

    ASSERT_TRUE(result.signalled_at) << result.out << result.err;
    EXPECT_LT(ended - *result.signalled_at, 15s);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    const std::string summary = line_starting(result.out, "summary:");
    EXPECT_TRUE(contains(summary, "rejected 0 ")) << result.out;
    EXPECT_TRUE(contains(summary, "abandoned 0 ")) << result.out;
    EXPECT_FALSE(contains(result.out, "LOST")) << result.out;
    EXPECT_TRUE(contains(result.out, "demo: the miner exited with status 0")) << result.out;
    // The bridge stopped after the miner's summary, and let the port go.
    EXPECT_LT(result.out.find("summary:"), result.out.find("bridge counters:")) << result.out;
    EXPECT_NO_THROW(BridgeProcess({"--port", std::to_string(port)}));
}

TEST(Demo, ATakenPortStopsItBeforeTheMiner) {
    BridgeProcess holder;
    const ProcessResult result = run_demo(holder.port());

    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.err, "pool_bridge: cannot listen on 127.0.0.1:" + std::to_string(holder.port()) +
                                         ": Address already in use"))
        << result.err;
    EXPECT_TRUE(contains(result.err, "the miner was not started")) << result.err;
    EXPECT_FALSE(contains(result.out, "[GPU")) << result.out;
    EXPECT_EQ(holder.counters().getwork, 0u);
}

}  // namespace
