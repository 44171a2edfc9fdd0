#include "machine_fixture.h"

#include "host/nt/kernel.h"

#include <cstdlib>
#include <cstring>

namespace ztest {

bool shippedImages() {
    const char* images = std::getenv("ZEPHAN_DRIVER_IMAGES");
    return images && std::strcmp(images, "shipped") == 0;
}

void MachineTest::SetUp() {
    options.onViolation = [this](const std::string& text) { onViolation(text); };
    machine = std::make_unique<host::Machine>(options);
}

void MachineTest::TearDown() {
    shutdownMachine();
    checkExpectedViolationsSeen();
}

void MachineTest::shutdownMachine() {
    if (!machine)
        return;
    machine->shutdown();
    size_t left = machine->pool().liveCount();
    EXPECT_EQ(left, 0u) << "pool blocks still allocated at the end of the test";
    machine.reset();
}

void MachineTest::expectViolation(const std::string& text) {
    std::lock_guard g(mutex_);
    expected_.push_back(text);
}

std::vector<std::string> MachineTest::violations() {
    std::lock_guard g(mutex_);
    return seen_;
}

void MachineTest::checkExpectedViolationsSeen() {
    std::lock_guard g(mutex_);
    for (auto& e : expected_)
        ADD_FAILURE() << "expected a verifier report containing \"" << e << "\"";
    expected_.clear();
}

void MachineTest::onViolation(const std::string& text) {
    std::lock_guard g(mutex_);
    seen_.push_back(text);
    for (auto it = expected_.begin(); it != expected_.end(); ++it)
        if (text.find(*it) != std::string::npos) {
            expected_.erase(it);
            return;
        }
    ADD_FAILURE() << "verifier: " << text;
}

} // namespace ztest
