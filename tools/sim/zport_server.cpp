#include "tools/sim/zport_server.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "host/nt/machine.h"
#include "host/win32/system.h"
#include "tools/sim/package.h"

namespace zsim {

namespace {

bool sendAll(int fd, const void* data, size_t length)
{
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

bool receiveAll(int fd, void* data, size_t length)
{
    char* p = static_cast<char*>(data);
    while (length > 0) {
        ssize_t n = ::recv(fd, p, length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

bool sendU32(int fd, uint32_t v)
{
    uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    return sendAll(fd, b, 4);
}

bool receiveU32(int fd, uint32_t* v)
{
    uint8_t b[4];
    if (!receiveAll(fd, b, 4))
        return false;
    *v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return true;
}

bool sendFrame(int fd, uint8_t type, const void* data, uint32_t length)
{
    return sendAll(fd, &type, 1) && sendU32(fd, length) && sendAll(fd, data, length);
}

sockaddr_un addressOf(const std::filesystem::path& socket, bool* fits)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string path = socket.string();
    *fits = path.size() < sizeof a.sun_path;
    if (*fits)
        std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return a;
}

} // namespace

bool ZportServer::start(host::Machine& machine, host::win32::System& windows, const std::filesystem::path& dir,
                        std::string* error)
{
    machine_ = &machine;
    windows_ = &windows;
    socket_ = dir / kZportSocket;
    bool fits;
    sockaddr_un address = addressOf(socket_, &fits);
    if (!fits) {
        *error = socket_.string() + ": the path is too long for a socket; give a shorter --dir";
        return false;
    }
    std::error_code ec;
    std::filesystem::remove(socket_, ec);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 8) != 0) {
        *error = socket_.string() + ": " + std::strerror(errno);
        return false;
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
    return true;
}

void ZportServer::stop()
{
    if (listener_ < 0)
        return;
    stop_ = true;
    acceptor_.join();
    for (auto& t : clients_)
        t.join();
    clients_.clear();
    ::close(listener_);
    listener_ = -1;
    std::error_code ec;
    std::filesystem::remove(socket_, ec);
}

void ZportServer::acceptLoop()
{
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0)
            clients_.emplace_back([this, client] { serve(client); });
    }
}

void ZportServer::serve(int client)
{
    std::vector<std::string> arguments;
    uint32_t count = 0;
    bool ok = receiveU32(client, &count) && count <= 256;
    for (uint32_t i = 0; ok && i < count; ++i) {
        uint32_t length = 0;
        ok = receiveU32(client, &length) && length <= 65536;
        std::string a(length, '\0');
        ok = ok && receiveAll(client, a.data(), length);
        arguments.push_back(std::move(a));
    }
    if (ok) {
        host::Machine::Attach attach(*machine_, "zport request");
        std::mutex sending;
        host::win32::ProcessOptions options;
        options.image = "C:\\Tools\\zport.exe";
        options.arguments = arguments;
        options.is32Bit = false;
        options.console = [&](int stream, std::string_view text) {
            std::lock_guard g(sending);
            sendFrame(client, stream == 1 ? kFrameOut : kFrameErr, text.data(), uint32_t(text.size()));
        };
        auto process = windows_->start(options, zportProgram());
        uint32_t code = 1;
        if (process) {
            windows_->wait(*process);
            code = process->exitCode();
        }
        std::lock_guard g(sending);
        uint8_t b[4] = {uint8_t(code), uint8_t(code >> 8), uint8_t(code >> 16), uint8_t(code >> 24)};
        sendFrame(client, kFrameExit, b, 4);
    }
    ::close(client);
}

int runRemoteZport(const std::filesystem::path& dir, const std::vector<std::string>& arguments, std::string* error)
{
    const std::filesystem::path socket = dir / kZportSocket;
    bool fits;
    sockaddr_un address = addressOf(socket, &fits);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!fits || fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *error = "no simulated machine runs on " + dir.string() + " (start one: zsim serve --dir " + dir.string() + ")";
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    bool ok = sendU32(fd, uint32_t(arguments.size()));
    for (const std::string& a : arguments)
        ok = ok && sendU32(fd, uint32_t(a.size())) && sendAll(fd, a.data(), a.size());
    int code = -1;
    while (ok) {
        uint8_t type = 0;
        uint32_t length = 0;
        if (!receiveAll(fd, &type, 1) || !receiveU32(fd, &length) || length > (1u << 24))
            break;
        std::string data(length, '\0');
        if (!receiveAll(fd, data.data(), length))
            break;
        if (type == kFrameExit && length == 4) {
            code = int(uint32_t(uint8_t(data[0])) | uint32_t(uint8_t(data[1])) << 8 |
                       uint32_t(uint8_t(data[2])) << 16 | uint32_t(uint8_t(data[3])) << 24);
            break;
        }
        FILE* to = type == kFrameErr ? stderr : stdout;
        std::fwrite(data.data(), 1, data.size(), to);
        std::fflush(to);
    }
    ::close(fd);
    if (code < 0)
        *error = "the simulated machine on " + dir.string() + " went away during the command";
    return code;
}

} // namespace zsim
