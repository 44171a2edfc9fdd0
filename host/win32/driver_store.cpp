// The driver store and device installation on the simulated machine (see
// driver_store.h). Devices are the PnP manager's device nodes; a device is
// enumerated again by taking its node away and announcing its PDO anew, in
// one step on the PnP thread, so that the bus cannot remove the device in
// between.

#include "driver_store.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <system_error>

#include "host/nt/kernel.h"
#include "inf_file.h"
#include "system.h"

namespace host::win32 {

namespace fs = std::filesystem;

namespace {

constexpr std::u16string_view kDatabase = u"\\Registry\\Machine\\DRIVERS\\DriverDatabase";
constexpr std::string_view kRepository = "C:\\Windows\\System32\\DriverStore\\FileRepository\\";
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorDeviceInUse = 2404;
// AddService flag: the service is the device's function driver.
constexpr uint32_t kAssociateService = 0x2;

struct Model {
    std::string description;
    std::string manufacturer;
    std::string installSection;    // as the models section names it
    std::vector<std::string> ids;
};

struct Package {
    InfFile inf;
    std::string published;         // oemN.inf
    std::string store;             // name of its folder in the store
    std::string infName;           // the INF's own file name
    std::string className;
    std::string classGuid;
    std::string provider;
    std::string driverVer;
    std::vector<Model> models;
};

std::u16string wide(std::string_view s) { return ansiToUtf16(s); }
std::string narrow(std::u16string_view s) { return utf16ToAnsi(s); }

std::u16string packageKey(const std::string& store) {
    return std::u16string(kDatabase) + u"\\DriverPackages\\" + wide(store);
}

std::u16string infFileKey(const std::string& published) {
    return std::u16string(kDatabase) + u"\\DriverInfFiles\\" + wide(published);
}

const char* decoration(Processor p) {
    switch (p) {
    case Processor::X86: return "NTx86";
    case Processor::X64: return "NTamd64";
    case Processor::Arm64: return "NTarm64";
    }
    return "NTx86";
}

const char* archName(Processor p) {
    switch (p) {
    case Processor::X86: return "x86";
    case Processor::X64: return "amd64";
    case Processor::Arm64: return "arm64";
    }
    return "x86";
}

uint32_t number(const std::string& text) {
    return uint32_t(std::strtoul(text.c_str(), nullptr, 0));
}

std::vector<Model> modelsOf(const InfFile& inf, Processor processor) {
    std::vector<Model> models;
    for (auto& line : inf.section("Manufacturer")) {
        if (line.fields.empty())
            continue;
        std::string base = line.fields[0];
        std::string manufacturer = line.key.empty() ? base : line.key;
        std::string section;
        for (size_t i = 1; i < line.fields.size() && section.empty(); ++i) {
            const std::string& d = line.fields[i];
            if (equalNoCase(d.substr(0, d.find('.')), decoration(processor)))
                section = base + "." + d;
        }
        if (section.empty() && processor == Processor::X86 && inf.hasSection(base))
            section = base;
        if (section.empty())
            continue;
        for (auto& m : inf.section(section)) {
            if (m.fields.size() < 2)
                continue;
            Model model{m.key, manufacturer, m.fields[0], {}};
            for (size_t i = 1; i < m.fields.size(); ++i)
                if (!m.fields[i].empty())
                    model.ids.push_back(m.fields[i]);
            models.push_back(model);
        }
    }
    return models;
}

// The decorated install section: <name>.NTamd64, then <name>.NT, then <name>.
std::string installSection(const InfFile& inf, const std::string& name, Processor processor) {
    for (std::string s : {name + "." + decoration(processor), name + ".NT", name})
        if (inf.hasSection(s))
            return s;
    return name;
}

std::optional<Package> parsePackage(std::string_view text, Processor processor) {
    Package p;
    p.inf = InfFile::parse(text);
    auto signature = p.inf.value("Version", "Signature");
    if (!signature || (!equalNoCase(*signature, "$Windows NT$") && !equalNoCase(*signature, "$Chicago$")))
        return std::nullopt;
    p.className = p.inf.value("Version", "Class").value_or("");
    p.classGuid = p.inf.value("Version", "ClassGuid").value_or("");
    p.provider = p.inf.value("Version", "Provider").value_or("");
    p.driverVer = p.inf.value("Version", "DriverVer").value_or("");
    p.models = modelsOf(p.inf, processor);
    return p;
}

// DriverVer "mm/dd/yyyy,a.b.c.d" as a comparable key (date, then version).
std::vector<uint32_t> versionKey(const std::string& driverVer) {
    std::vector<uint32_t> key(7, 0);
    unsigned m = 0, d = 0, y = 0, a = 0, b = 0, c = 0, e = 0;
    std::sscanf(driverVer.c_str(), "%u/%u/%u,%u.%u.%u.%u", &m, &d, &y, &a, &b, &c, &e);
    key = {y, m, d, a, b, c, e};
    return key;
}

uint64_t contentHash(std::string_view text) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string fileNameOf(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<GUID> parseGuid(const std::string& text) {
    GUID g{};
    unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                    &b[4], &b[5], &b[6], &b[7]) != 11)
        return std::nullopt;
    g.Data1 = d1;
    g.Data2 = USHORT(d2);
    g.Data3 = USHORT(d3);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = UCHAR(b[i]);
    return g;
}

bool hasStack(DevNodeState s) {
    return s == DevNodeState::Added || s == DevNodeState::Started || s == DevNodeState::StopPending ||
           s == DevNodeState::Stopped;
}

std::vector<std::string> idsOf(const DevNode& node) {
    std::vector<std::string> ids;
    for (auto& id : node.description.hardwareIds)
        ids.push_back(narrow(id));
    for (auto& id : node.description.compatibleIds)
        ids.push_back(narrow(id));
    return ids;
}

// The model that matches a device best: the one listing the device's most
// specific ID. Returns the rank (index of that ID) too.
std::optional<std::pair<size_t, const Model*>> bestModel(const DevNode& node, const std::vector<Model>& models) {
    auto ids = idsOf(node);
    for (size_t i = 0; i < ids.size(); ++i)
        for (auto& m : models)
            for (auto& id : m.ids)
                if (equalNoCase(id, ids[i]))
                    return std::make_pair(i, &m);
    return std::nullopt;
}

bool matchesDevice(const DevNode& node, const std::string& pattern) {
    if (!pattern.empty() && pattern[0] == '@')
        return matchesWildcard(pattern.substr(1), narrow(node.description.instanceId));
    for (auto& id : idsOf(node))
        if (matchesWildcard(pattern, id))
            return true;
    return false;
}

// Takes a device's node away and announces its PDO again, in one step on the
// PnP thread. A device that left the bus meanwhile is left alone.
void reenumerate(PnpManager& pnp, PDEVICE_OBJECT pdo, const DeviceDescription& description) {
    pnp.post([&pnp, pdo, description] {
        if (!pnp.devNode(pdo))
            return;
        pnp.deviceRemoved(pdo);
        pnp.deviceArrived(pdo, description);
    });
    pnp.waitIdle();
}

// One AddReg section, for the key HKR stands for: the hardware key for
// the .HW section's entries, the software (driver) key for the install
// section's.
void applyAddReg(Registry& reg, const InfFile& inf, const std::string& sectionName, const std::u16string& hkr) {
    for (auto& l : inf.section(sectionName)) {
        if (l.fields.size() < 3 || !equalNoCase(l.fields[0], "HKR"))
            continue;
        std::u16string key = hkr;
        if (!l.fields[1].empty())
            key += u"\\" + wide(l.fields[1]);
        std::u16string name = wide(l.fields[2]);
        uint32_t flags = l.fields.size() > 3 ? number(l.fields[3]) : 0;
        if (flags & 0x10) {   // FLG_ADDREG_KEYONLY
            reg.createKey(key);
            continue;
        }
        if (flags & 0x4) {    // FLG_ADDREG_DELVAL
            reg.deleteValue(key, name);
            continue;
        }
        if ((flags & 0x2) && reg.value(key, name))   // FLG_ADDREG_NOCLOBBER
            continue;
        std::string value = l.fields.size() > 4 ? l.fields[4] : "";
        const uint32_t type = flags & 0x00010001;
        if (type == 0x00010001) {
            reg.setDword(key, name, number(value));
        } else if (flags & 0x00010000) {
            std::vector<std::u16string> items;
            for (size_t i = 4; i < l.fields.size(); ++i)
                items.push_back(wide(l.fields[i]));
            reg.setMultiString(key, name, items);
        } else if (flags & 0x1) {
            std::vector<uint8_t> bytes;
            for (size_t i = 4; i < l.fields.size(); ++i)
                bytes.push_back(uint8_t(std::strtoul(l.fields[i].c_str(), nullptr, 16)));
            reg.setValue(key, name, REG_BINARY, bytes);
        } else {
            reg.setString(key, name, wide(value), (flags & 0x00020000) ? REG_EXPAND_SZ : REG_SZ);
        }
    }
}

// What the installation writes into a device's driver (software) key: the
// package it came from and the model's text, then the install section's
// own AddReg entries.
void writeDriverKey(Registry& reg, const InfFile& inf, const std::u16string& key, const std::u16string& published,
                    const std::string& section, const std::u16string& matchingId, const std::u16string& description,
                    const std::u16string& provider, const std::u16string& version) {
    reg.setString(key, u"InfPath", published);
    reg.setString(key, u"InfSection", wide(section));
    reg.setString(key, u"MatchingDeviceId", matchingId);
    reg.setString(key, u"DriverDesc", description);
    reg.setString(key, u"ProviderName", provider);
    reg.setString(key, u"DriverVersion", version);
    for (auto& list : inf.values(section, "AddReg"))
        applyAddReg(reg, inf, list, key);
}

// Device installation for one package on this machine.
class Installer {
public:
    Installer(System& system, Package& package) : system_(system), package_(package) {}

    // Copies the files of every install section the models use, creates the
    // services and binds the models' IDs. 0 or an error code.
    uint32_t prepare() {
        for (auto& m : package_.models) {
            std::string section = installSection(package_.inf, m.installSection, system_.options().processor);
            if (functionService_.count(section))
                continue;
            if (uint32_t e = copyFiles(section))
                return e;
            functionService_[section] = addServices(section);
        }
        auto& pnp = system_.machine().pnp();
        for (auto& m : package_.models) {
            const std::string& service = functionServiceOf(m);
            if (service.empty())
                continue;
            for (auto& id : m.ids)
                pnp.bindHardwareId(wide(id), wide(service));
        }
        return 0;
    }

    const std::string& functionServiceOf(const Model& m) {
        return functionService_[installSection(package_.inf, m.installSection, system_.options().processor)];
    }

    // Installs on one device; false when a running driver refused to go (the
    // new one then waits for a restart).
    bool installOn(const DevNode& node, const Model& model, const std::string& matchingId) {
        auto& pnp = system_.machine().pnp();
        auto& reg = system_.machine().registry();
        if (hasStack(node.state) && !NT_SUCCESS(pnp.removeDevice(node.pdo)))
            return false;
        std::string section = installSection(package_.inf, model.installSection, system_.options().processor);
        std::u16string enumKey = kEnumPath + u"\\" + node.description.instanceId;
        reg.createKey(enumKey + u"\\Device Parameters");
        for (auto& list : package_.inf.values(section + ".HW", "AddReg"))
            addReg(list, enumKey + u"\\Device Parameters");

        DeviceDescription d = node.description;
        d.deviceDescription = wide(model.description);
        d.manufacturer = wide(model.manufacturer);
        d.className = wide(package_.className);
        if (auto g = parseGuid(package_.classGuid))
            d.classGuid = *g;
        reenumerate(pnp, node.pdo, d);

        // The driver key tells which package the device was installed from.
        auto after = pnp.devNode(node.pdo);
        if (after && !after->driverKey.empty())
            writeDriverKey(reg, package_.inf, kControlPath + u"\\Class\\" + after->driverKey, wide(package_.published),
                           section, wide(matchingId), wide(model.description), wide(package_.provider),
                           wide(package_.driverVer.substr(package_.driverVer.find(',') + 1)));
        return true;
    }

    // Installs on a device that is arriving new (the PnP manager's arrival
    // installer): the hardware key's AddReg values and the device's text and
    // class now; the driver key's values once the arrival has made the key.
    std::function<void(const std::u16string&)> installArriving(DeviceDescription& d, const Model& model,
                                                               const std::string& matchingId) {
        auto& reg = system_.machine().registry();
        std::string section = installSection(package_.inf, model.installSection, system_.options().processor);
        std::u16string enumKey = kEnumPath + u"\\" + d.instanceId;
        reg.createKey(enumKey + u"\\Device Parameters");
        for (auto& list : package_.inf.values(section + ".HW", "AddReg"))
            addReg(list, enumKey + u"\\Device Parameters");
        d.deviceDescription = wide(model.description);
        d.manufacturer = wide(model.manufacturer);
        d.className = wide(package_.className);
        if (auto g = parseGuid(package_.classGuid))
            d.classGuid = *g;
        Machine* machine = &system_.machine();
        std::u16string published = wide(package_.published), matching = wide(matchingId),
                       description = wide(model.description), provider = wide(package_.provider),
                       version = wide(package_.driverVer.substr(package_.driverVer.find(',') + 1));
        InfFile inf = package_.inf;
        return [=](const std::u16string& driverKey) {
            writeDriverKey(machine->registry(), inf, kControlPath + u"\\Class\\" + driverKey, published, section,
                           matching, description, provider, version);
        };
    }

private:
    // A folder of DestinationDirs: a directory ID and an optional subfolder.
    std::string destinationFor(const std::string& copySection) {
        auto lines = package_.inf.section("DestinationDirs");
        const InfFile::Line* chosen = nullptr;
        for (auto& l : lines)
            if (equalNoCase(l.key, copySection))
                chosen = &l;
        if (!chosen)
            for (auto& l : lines)
                if (equalNoCase(l.key, "DefaultDestDir"))
                    chosen = &l;
        std::string folder = directory(chosen && !chosen->fields.empty() ? number(chosen->fields[0]) : 11);
        if (chosen && chosen->fields.size() > 1 && !chosen->fields[1].empty())
            folder += "\\" + chosen->fields[1];
        return folder;
    }

    std::string directory(uint32_t id) {
        switch (id) {
        case 10: return System::windowsFolder();
        case 12: return System::windowsFolder() + "\\System32\\drivers";
        case 13: return std::string(kRepository) + package_.store;
        case 17: return System::windowsFolder() + "\\INF";
        default: return System::windowsFolder() + "\\System32";   // 11
        }
    }

    // "%12%\x.sys" -> C:\Windows\System32\drivers\x.sys
    std::string resolve(const std::string& path) {
        if (path.size() > 2 && path[0] == '%') {
            size_t end = path.find('%', 1);
            if (end != std::string::npos)
                return directory(number(path.substr(1, end - 1))) + path.substr(end + 1);
        }
        return path;
    }

    uint32_t copyFiles(const std::string& section) {
        std::string source = std::string(kRepository) + package_.store;
        for (auto& entry : package_.inf.values(section, "CopyFiles")) {
            std::vector<std::pair<std::string, std::string>> files;   // destination name, source name
            std::string folder;
            if (!entry.empty() && entry[0] == '@') {
                files.push_back({entry.substr(1), entry.substr(1)});
                folder = destinationFor("");
            } else {
                for (auto& l : package_.inf.section(entry))
                    if (!l.fields.empty() && !l.fields[0].empty())
                        files.push_back({l.fields[0], l.fields.size() > 1 && !l.fields[1].empty() ? l.fields[1] : l.fields[0]});
                folder = destinationFor(entry);
            }
            for (auto& [to, from] : files) {
                auto src = system_.hostPath(source + "\\" + from);
                auto dst = system_.hostPath(folder + "\\" + to);
                std::error_code ec;
                if (!src || !dst || !fs::is_regular_file(*src, ec))
                    return kErrorFileNotFound;
                fs::create_directories(dst->parent_path(), ec);
                fs::copy_file(*src, *dst, fs::copy_options::overwrite_existing, ec);
                if (ec)
                    return kErrorFileNotFound;
            }
        }
        return 0;
    }

    // Creates the services of an install section; returns the function
    // driver's service ("" when none).
    std::string addServices(const std::string& section) {
        auto& reg = system_.machine().registry();
        std::string function;
        for (auto& line : package_.inf.section(section + ".Services")) {
            if (!equalNoCase(line.key, "AddService") || line.fields.size() < 3)
                continue;
            const std::string& name = line.fields[0];
            const std::string& serviceSection = line.fields[2];
            std::string binary = resolve(package_.inf.value(serviceSection, "ServiceBinary").value_or(""));
            auto image = system_.hostPath(binary);
            if (!image)
                continue;
            auto guid = parseGuid(package_.classGuid);
            system_.machine().pnp().installDriver(wide(name), *image, {}, guid ? &*guid : nullptr);
            std::u16string key = kServicesPath + u"\\" + wide(name);
            reg.setDword(key, u"Type", number(package_.inf.value(serviceSection, "ServiceType").value_or("1")));
            reg.setDword(key, u"Start", number(package_.inf.value(serviceSection, "StartType").value_or("3")));
            reg.setDword(key, u"ErrorControl", number(package_.inf.value(serviceSection, "ErrorControl").value_or("1")));
            if (auto display = package_.inf.value(serviceSection, "DisplayName"))
                reg.setString(key, u"DisplayName", wide(*display));
            std::string windows = System::windowsFolder() + "\\";
            std::string imagePath = equalNoCase(binary.substr(0, windows.size()), windows)
                                        ? "\\SystemRoot\\" + binary.substr(windows.size())
                                        : "\\??\\" + binary;
            reg.setString(key, u"ImagePath", wide(imagePath), REG_EXPAND_SZ);
            if (number(line.fields[1]) & kAssociateService)
                function = name;
        }
        return function;
    }

    void addReg(const std::string& sectionName, const std::u16string& hkr) {
        applyAddReg(system_.machine().registry(), package_.inf, sectionName, hkr);
    }

    System& system_;
    Package& package_;
    std::map<std::string, std::string> functionService_;   // by install section
};

} // namespace

namespace {

std::optional<Package> loadPublished(System& system, const std::string& published) {
    auto& reg = system.machine().registry();
    auto store = reg.string(infFileKey(published), u"Active");
    if (!store)
        return std::nullopt;
    auto infName = reg.string(packageKey(narrow(*store)), u"InfName");
    if (!infName)
        return std::nullopt;
    auto text = system.readFile(std::string(kRepository) + narrow(*store) + "\\" + narrow(*infName));
    if (!text)
        return std::nullopt;
    auto p = parsePackage(*text, system.options().processor);
    if (!p)
        return std::nullopt;
    p->published = published;
    p->store = narrow(*store);
    p->infName = narrow(*infName);
    return p;
}

// The published package whose INF names a device: the driver key's InfPath.
std::string installedFrom(System& system, const DevNode& node) {
    if (node.driverKey.empty())
        return {};
    return narrow(system.machine().registry().string(kControlPath + u"\\Class\\" + node.driverKey, u"InfPath").value_or(u""));
}

// The packages published in the store.
std::vector<Package> publishedPackages(System& system, const std::vector<std::string>& names) {
    std::vector<Package> packages;
    for (auto& name : names)
        if (auto p = loadPublished(system, name))
            packages.push_back(std::move(*p));
    return packages;
}

// The package for a device: the one whose model matches its most specific
// ID, the newest of those; null when none matches.
Package* bestPackage(const DevNode& node, std::vector<Package>& packages, std::pair<size_t, const Model*>* match) {
    Package* best = nullptr;
    for (auto& p : packages)
        if (auto m = bestModel(node, p.models))
            if (!best || m->first < match->first ||
                (m->first == match->first && versionKey(p.driverVer) > versionKey(best->driverVer))) {
                best = &p;
                *match = *m;
            }
    return best;
}

} // namespace

DriverStore::Added DriverStore::add(const std::string& infPath) {
    Added result;
    auto full = system_.fullPath(infPath, "C:\\");
    auto text = full ? system_.readFile(*full) : std::nullopt;
    if (!text) {
        result.error = kErrorFileNotFound;
        return result;
    }
    auto package = parsePackage(*text, system_.options().processor);
    if (!package) {
        result.error = kErrorWrongInfStyle;
        return result;
    }
    if (package->models.empty()) {
        result.error = kErrorSectionNotFound;   // nothing for this processor
        return result;
    }
    package->infName = fileNameOf(*full);

    // The files the package installs, from beside its INF.
    std::vector<std::string> files;
    for (auto& m : package->models) {
        std::string section = installSection(package->inf, m.installSection, system_.options().processor);
        for (auto& entry : package->inf.values(section, "CopyFiles")) {
            if (!entry.empty() && entry[0] == '@') {
                files.push_back(entry.substr(1));
                continue;
            }
            for (auto& l : package->inf.section(entry))
                if (!l.fields.empty() && !l.fields[0].empty())
                    files.push_back(l.fields.size() > 1 && !l.fields[1].empty() ? l.fields[1] : l.fields[0]);
        }
    }
    std::string from = folderOf(*full);
    for (auto& f : files)
        if (!system_.exists(from + "\\" + f)) {
            result.error = kErrorFileNotFound;
            return result;
        }

    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(contentHash(*text)));
    std::string store = package->infName + "_" + archName(system_.options().processor) + "_" + hash;
    for (auto& c : store)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    auto& reg = system_.machine().registry();
    if (auto existing = reg.string(packageKey(store), u"Published")) {
        result.publishedName = narrow(*existing);
        result.alreadyPresent = true;
        return result;
    }

    int n = 0;
    while (system_.exists("C:\\Windows\\INF\\oem" + std::to_string(n) + ".inf"))
        ++n;
    result.publishedName = "oem" + std::to_string(n) + ".inf";

    std::string folder = std::string(kRepository) + store;
    system_.writeFile(folder + "\\" + package->infName, *text);
    for (auto& f : files) {
        auto src = system_.hostPath(from + "\\" + f);
        auto dst = system_.hostPath(folder + "\\" + f);
        std::error_code ec;
        fs::create_directories(dst->parent_path(), ec);
        fs::copy_file(*src, *dst, fs::copy_options::overwrite_existing, ec);
    }
    system_.writeFile("C:\\Windows\\INF\\" + result.publishedName, *text);
    reg.setString(packageKey(store), u"InfName", wide(package->infName));
    reg.setString(packageKey(store), u"Published", wide(result.publishedName));
    reg.setString(packageKey(store), u"Version", wide(package->driverVer));
    reg.setString(packageKey(store), u"Provider", wide(package->provider));
    reg.setString(packageKey(store), u"Class", wide(package->className));
    reg.setString(infFileKey(result.publishedName), u"Active", wide(store));
    return result;
}

DriverStore::Installed DriverStore::install(const std::string& publishedName) {
    Installed result;
    auto package = loadPublished(system_, publishedName);
    if (!package) {
        result.error = kErrorFileNotFound;
        return result;
    }
    Installer installer(system_, *package);
    if ((result.error = installer.prepare()))
        return result;
    system_.machine().registry().setDword(packageKey(package->store), u"Installed", 1);

    auto& reg = system_.machine().registry();
    for (auto& node : system_.machine().pnp().devNodes()) {
        // Devices that are leaving, or were removed and not found again, are
        // not there to install on.
        if (node.state == DevNodeState::Removed || node.state == DevNodeState::RemovePending ||
            node.state == DevNodeState::SurpriseRemoved || !reg.exists(kEnumPath + u"\\" + node.description.instanceId))
            continue;
        auto match = bestModel(node, package->models);
        if (!match)
            continue;
        auto ids = idsOf(node);
        if (installer.installOn(node, *match->second, ids[match->first]))
            result.devices.push_back(narrow(node.description.instanceId));
        else
            result.rebootNeeded = true;
    }
    return result;
}

DriverStore::Deleted DriverStore::remove(const std::string& publishedName, bool uninstall, bool force) {
    Deleted result;
    auto package = loadPublished(system_, publishedName);
    if (!package) {
        result.error = kErrorFileNotFound;
        return result;
    }
    auto& pnp = system_.machine().pnp();
    auto& reg = system_.machine().registry();
    std::vector<DevNode> users;
    for (auto& node : pnp.devNodes())
        if (equalNoCase(installedFrom(system_, node), publishedName)) {
            users.push_back(node);
            result.devices.push_back(narrow(node.description.instanceId));
        }
    if (!users.empty() && !uninstall && !force) {
        result.error = kErrorDeviceInUse;
        return result;
    }
    if (uninstall) {
        for (auto& node : users) {
            if (!NT_SUCCESS(pnp.uninstallDevice(node.pdo))) {
                result.rebootNeeded = true;
                if (!force) {
                    result.error = kErrorDeviceInUse;
                    return result;
                }
            }
        }
    }

    // Its IDs go to the best other installed package that lists them, or to
    // no driver.
    if (reg.dword(packageKey(package->store), u"Installed").value_or(0)) {
        std::vector<Package> others;
        for (auto& name : published())
            if (!equalNoCase(name, publishedName))
                if (auto p = loadPublished(system_, name); p && reg.dword(packageKey(p->store), u"Installed").value_or(0))
                    others.push_back(std::move(*p));
        for (auto& m : package->models)
            for (auto& id : m.ids) {
                pnp.unbindHardwareId(wide(id));
                const Package* best = nullptr;
                const Model* bestModel = nullptr;
                for (auto& o : others)
                    for (auto& om : o.models)
                        for (auto& oid : om.ids)
                            if (equalNoCase(oid, id) &&
                                (!best || versionKey(o.driverVer) > versionKey(best->driverVer))) {
                                best = &o;
                                bestModel = &om;
                            }
                if (best) {
                    Package copy = *best;
                    Installer other(system_, copy);
                    other.prepare();
                    pnp.bindHardwareId(wide(id), wide(other.functionServiceOf(*bestModel)));
                }
            }
    }

    system_.remove("C:\\Windows\\INF\\" + publishedName);
    system_.remove("C:\\Windows\\INF\\" + publishedName.substr(0, publishedName.size() - 4) + ".pnf");
    system_.remove(std::string(kRepository) + package->store);
    reg.deleteTree(packageKey(package->store));
    reg.deleteTree(infFileKey(publishedName));
    if (uninstall && !users.empty())
        rescan();
    return result;
}

std::vector<std::string> DriverStore::published() {
    std::vector<std::string> names;
    for (auto& k : system_.machine().registry().subkeys(std::u16string(kDatabase) + u"\\DriverInfFiles"))
        names.push_back(narrow(k));
    // oem2.inf before oem10.inf.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return std::make_pair(std::atoi(a.c_str() + 3), upper(a)) < std::make_pair(std::atoi(b.c_str() + 3), upper(b));
    });
    return names;
}

DriverStore::DevicesRemoved DriverStore::removeDevices(const std::vector<std::string>& patterns) {
    DevicesRemoved result;
    auto& pnp = system_.machine().pnp();
    auto& reg = system_.machine().registry();
    for (auto& node : pnp.devNodes()) {
        std::u16string enumKey = kEnumPath + u"\\" + node.description.instanceId;
        if (node.state == DevNodeState::Removed || node.state == DevNodeState::RemovePending ||
            node.state == DevNodeState::SurpriseRemoved || !reg.exists(enumKey))
            continue;
        bool match = false;
        for (auto& p : patterns)
            match = match || matchesDevice(node, p);
        if (!match)
            continue;
        std::string instance = narrow(node.description.instanceId);
        if (!NT_SUCCESS(pnp.uninstallDevice(node.pdo))) {
            result.failed.push_back(instance);
            continue;
        }
        result.removed.push_back(instance);
    }
    return result;
}

std::function<void(const std::u16string&)> DriverStore::installArriving(DeviceDescription& description) {
    DevNode node;
    node.description = description;
    std::vector<Package> packages = publishedPackages(system_, published());
    // The best package of the store, as for a rescan.
    std::pair<size_t, const Model*> bestMatch{0, nullptr};
    Package* best = bestPackage(node, packages, &bestMatch);
    if (!best)
        return {};
    Installer installer(system_, *best);
    if (installer.prepare() != 0)
        return {};
    return installer.installArriving(description, *bestMatch.second, idsOf(node)[bestMatch.first]);
}

void DriverStore::restoreInstalled() {
    auto& reg = system_.machine().registry();
    for (const std::string& name : published()) {
        auto package = loadPublished(system_, name);
        if (package && reg.dword(packageKey(package->store), u"Installed").value_or(0))
            Installer(system_, *package).prepare();
    }
}

std::vector<std::string> DriverStore::rescan() {
    std::vector<std::string> found;
    auto& pnp = system_.machine().pnp();
    auto& reg = system_.machine().registry();
    std::vector<Package> packages = publishedPackages(system_, published());
    for (auto& node : pnp.devNodes()) {
        const bool uninstalled = !reg.exists(kEnumPath + u"\\" + node.description.instanceId);
        const bool driverless = node.state == DevNodeState::Arrived && node.service.empty();
        if (!uninstalled && !driverless && node.state != DevNodeState::Removed)
            continue;
        // A new device gets the best package of the store: the one matching
        // its most specific ID, the newest of those.
        std::pair<size_t, const Model*> bestMatch{0, nullptr};
        Package* best = bestPackage(node, packages, &bestMatch);
        if (best) {
            Installer installer(system_, *best);
            if (installer.prepare() == 0) {
                installer.installOn(node, *bestMatch.second, idsOf(node)[bestMatch.first]);
                found.push_back(narrow(node.description.instanceId));
                continue;
            }
        }
        reenumerate(pnp, node.pdo, node.description);
        found.push_back(narrow(node.description.instanceId));
    }
    return found;
}

} // namespace host::win32
