// The whole package on one machine: a 4-port controller whose UARTs are
// enabled is plugged in; every port starts, gets its COM name from the
// Ports class installer (COM3 to COM6, after the machine's own COM1 and
// COM2), and an application moves data through each of them, at the
// fastest and the slowest rate, in virtual time.

#include <windows.h>

#include "comm_fixture.h"

#include <memory>
#include <string>
#include <vector>

namespace ztest {
namespace {

class SystemTest : public CommTest {};

TEST_F(SystemTest, FourPortsStartGetComNamesAndCarryDataAtThreeMegabitAndAt300)
{
    plugController(zmodel::Variant::Ports4);
    std::vector<std::unique_ptr<zmodel::LoopbackPlug>> plugs;
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(portStarted(i)) << i;
        EXPECT_EQ(comName(i), "COM" + std::to_string(3 + i));
        plugs.push_back(std::make_unique<zmodel::LoopbackPlug>(controller().uart(i)));
        paths.push_back(comPath(i));
    }

    struct Run {
        DWORD baud;
        size_t bytes;
        double lineMs;   // the time the bytes need on the line, 10 bits each
    };
    const Run runs[] = {{3000000, 30000, 30000 * 10 / 3000.0}, {300, 30, 30 * 10 / 0.3}};
    EXPECT_EQ(runApp([&] {
                  for (const Run& run : runs) {
                      for (int i = 0; i < 4; ++i) {
                          HANDLE h = CreateFileA(paths[i].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                 OPEN_EXISTING, 0, nullptr);
                          if (h == INVALID_HANDLE_VALUE)
                              return 10 + i;
                          DCB dcb = {};
                          dcb.DCBlength = sizeof dcb;
                          GetCommState(h, &dcb);
                          dcb.BaudRate = run.baud;
                          dcb.ByteSize = 8;
                          dcb.Parity = NOPARITY;
                          dcb.StopBits = ONESTOPBIT;
                          if (!SetCommState(h, &dcb))
                              return 20 + i;
                          std::string data(run.bytes, '\0');
                          for (size_t k = 0; k < data.size(); ++k)
                              data[k] = char((k * 7 + i) & 0xFF);
                          double start = nowMs();
                          DWORD n = 0;
                          EXPECT_TRUE(WriteFile(h, data.data(), DWORD(data.size()), &n, nullptr));
                          EXPECT_EQ(n, data.size());
                          std::string got;
                          while (got.size() < data.size()) {
                              std::vector<char> buffer(data.size());
                              if (!ReadFile(h, buffer.data(), DWORD(data.size() - got.size()), &n, nullptr) || !n)
                                  break;
                              got.append(buffer.data(), n);
                          }
                          double took = nowMs() - start;
                          EXPECT_EQ(got, data) << paths[i] << " at " << run.baud;
                          // The line sets the pace: never faster than the
                          // characters' own time, and not much slower.
                          EXPECT_GE(took, run.lineMs) << paths[i] << " at " << run.baud;
                          EXPECT_LT(took, run.lineMs * 1.5 + 20) << paths[i] << " at " << run.baud;
                          CloseHandle(h);
                      }
                  }
                  return 0;
              }),
              0u);
}

} // namespace
} // namespace ztest
