// Configuration manager: the in-memory registry and the Zw/Rtl registry calls.

#include "cm_registry.h"

#include <fstream>

#include "kernel.h"

namespace host {

namespace {

std::u16string upper(const std::u16string& s) { return upcased(s); }

} // namespace

Registry::Value* Registry::Key::find(const std::u16string& valueName) {
    for (auto& v : values)
        if (equalsNoCase(v.name, valueName))
            return &v;
    return nullptr;
}

Registry::Registry(Machine& machine) : machine_(machine) {
    root_ = std::make_shared<Key>();
    root_->name = u"REGISTRY";
    for (const char16_t* path : {
             u"\\Registry\\Machine\\SYSTEM\\ControlSet001\\Services",
             u"\\Registry\\Machine\\SYSTEM\\ControlSet001\\Enum",
             u"\\Registry\\Machine\\SYSTEM\\ControlSet001\\Control\\Class",
             u"\\Registry\\Machine\\SYSTEM\\ControlSet001\\Control\\DeviceClasses",
             u"\\Registry\\Machine\\SYSTEM\\ControlSet001\\Control\\COM Name Arbiter",
             u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP",
             u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
             u"\\Registry\\User",
         })
        createKey(path);
    auto& os = machine.options().os;
    const std::u16string cv = u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    setString(cv, u"CurrentVersion", os.major >= 10 ? u"6.3" : fromUtf8(std::to_string(os.major) + "." + std::to_string(os.minor)));
    setString(cv, u"CurrentBuildNumber", fromUtf8(std::to_string(os.build)));
    setDword(cv, u"CurrentMajorVersionNumber", os.major);
    setDword(cv, u"CurrentMinorVersionNumber", os.minor);
    setString(cv, u"ProductName", u"Windows");
    setString(cv, u"SystemRoot", u"C:\\Windows");
}

std::u16string Registry::relativeRoot(ULONG relativeTo) {
    switch (relativeTo & 0xFFFF) {
    case RTL_REGISTRY_ABSOLUTE: return u"";
    case RTL_REGISTRY_SERVICES: return kServicesPath;
    case RTL_REGISTRY_CONTROL: return kControlPath;
    case RTL_REGISTRY_WINDOWS_NT: return u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP: return kDeviceMapPath;
    case RTL_REGISTRY_USER: return u"\\Registry\\User\\.Default";
    }
    return u"";
}

std::vector<std::u16string> Registry::components(const std::u16string& path) {
    std::vector<std::u16string> parts;
    std::u16string cur;
    for (char16_t c : path) {
        if (c == u'\\') {
            if (!cur.empty())
                parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        parts.push_back(cur);
    return parts;
}

std::u16string Registry::pathOf(const Key* key) {
    std::vector<const Key*> chain;
    for (const Key* k = key; k; k = k->parent)
        chain.push_back(k);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        path += u"\\" + ((*it)->parent ? (*it)->name : std::u16string(u"Registry"));
    return path;
}

NTSTATUS Registry::lookup(const std::shared_ptr<Key>& root, const std::u16string& path, bool create,
                          bool createAll, std::shared_ptr<Key>* key, ULONG* disposition) {
    std::vector<std::u16string> parts;
    if (root) {
        if (root->deleted)
            return STATUS_KEY_DELETED;
        parts = components(pathOf(root.get()));
        auto rel = components(path);
        parts.insert(parts.end(), rel.begin(), rel.end());
    } else {
        if (path.empty() || path[0] != u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        parts = components(path);
    }
    if (parts.empty() || !equalsNoCase(parts[0], u"Registry"))
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    // CurrentControlSet is a link to ControlSet001.
    if (parts.size() >= 4 && equalsNoCase(parts[1], u"Machine") && equalsNoCase(parts[2], u"SYSTEM") &&
        equalsNoCase(parts[3], u"CurrentControlSet"))
        parts[3] = u"ControlSet001";
    std::shared_ptr<Key> cur = root_;
    for (size_t i = 1; i < parts.size(); ++i) {
        auto it = cur->subkeys.find(upper(parts[i]));
        if (it == cur->subkeys.end()) {
            bool last = i + 1 == parts.size();
            if (!(createAll || (create && last)))
                return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            auto k = std::make_shared<Key>();
            k->name = parts[i];
            k->parent = cur.get();
            cur->subkeys[upper(parts[i])] = k;
            cur = k;
            if (disposition && last)
                *disposition = REG_CREATED_NEW_KEY;
            continue;
        }
        cur = it->second;
        if (disposition && i + 1 == parts.size())
            *disposition = REG_OPENED_EXISTING_KEY;
    }
    if (disposition && parts.size() == 1)
        *disposition = REG_OPENED_EXISTING_KEY;
    *key = cur;
    return STATUS_SUCCESS;
}

void Registry::deleteKey(const std::shared_ptr<Key>& key) {
    std::function<void(Key*)> mark = [&](Key* k) {
        k->deleted = true;
        for (auto& [_, sub] : k->subkeys)
            mark(sub.get());
    };
    mark(key.get());
    if (key->parent)
        key->parent->subkeys.erase(upper(key->name));
    key->parent = nullptr;
}

void Registry::createKey(const std::u16string& path, bool isVolatile) {
    std::lock_guard g(mutex_);
    std::shared_ptr<Key> k;
    ULONG disposition = 0;
    if (NT_SUCCESS(lookup(nullptr, path, true, true, &k, &disposition)) && isVolatile &&
        disposition == REG_CREATED_NEW_KEY)
        k->isVolatile = true;
}

void Registry::setValue(const std::u16string& path, const std::u16string& name, ULONG type,
                        std::vector<uint8_t> data) {
    std::lock_guard g(mutex_);
    std::shared_ptr<Key> k;
    if (!NT_SUCCESS(lookup(nullptr, path, true, true, &k)))
        return;
    if (auto* v = k->find(name)) {
        v->type = type;
        v->data = std::move(data);
    } else {
        k->values.push_back({name, type, std::move(data)});
    }
}

void Registry::setDword(const std::u16string& path, const std::u16string& name, uint32_t value) {
    std::vector<uint8_t> d(4);
    memcpy(d.data(), &value, 4);
    setValue(path, name, REG_DWORD, std::move(d));
}

void Registry::setString(const std::u16string& path, const std::u16string& name, const std::u16string& value,
                         ULONG type) {
    setValue(path, name, type, szBytes(value));
}

void Registry::setMultiString(const std::u16string& path, const std::u16string& name,
                              const std::vector<std::u16string>& values) {
    setValue(path, name, REG_MULTI_SZ, multiSz(values));
}

std::optional<Registry::Value> Registry::value(const std::u16string& path, const std::u16string& name) {
    std::lock_guard g(mutex_);
    std::shared_ptr<Key> k;
    if (!NT_SUCCESS(lookup(nullptr, path, false, false, &k)))
        return std::nullopt;
    if (auto* v = k->find(name))
        return *v;
    return std::nullopt;
}

std::optional<uint32_t> Registry::dword(const std::u16string& path, const std::u16string& name) {
    auto v = value(path, name);
    if (!v || v->data.size() < 4)
        return std::nullopt;
    uint32_t r;
    memcpy(&r, v->data.data(), 4);
    return r;
}

std::optional<std::u16string> Registry::string(const std::u16string& path, const std::u16string& name) {
    auto v = value(path, name);
    if (!v)
        return std::nullopt;
    std::u16string s(v->data.size() / 2, u'\0');
    memcpy(s.data(), v->data.data(), s.size() * 2);
    while (!s.empty() && s.back() == u'\0')
        s.pop_back();
    return s;
}

std::vector<std::u16string> Registry::multiString(const std::u16string& path, const std::u16string& name) {
    std::vector<std::u16string> out;
    auto v = value(path, name);
    if (!v)
        return out;
    std::u16string all(v->data.size() / 2, u'\0');
    memcpy(all.data(), v->data.data(), all.size() * 2);
    std::u16string cur;
    for (char16_t c : all) {
        if (c == u'\0') {
            if (cur.empty())
                break;
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

bool Registry::exists(const std::u16string& path) {
    std::lock_guard g(mutex_);
    std::shared_ptr<Key> k;
    return NT_SUCCESS(lookup(nullptr, path, false, false, &k));
}

std::vector<std::u16string> Registry::subkeys(const std::u16string& path) {
    std::lock_guard g(mutex_);
    std::vector<std::u16string> out;
    std::shared_ptr<Key> k;
    if (NT_SUCCESS(lookup(nullptr, path, false, false, &k)))
        for (auto& [_, sub] : k->subkeys)
            out.push_back(sub->name);
    return out;
}

std::vector<std::u16string> Registry::valueNames(const std::u16string& path) {
    std::lock_guard g(mutex_);
    std::vector<std::u16string> out;
    std::shared_ptr<Key> k;
    if (NT_SUCCESS(lookup(nullptr, path, false, false, &k)))
        for (auto& v : k->values)
            out.push_back(v.name);
    return out;
}

bool Registry::deleteValue(const std::u16string& path, const std::u16string& name) {
    std::lock_guard g(mutex_);
    std::shared_ptr<Key> k;
    if (!NT_SUCCESS(lookup(nullptr, path, false, false, &k)))
        return false;
    for (auto it = k->values.begin(); it != k->values.end(); ++it)
        if (equalsNoCase(it->name, name)) {
            k->values.erase(it);
            return true;
        }
    return false;
}

bool Registry::deleteTree(const std::u16string& path) {
    std::lock_guard g(mutex_);
    std::shared_ptr<Key> k;
    if (!NT_SUCCESS(lookup(nullptr, path, false, false, &k)) || !k->parent)
        return false;
    deleteKey(k);
    return true;
}

// File format: one record per line-less binary entry:
//   'K' <u32 path length> <path utf-16>            a key
//   'V' <u32 name length> <name> <u32 type> <u32 size> <data>   a value of the last key
void Registry::save(const std::filesystem::path& file) {
    std::lock_guard g(mutex_);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    auto put32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto putStr = [&](const std::u16string& s) {
        put32(uint32_t(s.size()));
        out.write(reinterpret_cast<const char*>(s.data()), std::streamsize(s.size() * 2));
    };
    std::function<void(const Key*)> walk = [&](const Key* k) {
        if (k->isVolatile)
            return;
        out.put('K');
        putStr(pathOf(k));
        for (auto& v : k->values) {
            out.put('V');
            putStr(v.name);
            put32(v.type);
            put32(uint32_t(v.data.size()));
            out.write(reinterpret_cast<const char*>(v.data.data()), std::streamsize(v.data.size()));
        }
        for (auto& [_, sub] : k->subkeys)
            walk(sub.get());
    };
    walk(root_.get());
}

bool Registry::load(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    std::lock_guard g(mutex_);
    auto get32 = [&]() { uint32_t v = 0; in.read(reinterpret_cast<char*>(&v), 4); return v; };
    auto getStr = [&]() {
        std::u16string s(get32(), u'\0');
        in.read(reinterpret_cast<char*>(s.data()), std::streamsize(s.size() * 2));
        return s;
    };
    std::shared_ptr<Key> cur;
    int tag;
    while ((tag = in.get()) != EOF) {
        if (tag == 'K') {
            auto path = getStr();
            lookup(nullptr, path, true, true, &cur);
        } else if (tag == 'V' && cur) {
            Value v;
            v.name = getStr();
            v.type = get32();
            v.data.resize(get32());
            in.read(reinterpret_cast<char*>(v.data.data()), std::streamsize(v.data.size()));
            if (auto* old = cur->find(v.name))
                *old = std::move(v);
            else
                cur->values.push_back(std::move(v));
        } else {
            return false;
        }
    }
    return true;
}

namespace {

Registry& registryOf(const char* call) { return machineOf(call).registry(); }

std::shared_ptr<Registry::Key> keyOfHandle(HANDLE h, NTSTATUS* status) {
    auto entry = machineOf("registry").objects().lookupHandle(h);
    if (!entry || entry->kind != ObjectManager::HandleEntry::Key) {
        *status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    auto key = std::static_pointer_cast<Registry::Key>(entry->shared);
    *status = key->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
    return key;
}

HANDLE insertKeyHandle(const std::shared_ptr<Registry::Key>& key, ACCESS_MASK access) {
    ObjectManager::HandleEntry e{};
    e.kind = ObjectManager::HandleEntry::Key;
    e.shared = key;
    e.access = access;
    return machineOf("registry").objects().insertHandle(std::move(e));
}

NTSTATUS openKey(PHANDLE KeyHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES oa, bool create, ULONG options,
                 PULONG disposition) {
    if (!KeyHandle || !oa || !oa->ObjectName)
        return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    Registry& reg = registryOf("ZwOpenKey");
    std::shared_ptr<Registry::Key> root;
    if (oa->RootDirectory) {
        NTSTATUS s;
        root = keyOfHandle(oa->RootDirectory, &s);
        if (!NT_SUCCESS(s))
            return s;
    }
    std::lock_guard g(reg.mutex());
    std::shared_ptr<Registry::Key> key;
    ULONG disp = 0;
    NTSTATUS s = reg.lookup(root, fromUnicodeString(oa->ObjectName), create, false, &key, &disp);
    if (!NT_SUCCESS(s))
        return s;
    if (create && disp == REG_CREATED_NEW_KEY && (options & REG_OPTION_VOLATILE))
        key->isVolatile = true;
    if (disposition)
        *disposition = disp;
    *KeyHandle = insertKeyHandle(key, access);
    return STATUS_SUCCESS;
}

// Fills one of the KEY_VALUE_*_INFORMATION layouts, with the platform's
// rules: a buffer shorter than the fixed part is STATUS_BUFFER_TOO_SMALL, one
// that holds the fixed part but not everything is STATUS_BUFFER_OVERFLOW (the
// fixed part filled); ResultLength is always the full size.
NTSTATUS fillValueInformation(const Registry::Value& v, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer,
                              ULONG length, PULONG resultLength) {
    ULONG nameBytes = ULONG(v.name.size() * 2);
    ULONG dataBytes = ULONG(v.data.size());
    auto* out = static_cast<UCHAR*>(buffer);
    switch (cls) {
    case KeyValueBasicInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        ULONG full = fixed + nameBytes;
        if (resultLength)
            *resultLength = full;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(out);
        info->TitleIndex = 0;
        info->Type = v.type;
        info->NameLength = nameBytes;
        ULONG copy = std::min(length - fixed, nameBytes);
        memcpy(out + fixed, v.name.data(), copy);
        return copy < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        ULONG align = cls == KeyValueFullInformationAlign64 ? 8 : 4;
        ULONG dataOffset = (fixed + nameBytes + align - 1) & ~(align - 1);
        ULONG full = dataOffset + dataBytes;
        if (resultLength)
            *resultLength = full;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(out);
        info->TitleIndex = 0;
        info->Type = v.type;
        info->DataOffset = dataOffset;
        info->DataLength = dataBytes;
        info->NameLength = nameBytes;
        if (length < full) {
            memcpy(out + fixed, v.name.data(), std::min(length - fixed, nameBytes));
            return STATUS_BUFFER_OVERFLOW;
        }
        memcpy(out + fixed, v.name.data(), nameBytes);
        memcpy(out + dataOffset, v.data.data(), dataBytes);
        return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation:
    case KeyValuePartialInformationAlign64: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        ULONG full = fixed + dataBytes;
        if (resultLength)
            *resultLength = full;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(out);
        info->TitleIndex = 0;
        info->Type = v.type;
        info->DataLength = dataBytes;
        if (length < full)
            return STATUS_BUFFER_OVERFLOW;
        memcpy(out + fixed, v.data.data(), dataBytes);
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS fillKeyInformation(const Registry::Key& k, KEY_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                            PULONG resultLength) {
    ULONG nameBytes = ULONG(k.name.size() * 2);
    auto* out = static_cast<UCHAR*>(buffer);
    switch (cls) {
    case KeyBasicInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
        if (resultLength)
            *resultLength = fixed + nameBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(out);
        info->LastWriteTime.QuadPart = 0;
        info->TitleIndex = 0;
        info->NameLength = nameBytes;
        ULONG copy = std::min(length - fixed, nameBytes);
        memcpy(out + fixed, k.name.data(), copy);
        return copy < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case KeyNodeInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
        if (resultLength)
            *resultLength = fixed + nameBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = reinterpret_cast<PKEY_NODE_INFORMATION>(out);
        info->LastWriteTime.QuadPart = 0;
        info->TitleIndex = 0;
        info->ClassOffset = 0xFFFFFFFF;
        info->ClassLength = 0;
        info->NameLength = nameBytes;
        ULONG copy = std::min(length - fixed, nameBytes);
        memcpy(out + fixed, k.name.data(), copy);
        return copy < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case KeyFullInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
        if (resultLength)
            *resultLength = fixed;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = reinterpret_cast<PKEY_FULL_INFORMATION>(out);
        memset(info, 0, fixed);
        info->ClassOffset = 0xFFFFFFFF;
        info->SubKeys = ULONG(k.subkeys.size());
        info->Values = ULONG(k.values.size());
        for (auto& [_, sub] : k.subkeys)
            info->MaxNameLen = std::max(info->MaxNameLen, ULONG(sub->name.size() * 2));
        for (auto& v : k.values) {
            info->MaxValueNameLen = std::max(info->MaxValueNameLen, ULONG(v.name.size() * 2));
            info->MaxValueDataLen = std::max(info->MaxValueDataLen, ULONG(v.data.size()));
        }
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

} // namespace
} // namespace host

using namespace host;

EXTERN_C_START

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    return openKey(KeyHandle, DesiredAccess, ObjectAttributes, false, 0, nullptr);
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    return openKey(KeyHandle, DesiredAccess, ObjectAttributes, true, CreateOptions, Disposition);
}

NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle) {
    NTSTATUS s;
    auto key = keyOfHandle(KeyHandle, &s);
    if (!NT_SUCCESS(s))
        return s;
    Registry& reg = registryOf("ZwDeleteKey");
    std::lock_guard g(reg.mutex());
    if (!key->subkeys.empty())
        return STATUS_CANNOT_DELETE;
    reg.deleteKey(key);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength) {
    NTSTATUS s;
    auto key = keyOfHandle(KeyHandle, &s);
    if (!NT_SUCCESS(s))
        return s;
    Registry& reg = registryOf("ZwQueryValueKey");
    std::lock_guard g(reg.mutex());
    auto* v = key->find(fromUnicodeString(ValueName));
    if (!v)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return fillValueInformation(*v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize) {
    NTSTATUS s;
    auto key = keyOfHandle(KeyHandle, &s);
    if (!NT_SUCCESS(s))
        return s;
    if (DataSize && !Data)
        return STATUS_INVALID_PARAMETER;
    Registry& reg = registryOf("ZwSetValueKey");
    std::lock_guard g(reg.mutex());
    std::u16string name = fromUnicodeString(ValueName);
    std::vector<uint8_t> data(static_cast<uint8_t*>(Data), static_cast<uint8_t*>(Data) + DataSize);
    if (auto* v = key->find(name)) {
        v->type = Type;
        v->data = std::move(data);
    } else {
        key->values.push_back({name, Type, std::move(data)});
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    NTSTATUS s;
    auto key = keyOfHandle(KeyHandle, &s);
    if (!NT_SUCCESS(s))
        return s;
    Registry& reg = registryOf("ZwDeleteValueKey");
    std::lock_guard g(reg.mutex());
    std::u16string name = fromUnicodeString(ValueName);
    for (auto it = key->values.begin(); it != key->values.end(); ++it)
        if (equalsNoCase(it->name, name)) {
            key->values.erase(it);
            return STATUS_SUCCESS;
        }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                              PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    NTSTATUS s;
    auto key = keyOfHandle(KeyHandle, &s);
    if (!NT_SUCCESS(s))
        return s;
    Registry& reg = registryOf("ZwEnumerateKey");
    std::lock_guard g(reg.mutex());
    if (Index >= key->subkeys.size())
        return STATUS_NO_MORE_ENTRIES;
    auto it = key->subkeys.begin();
    std::advance(it, Index);
    return fillKeyInformation(*it->second, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    NTSTATUS s;
    auto key = keyOfHandle(KeyHandle, &s);
    if (!NT_SUCCESS(s))
        return s;
    Registry& reg = registryOf("ZwEnumerateValueKey");
    std::lock_guard g(reg.mutex());
    if (Index >= key->values.size())
        return STATUS_NO_MORE_ENTRIES;
    return fillValueInformation(key->values[Index], KeyValueInformationClass, KeyValueInformation, Length,
                                ResultLength);
}

NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                          ULONG Length, PULONG ResultLength) {
    NTSTATUS s;
    auto key = keyOfHandle(KeyHandle, &s);
    if (!NT_SUCCESS(s))
        return s;
    Registry& reg = registryOf("ZwQueryKey");
    std::lock_guard g(reg.mutex());
    return fillKeyInformation(*key, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle) {
    NTSTATUS s;
    keyOfHandle(KeyHandle, &s);
    return s;
}

// RTL_REGISTRY_* paths: relative to a root, absolute, or a key handle.
static NTSTATUS rtlOpen(ULONG RelativeTo, PCWSTR Path, bool create, std::shared_ptr<Registry::Key>* key) {
    Registry& reg = registryOf("RtlRegistry");
    std::lock_guard g(reg.mutex());
    if (RelativeTo & RTL_REGISTRY_HANDLE) {
        NTSTATUS s;
        *key = keyOfHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(Path)), &s);
        return s;
    }
    std::u16string path = fromWide(Path);
    std::u16string root = Registry::relativeRoot(RelativeTo);
    if ((RelativeTo & 0xFFFF) >= RTL_REGISTRY_MAXIMUM)
        return STATUS_INVALID_PARAMETER;
    std::u16string full = root.empty() ? path : root + (path.empty() || path[0] == u'\\' ? u"" : u"\\") + path;
    // RtlWriteRegistryValue creates the named key itself, not its parents.
    return reg.lookup(nullptr, full, create, false, key);
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                     PVOID ValueData, ULONG ValueLength) {
    std::shared_ptr<Registry::Key> key;
    NTSTATUS s = rtlOpen(RelativeTo, Path, true, &key);
    if (!NT_SUCCESS(s))
        return s;
    Registry& reg = registryOf("RtlWriteRegistryValue");
    std::lock_guard g(reg.mutex());
    std::u16string name = fromWide(ValueName);
    std::vector<uint8_t> data(static_cast<uint8_t*>(ValueData), static_cast<uint8_t*>(ValueData) + ValueLength);
    if (auto* v = key->find(name)) {
        v->type = ValueType;
        v->data = std::move(data);
    } else {
        key->values.push_back({name, ValueType, std::move(data)});
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    std::shared_ptr<Registry::Key> key;
    NTSTATUS s = rtlOpen(RelativeTo, Path, false, &key);
    if (!NT_SUCCESS(s))
        return s;
    Registry& reg = registryOf("RtlDeleteRegistryValue");
    std::lock_guard g(reg.mutex());
    std::u16string name = fromWide(ValueName);
    for (auto it = key->values.begin(); it != key->values.end(); ++it)
        if (equalsNoCase(it->name, name)) {
            key->values.erase(it);
            return STATUS_SUCCESS;
        }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    std::shared_ptr<Registry::Key> key;
    return rtlOpen(RelativeTo, Path, false, &key);
}

NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    std::shared_ptr<Registry::Key> key;
    return rtlOpen(RelativeTo, Path, true, &key);
}

// Hands one value to a query-table entry: to its routine, or (DIRECT) into
// its EntryContext as the platform lays it out: a UNICODE_STRING for string
// types, the data itself for sizes up to a ULONG, otherwise a buffer whose
// first LONG is its negative size.
static NTSTATUS rtlDeliver(PRTL_QUERY_REGISTRY_TABLE entry, PWSTR name, ULONG type, PVOID data, ULONG length,
                           PVOID context) {
    if (!(entry->Flags & RTL_QUERY_REGISTRY_DIRECT))
        return callDriver(entry->QueryRoutine, name, type, data, length, context, entry->EntryContext);
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        auto* us = static_cast<PUNICODE_STRING>(entry->EntryContext);
        if (!us->Buffer) {
            us->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, length + 2, 'grtR'));
            if (!us->Buffer)
                return STATUS_NO_MEMORY;
            us->MaximumLength = USHORT(length + 2);
        }
        ULONG copy = std::min<ULONG>(length, us->MaximumLength);
        memcpy(us->Buffer, data, copy);
        us->Length = USHORT(copy);
        while (us->Length >= 2 && us->Buffer[us->Length / 2 - 1] == 0)
            us->Length -= 2;
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        memcpy(entry->EntryContext, data, length);
        return STATUS_SUCCESS;
    }
    LONG size = *static_cast<PLONG>(entry->EntryContext);
    if (size < 0) {
        if (ULONG(-size) < length)
            return STATUS_BUFFER_TOO_SMALL;
        memcpy(entry->EntryContext, data, length);
    } else {
        if (length > sizeof(ULONG) + sizeof(LONG) + ULONG(size))
            return STATUS_BUFFER_TOO_SMALL;
        static_cast<PULONG>(entry->EntryContext)[0] = length;
        static_cast<PULONG>(entry->EntryContext)[1] = type;
        memcpy(static_cast<PULONG>(entry->EntryContext) + 2, data, length);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS rtlQueryValue(PRTL_QUERY_REGISTRY_TABLE entry, Registry::Value* v, PVOID context) {
    if (!v) {
        if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        if (entry->DefaultType == REG_NONE)
            return STATUS_SUCCESS;
        ULONG len = entry->DefaultLength;
        if (len == 0 && (entry->DefaultType == REG_SZ || entry->DefaultType == REG_EXPAND_SZ) && entry->DefaultData)
            len = ULONG((fromWide(static_cast<PCWSTR>(entry->DefaultData)).size() + 1) * 2);
        return rtlDeliver(entry, const_cast<PWSTR>(entry->Name), entry->DefaultType, entry->DefaultData, len,
                          context);
    }
    std::u16string name = v->name;
    if (v->type == REG_MULTI_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND) &&
        !(entry->Flags & RTL_QUERY_REGISTRY_DIRECT)) {
        const char16_t* p = reinterpret_cast<const char16_t*>(v->data.data());
        size_t n = v->data.size() / 2;
        size_t i = 0;
        while (i < n && p[i]) {
            size_t start = i;
            while (i < n && p[i])
                ++i;
            std::u16string item(p + start, p + i);
            NTSTATUS s = rtlDeliver(entry, const_cast<PWSTR>(wide(name)), REG_SZ, const_cast<char16_t*>(item.c_str()),
                                    ULONG((item.size() + 1) * 2), context);
            if (!NT_SUCCESS(s))
                return s;
            ++i;
        }
        return STATUS_SUCCESS;
    }
    std::vector<uint8_t> data = v->data;
    if (data.empty())
        data.resize(2, 0);
    return rtlDeliver(entry, const_cast<PWSTR>(wide(name)), v->type, data.data(), ULONG(v->data.size()), context);
}

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                      PVOID Context, PVOID Environment) {
    std::shared_ptr<Registry::Key> top;
    NTSTATUS s = rtlOpen(RelativeTo, Path, false, &top);
    if (!NT_SUCCESS(s))
        return s;
    Registry& reg = registryOf("RtlQueryRegistryValues");
    std::shared_ptr<Registry::Key> cur = top;
    for (PRTL_QUERY_REGISTRY_TABLE e = QueryTable; e->QueryRoutine || e->Name; ++e) {
        if (e->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)) {
            cur = top;
            if ((e->Flags & RTL_QUERY_REGISTRY_SUBKEY) && e->Name) {
                std::lock_guard g(reg.mutex());
                s = reg.lookup(top, fromWide(e->Name), false, false, &cur);
                if (!NT_SUCCESS(s)) {
                    if (e->Flags & RTL_QUERY_REGISTRY_REQUIRED)
                        return s;
                    cur = nullptr;
                }
            }
            if (!e->QueryRoutine || (e->Flags & RTL_QUERY_REGISTRY_DIRECT))
                continue;
        }
        if (!cur)
            continue;
        // Snapshot the values so routines may call the registry themselves.
        std::vector<Registry::Value> values;
        {
            std::lock_guard g(reg.mutex());
            values = cur->values;
        }
        if (e->Flags & RTL_QUERY_REGISTRY_NOVALUE) {
            s = callDriver(e->QueryRoutine, nullptr, REG_NONE, nullptr, 0, Context, e->EntryContext);
        } else if (!e->Name) {
            for (auto& v : values) {
                s = rtlQueryValue(e, &v, Context);
                if (!NT_SUCCESS(s))
                    break;
            }
        } else {
            Registry::Value* found = nullptr;
            for (auto& v : values)
                if (equalsNoCase(v.name, fromWide(e->Name)))
                    found = &v;
            s = rtlQueryValue(e, found, Context);
            if (NT_SUCCESS(s) && found && (e->Flags & RTL_QUERY_REGISTRY_DELETE)) {
                std::lock_guard g(reg.mutex());
                for (auto it = cur->values.begin(); it != cur->values.end(); ++it)
                    if (equalsNoCase(it->name, found->name)) {
                        cur->values.erase(it);
                        break;
                    }
            }
        }
        if (!NT_SUCCESS(s))
            return s;
    }
    return STATUS_SUCCESS;
}

EXTERN_C_END
