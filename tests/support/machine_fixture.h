// A GoogleTest fixture around one host::Machine. Every verifier report fails
// the running test unless the test announced it with expectViolation(); at
// the end the machine shuts down (drivers unloaded) and must hold no pool.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/nt/machine.h"

namespace ztest {

// Whether the tests load the drivers' shipped images (the .sys files of the
// Windows build) instead of their host builds: CTest sets
// ZEPHAN_DRIVER_IMAGES=shipped for the tests labelled "images".
bool shippedImages();

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Options used by SetUp (change them in a derived SetUp before calling it).
    host::MachineOptions options;
    std::unique_ptr<host::Machine> machine;

    // The next report containing `text` is expected: it does not fail the test.
    void expectViolation(const std::string& text);
    // Reports seen so far (expected or not).
    std::vector<std::string> violations();
    // Fails the test unless every expected report has been seen.
    void checkExpectedViolationsSeen();
    // Shuts the machine down now and checks it left nothing behind.
    void shutdownMachine();

private:
    void onViolation(const std::string& text);
    std::mutex mutex_;
    std::vector<std::string> seen_;
    std::vector<std::string> expected_;
};

} // namespace ztest
