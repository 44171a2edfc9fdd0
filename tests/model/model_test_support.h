// Helpers for driving the model directly: a scheduler whose clock moves only
// when the test says so, a listener that records hub changes, and register
// access through the vendor request as a driver would send it.
#pragma once

#include "model/controller.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace ztest {

class ManualScheduler : public zmodel::Scheduler {
public:
    uint64_t now() const override { return now_; }
    void at(uint64_t when, std::function<void()> fn) override { events_.emplace(when, std::move(fn)); }
    // Runs every event due, moving the clock to each in turn, until none is left.
    void runAll() {
        while (!events_.empty()) {
            auto it = events_.begin();
            now_ = std::max(now_, it->first);
            auto fn = std::move(it->second);
            events_.erase(it);
            ++ran_;
            fn();
        }
    }
    // Runs every event due by `t` in time order, then leaves the clock at t.
    void runUntil(uint64_t t) {
        while (!events_.empty() && events_.begin()->first <= t) {
            auto it = events_.begin();
            now_ = std::max(now_, it->first);
            auto fn = std::move(it->second);
            events_.erase(it);
            ++ran_;
            fn();
        }
        now_ = std::max(now_, t);
    }
    size_t pending() const { return events_.size(); }
    // Events run so far.
    size_t ran() const { return ran_; }

private:
    uint64_t now_ = 0;
    size_t ran_ = 0;
    std::multimap<uint64_t, std::function<void()>> events_;
};

class RecordingListener : public zmodel::HubListener {
public:
    void attached(int hubPort, zmodel::UsbDevice&) override { events.push_back(hubPort); }
    void detached(int hubPort) override { events.push_back(-hubPort); }
    std::vector<int> events;   // +port attached, -port detached
};

inline zmodel::UsbResult readRegs(zmodel::UsbDevice& dev, uint16_t address, std::span<uint8_t> out,
                                  uint16_t index = 0) {
    uint32_t n = 0;
    zmodel::SetupPacket s{0xC0, 0xA0, address, index, uint16_t(out.size())};
    return dev.control(s, out, n);
}

inline uint8_t readReg(zmodel::UsbDevice& dev, uint16_t address) {
    uint8_t v = 0xEE;
    EXPECT_EQ(readRegs(dev, address, {&v, 1}), zmodel::UsbResult::Ok);
    return v;
}

inline zmodel::UsbResult writeRegs(zmodel::UsbDevice& dev, uint16_t address, std::vector<uint8_t> bytes,
                                   uint16_t index = 0) {
    uint32_t n = 0;
    zmodel::SetupPacket s{0x40, 0xA0, address, index, uint16_t(bytes.size())};
    return dev.control(s, bytes, n);
}

inline void writeReg(zmodel::UsbDevice& dev, uint16_t address, uint8_t value) {
    EXPECT_EQ(writeRegs(dev, address, {value}), zmodel::UsbResult::Ok);
}

} // namespace ztest
