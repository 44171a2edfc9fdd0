// Files of the machine: \SystemRoot\... (and \??\C:\Windows\...) map to the
// machine folder's Windows\ tree, looked up case-insensitively as on the
// platform.
#pragma once

#include <wdm.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace host {

class Machine;

class FileSystem {
public:
    explicit FileSystem(Machine& machine);
    // The host path of a kernel path (\SystemRoot\System32\x.sys), with each
    // existing component matched case-insensitively; nullopt when the path is
    // not on the machine's disk.
    std::optional<std::filesystem::path> hostPath(const std::u16string& kernelPath);
    std::filesystem::path windowsFolder() const;

    // Host API for tests and tools.
    void writeFile(const std::u16string& kernelPath, const std::vector<uint8_t>& data);
    std::optional<std::vector<uint8_t>> readFile(const std::u16string& kernelPath);
    bool exists(const std::u16string& kernelPath);
    bool remove(const std::u16string& kernelPath);

private:
    Machine& machine_;
};

} // namespace host
