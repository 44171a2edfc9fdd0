// The WMI service's host interface: the providers drivers register with
// IoWMIRegistrationControl, and the requests a WMI consumer's queries and
// sets turn into (IRP_MJ_SYSTEM_CONTROL with a WNODE block, sent to the top
// of the provider's stack as the WMI service sends them).
//
//     std::vector<uint8_t> data;
//     machine.wmi().query(guid, machine.wmi().instances(guid)[0], &data);
//
// A provider's registration record (IRP_MN_REGINFO_EX) is asked for when a
// consumer first needs it. Instances of a block registered with
// WMIREG_FLAG_INSTANCE_PDO are named after their PDO's device instance,
// "<instance ID>_<index>", as the platform names them.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace host {

class Machine;

class WmiManager {
public:
    explicit WmiManager(Machine& machine);
    ~WmiManager();

    // IoWMIRegistrationControl.
    NTSTATUS control(PDEVICE_OBJECT device, ULONG action);
    bool registered(PDEVICE_OBJECT device);

    // A consumer's calls, from an attached thread at PASSIVE_LEVEL. Instance
    // names come from instances(); an unknown name is
    // STATUS_WMI_INSTANCE_NOT_FOUND, an unregistered block
    // STATUS_WMI_GUID_NOT_FOUND. A query whose data does not fit in `room`
    // bytes is STATUS_BUFFER_TOO_SMALL with the size needed in *needed.
    std::vector<std::u16string> instances(const GUID& guid);
    NTSTATUS query(const GUID& guid, const std::u16string& instance, std::vector<uint8_t>* data, ULONG room = 256,
                   ULONG* needed = nullptr);
    NTSTATUS set(const GUID& guid, const std::u16string& instance, const std::vector<uint8_t>& data);
    NTSTATUS setItem(const GUID& guid, const std::u16string& instance, ULONG itemId, const std::vector<uint8_t>& data);

    // The requests themselves, to one provider and instance index, as the
    // service sends them once it has resolved a name.
    NTSTATUS querySingle(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex, std::vector<uint8_t>* data,
                         ULONG room, ULONG* needed = nullptr);
    NTSTATUS setSingle(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex,
                       const std::vector<uint8_t>& data);
    NTSTATUS setSingleItem(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex, ULONG itemId,
                           const std::vector<uint8_t>& data);
    // The registration record a provider returns, and the request any other
    // minor code (a method, event control) makes of it.
    NTSTATUS regInfo(PDEVICE_OBJECT provider, std::vector<uint8_t>* record);
    NTSTATUS send(PDEVICE_OBJECT provider, UCHAR minor, PVOID dataPath, std::vector<uint8_t>& buffer,
                  ULONG_PTR* information = nullptr);

private:
    struct Block {
        GUID guid;
        ULONG flags;
        ULONG instanceCount;
        PDEVICE_OBJECT pdo;
    };
    struct Provider {
        bool known = false;   // the registration record has been read
        std::vector<Block> blocks;
    };
    bool resolve(const GUID& guid, const std::u16string& instance, PDEVICE_OBJECT* provider, ULONG* index);
    void learn(PDEVICE_OBJECT device);

    Machine& machine_;
    std::mutex mutex_;
    std::map<PDEVICE_OBJECT, Provider> providers_;
    std::vector<PDEVICE_OBJECT> order_;   // registration order
};

} // namespace host
