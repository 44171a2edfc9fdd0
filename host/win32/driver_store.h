// The machine's driver store and device installation, as the system tools
// (pnputil.exe, devcon.exe) use them.
//
// Adding a package copies its INF and the files it lists to
// System32\DriverStore\FileRepository\<inf>_<arch>_<hash>\ and publishes the
// INF as C:\Windows\INF\oemN.inf (the lowest free N; a package already in the
// store keeps its name). The store's index lives in the registry under
// \Registry\Machine\DRIVERS\DriverDatabase (DriverPackages\<store folder>,
// DriverInfFiles\oemN.inf).
//
// Installing a package on a device: its files go to their destination
// folders, its services are created (the PnP manager's installDriver with the
// image the INF names), the model's hardware IDs are bound to the function
// driver's service, the hardware-key AddReg values are written, and the
// device is enumerated again, so the PnP manager loads the driver, calls
// AddDevice and starts the device. A device that has a driver running is
// removed first; when it refuses, the new driver waits for a restart.
//
// The models used are those of the machine's processor (NTx86, NTamd64,
// NTarm64; an undecorated models section serves x86 only).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/nt/pnp.h"

namespace host::win32 {

class System;

// SetupAPI's codes for an INF that is not a driver package INF, or lacks a
// section it needs.
constexpr uint32_t kErrorWrongInfStyle = 0xE0000100;
constexpr uint32_t kErrorSectionNotFound = 0xE0000101;

class DriverStore {
public:
    explicit DriverStore(System& system) : system_(system) {}

    struct Added {
        uint32_t error = 0;
        std::string publishedName;   // oemN.inf
        bool alreadyPresent = false;
    };
    // Adds the package of an INF (Win32 path) to the store.
    Added add(const std::string& infPath);

    struct Installed {
        uint32_t error = 0;
        std::vector<std::string> devices;   // instance IDs it was installed on
        bool rebootNeeded = false;          // a device could not be restarted
    };
    // Installs a published package on every present device it matches.
    Installed install(const std::string& publishedName);

    struct Deleted {
        uint32_t error = 0;
        std::vector<std::string> devices;   // devices that used it
        bool rebootNeeded = false;
    };
    // Deletes a published package. `uninstall` first removes the devices
    // that use it (they are then enumerated again and get the best remaining
    // package, or none); without `force`, a package in use is not deleted.
    Deleted remove(const std::string& publishedName, bool uninstall, bool force);

    // The published names (oemN.inf), in order.
    std::vector<std::string> published();

    struct DevicesRemoved {
        std::vector<std::string> removed;   // instance IDs
        std::vector<std::string> failed;    // refused their removal (need a restart)
    };
    // Removes the devices whose hardware or compatible IDs match one of the
    // patterns (* and ? wildcards; "@pattern" matches instance IDs): their
    // stacks go and they are uninstalled (PnpManager::uninstallDevice: a
    // port's COM name released, its Enum and driver keys deleted).
    DevicesRemoved removeDevices(const std::vector<std::string>& patterns);

    // Enumerates again every present device without a running driver (new,
    // uninstalled or without a driver): each gets the best matching package
    // of the store installed, or just comes back as it is. Returns the
    // instance IDs it enumerated.
    std::vector<std::string> rescan();

    // A device arriving new (plugged in, or enumerated with no Enum key) is
    // installed from the best package of the store, as the system's device
    // installation does: the package's files and services, the device's IDs
    // bound, its hardware-key AddReg values and its text and setup class in
    // `description`; the returned step writes the driver key's values
    // (InfPath, ...) once the arrival has made the key. Empty when no package
    // matches. Called by the PnP manager's arrival installer.
    std::function<void(const std::u16string&)> installArriving(host::DeviceDescription& description);

    // A machine that starts from its folder (the registry of an earlier
    // run) loads the drivers it had installed, as Windows does at boot: the
    // services of every installed package are made again from their images
    // and the package's IDs bound, so its devices start when they arrive.
    void restoreInstalled();

private:
    System& system_;
};

} // namespace host::win32
