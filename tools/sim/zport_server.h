// zport from a Linux shell: zsim serve listens on DIR/zport.sock, and the
// zport command (tools/zport/shell.cpp) sends it a command line. Each
// request runs the vendor tool as a process on the served machine; its
// standard output and error stream back as it writes them, then its exit
// code.
//
// The protocol, on a Unix stream socket: the client sends the number of
// arguments and each argument, every number a little-endian u32 and every
// argument its length then its bytes. The server answers with frames of a
// type byte (1 standard output, 2 standard error, 3 the exit code), a u32
// length and the data; the exit code's data is a u32.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace host {
class Machine;
namespace win32 {
class System;
}
}

namespace zsim {

inline constexpr const char* kZportSocket = "zport.sock";
enum : uint8_t { kFrameOut = 1, kFrameErr = 2, kFrameExit = 3 };

class ZportServer {
public:
    // Listens on DIR/zport.sock; false with `error` set when it cannot.
    bool start(host::Machine& machine, host::win32::System& windows, const std::filesystem::path& dir,
               std::string* error);
    // Stops listening and waits for the requests under way.
    void stop();
    ~ZportServer() { stop(); }

private:
    void acceptLoop();
    void serve(int client);

    host::Machine* machine_ = nullptr;
    host::win32::System* windows_ = nullptr;
    std::filesystem::path socket_;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> clients_;
};

// The client side (the zport command): runs `arguments` on the machine
// served on `dir`, writing its output to this process's stdout and stderr;
// its exit code, or nullopt-like -1 with `error` set when no machine
// answers.
int runRemoteZport(const std::filesystem::path& dir, const std::vector<std::string>& arguments, std::string* error);

} // namespace zsim
