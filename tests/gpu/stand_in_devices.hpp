// Stand-in GPUs of the compute capabilities the miner treats apart, with
// the multiprocessor counts of real cards, for the GPU handle's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "sim/cuda_runtime.hpp"

inline constexpr int DEVICE_86 = 0, DEVICE_89 = 1, DEVICE_90 = 2, DEVICE_120 = 3, DEVICE_NO_SM = 4;

class StandInDevices : public testing::Test {
protected:
    // One multiprocessor each where a test launches the default geometry.
    static constexpr const char* SMALL_DEVICES =
        "Sim A6000,1,86,0000:01:00.0;Sim RTX 4090,1,89,0000:02:00.0;Sim H100,1,90,0000:03:00.0;"
        "Sim RTX 5090,1,120,0000:04:00.0;Sim Empty,0,90,0000:05:00.0";
    static constexpr const char* REAL_SIZED_DEVICES =
        "Sim A6000,82,86,0000:01:00.0;Sim RTX 4090,128,89,0000:02:00.0;Sim H100,132,90,0000:03:00.0;"
        "Sim RTX 5090,170,120,0000:04:00.0;Sim Empty,0,90,0000:05:00.0";

    explicit StandInDevices(const char* devices = REAL_SIZED_DEVICES) : devices_(devices) {}

    void SetUp() override {
        setenv("VEZEZIRUZ_SIM_DEVICES", devices_, 1);
        sim::reload_devices();
    }
    void TearDown() override {
        sim::clear_faults();
        unsetenv("VEZEZIRUZ_SIM_DEVICES");
        sim::reload_devices();
    }

private:
    const char* devices_;
};
