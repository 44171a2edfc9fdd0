// The machine's in-memory registry. Key and value names are case-insensitive;
// \Registry\Machine\SYSTEM\CurrentControlSet is the same key as ControlSet001.
// The kernel's Zw/Rtl registry calls and the host API below share one tree.
#pragma once

#include <wdm.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace host {

class Machine;

class Registry {
public:
    struct Value {
        std::u16string name;
        ULONG type = REG_NONE;
        std::vector<uint8_t> data;
    };
    struct Key {
        std::u16string name;
        Key* parent = nullptr;
        std::map<std::u16string, std::shared_ptr<Key>> subkeys;   // by upper-cased name
        std::vector<Value> values;                                // in creation order
        bool deleted = false;
        bool isVolatile = false;
        Value* find(const std::u16string& valueName);
    };

    explicit Registry(Machine& machine);

    // Host API. Paths are absolute (\Registry\Machine\...); missing keys are
    // created by the setters.
    void setValue(const std::u16string& path, const std::u16string& name, ULONG type, std::vector<uint8_t> data);
    void setDword(const std::u16string& path, const std::u16string& name, uint32_t value);
    void setString(const std::u16string& path, const std::u16string& name, const std::u16string& value,
                   ULONG type = REG_SZ);
    void setMultiString(const std::u16string& path, const std::u16string& name,
                        const std::vector<std::u16string>& values);
    std::optional<Value> value(const std::u16string& path, const std::u16string& name);
    std::optional<uint32_t> dword(const std::u16string& path, const std::u16string& name);
    std::optional<std::u16string> string(const std::u16string& path, const std::u16string& name);
    std::vector<std::u16string> multiString(const std::u16string& path, const std::u16string& name);
    bool exists(const std::u16string& path);
    // Creates the keys of a path that are missing; a volatile key (and
    // what is under it) is not saved, as REG_OPTION_VOLATILE.
    void createKey(const std::u16string& path, bool isVolatile = false);
    std::vector<std::u16string> subkeys(const std::u16string& path);
    std::vector<std::u16string> valueNames(const std::u16string& path);
    bool deleteValue(const std::u16string& path, const std::u16string& name);
    bool deleteTree(const std::u16string& path);

    // Saves the non-volatile keys to a file and loads them back.
    void save(const std::filesystem::path& file);
    bool load(const std::filesystem::path& file);

    // Kernel side (the caller holds mutex()).
    std::recursive_mutex& mutex() { return mutex_; }
    // Resolves `path` (absolute, or relative to `root`); create = ZwCreateKey
    // (only the last component may be new), createAll = every missing component.
    NTSTATUS lookup(const std::shared_ptr<Key>& root, const std::u16string& path, bool create, bool createAll,
                    std::shared_ptr<Key>* key, ULONG* disposition = nullptr);
    static std::u16string pathOf(const Key* key);
    void deleteKey(const std::shared_ptr<Key>& key);

    // The relative roots of the RTL_REGISTRY_* values.
    static std::u16string relativeRoot(ULONG relativeTo);

private:
    std::vector<std::u16string> components(const std::u16string& path);
    Machine& machine_;
    std::recursive_mutex mutex_;
    std::shared_ptr<Key> root_;
};

inline const std::u16string kServicesPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";
inline const std::u16string kEnumPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum";
inline const std::u16string kControlPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control";
inline const std::u16string kDeviceMapPath = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP";

} // namespace host
