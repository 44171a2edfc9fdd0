// zport settings: creates, shows and changes the settings file that the port
// driver reads when a port starts, so that records can be prepared before
// the ports exist. The driver itself never creates the file.
#include "zport.h"

#include <cstdio>
#include <cstring>

namespace zport {

namespace {

// A fresh record: no preferred COM number, mode 0 without flags, 32-byte
// writes, receive trigger 14 x 4 = 56, the rate tables, clock and divisor
// 1, sample bits 7 and 16 samples per bit.
const unsigned char kDefaultRecord[SETTINGS_RECORD_BYTES] = {
    RECORD_NO_PREFERRED_COM, 0x00, 0x00, 0x00, 32, 0xC0, 0x08, 0xFF, 0x01, 0x01, 0x07, 16, 0, 0, 0, 0,
};

using Image = std::vector<unsigned char>;

// The settings keys of a record and the byte each one is.
struct RecordKey {
    const char* name;
    unsigned byte;
};
const RecordKey kRecordKeys[] = {
    {"com", RECORD_PREFERRED_COM},
    {"flags", RECORD_MODE_FLAGS},
    {"mode", RECORD_PORT_MODE},
    {"maxwrite", RECORD_MAX_WRITE_LENGTH},
    {"trigger-bits", RECORD_RX_TRIGGER_BITS},
    {"trigger-scale", RECORD_RX_TRIGGER_SCALE},
    {"baud-mode", RECORD_BAUD_MODE},
    {"clock", RECORD_CUSTOM_CLOCK},
    {"divisor", RECORD_CUSTOM_DIVISOR},
    {"sample", RECORD_SAMPLE},
    {"sample-rate", RECORD_SAMPLE_RATE},
};

std::string defaultPath()
{
    char windows[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryA(windows, sizeof windows);
    std::string folder = n > 0 && n < sizeof windows ? std::string(windows, n) : std::string("C:\\Windows");
    return folder + "\\SysWOW64\\" SETTINGS_FILE_NAME;
}

// Takes --file PATH and --force out of the arguments.
bool takeOptions(Arguments& args, std::string* path, bool* force)
{
    *path = defaultPath();
    Arguments rest;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--file") {
            if (i + 1 >= args.size())
                return false;
            *path = args[++i];
        } else if (args[i] == "--force" && force) {
            *force = true;
        } else {
            rest.push_back(args[i]);
        }
    }
    args.swap(rest);
    return true;
}

// Reads the whole file; on failure `why` says what went wrong.
bool loadImage(const std::string& path, Image* image, std::string* why)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *why = path + ": " + errorText(GetLastError());
        return false;
    }
    image->assign(SETTINGS_FILE_BYTES, 0);
    DWORD n = 0;
    BOOL ok = ReadFile(h, image->data(), SETTINGS_FILE_BYTES, &n, nullptr);
    DWORD e = GetLastError();
    CloseHandle(h);
    if (!ok) {
        *why = path + ": " + errorText(e);
        return false;
    }
    if (n != SETTINGS_FILE_BYTES) {
        *why = path + ": not a settings file (" + std::to_string(n) + " bytes, " +
               std::to_string(SETTINGS_FILE_BYTES) + " expected)";
        return false;
    }
    return true;
}

bool readImage(const std::string& path, Image* image)
{
    std::string why;
    if (loadImage(path, image, &why))
        return true;
    error("%s\n", why.c_str());
    return false;
}

bool writeImage(const std::string& path, const Image& image, DWORD disposition)
{
    // The file's folders may not exist yet (a 32-bit Windows has no
    // SysWOW64); each missing one is made, from the top down.
    for (size_t slash = path.find('\\', 3); slash != std::string::npos; slash = path.find('\\', slash + 1))
        CreateDirectoryA(path.substr(0, slash).c_str(), nullptr);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        if (e == ERROR_FILE_EXISTS)
            error("%s: the file exists (--force replaces it)\n", path.c_str());
        else
            failed(path.c_str(), e);
        return false;
    }
    DWORD n = 0;
    BOOL ok = WriteFile(h, image.data(), DWORD(image.size()), &n, nullptr);
    DWORD e = GetLastError();
    CloseHandle(h);
    if (!ok || n != image.size()) {
        failed(path.c_str(), ok ? ERROR_GEN_FAILURE : e);
        return false;
    }
    return true;
}

// "GROUP INDEX" at the front of the arguments, when they are numbers.
bool takeRecord(Arguments& args, unsigned long* group, unsigned long* index, bool* given)
{
    *given = false;
    if (args.size() >= 2 && args[0].find('=') == std::string::npos) {
        if (!parseNumber(args[0], SETTINGS_CHIP_GROUPS - 1, group) ||
            !parseNumber(args[1], SETTINGS_RECORDS_PER_GROUP - 1, index))
            return false;
        args.erase(args.begin(), args.begin() + 2);
        *given = true;
    }
    return true;
}

void showRecord(const Image& image, unsigned group, unsigned index)
{
    const unsigned char* r = image.data() + SETTINGS_RECORD_OFFSET(group, index);
    char com[8];
    if (r[RECORD_PREFERRED_COM] == 0 || r[RECORD_PREFERRED_COM] == RECORD_NO_PREFERRED_COM)
        std::snprintf(com, sizeof com, "none");
    else
        std::snprintf(com, sizeof com, "COM%u", r[RECORD_PREFERRED_COM]);
    out("group %u index %2u: com=%s flags=0x%02X mode=%u maxwrite=%u trigger-bits=0x%02X trigger-scale=0x%02X "
        "baud-mode=0x%02X clock=%u divisor=%u sample=0x%02X sample-rate=%u\n",
        group, index, com, r[RECORD_MODE_FLAGS], r[RECORD_PORT_MODE], r[RECORD_MAX_WRITE_LENGTH],
        r[RECORD_RX_TRIGGER_BITS], r[RECORD_RX_TRIGGER_SCALE], r[RECORD_BAUD_MODE], r[RECORD_CUSTOM_CLOCK],
        r[RECORD_CUSTOM_DIVISOR], r[RECORD_SAMPLE], r[RECORD_SAMPLE_RATE]);
}

int create(Arguments args)
{
    std::string path;
    bool force = false;
    if (!takeOptions(args, &path, &force) || !args.empty())
        return usage("settings", "'settings create' takes only --file PATH and --force");
    Image image(SETTINGS_FILE_BYTES, 0);
    for (unsigned group = 0; group < SETTINGS_CHIP_GROUPS; ++group)
        for (unsigned index = 0; index < SETTINGS_RECORDS_PER_GROUP; ++index)
            std::memcpy(image.data() + SETTINGS_RECORD_OFFSET(group, index), kDefaultRecord, sizeof kDefaultRecord);
    if (!writeImage(path, image, force ? CREATE_ALWAYS : CREATE_NEW))
        return ZPORT_EXIT_FAILED;
    out("%s: created (%u bytes)\n", path.c_str(), unsigned(SETTINGS_FILE_BYTES));
    return ZPORT_EXIT_OK;
}

int show(Arguments args)
{
    std::string path;
    unsigned long group = 0, index = 0;
    bool one = false;
    if (!takeOptions(args, &path, nullptr) || !takeRecord(args, &group, &index, &one) || !args.empty())
        return usage("settings", "'settings show' takes [GROUP INDEX] and --file PATH");
    Image image;
    if (!readImage(path, &image))
        return ZPORT_EXIT_FAILED;
    out("%s\n", path.c_str());
    out("msr-off=%u loopback=%u\n", image[SETTINGS_MSR_OFF_OFFSET] == 1 ? 1u : 0u,
        image[SETTINGS_LOOPBACK_OFFSET] == 1 ? 1u : 0u);
    if (one) {
        showRecord(image, unsigned(group), unsigned(index));
    } else {
        for (unsigned g = 0; g < SETTINGS_CHIP_GROUPS; ++g)
            for (unsigned i = 0; i < SETTINGS_RECORDS_PER_GROUP; ++i)
                showRecord(image, g, i);
    }
    return ZPORT_EXIT_OK;
}

int set(Arguments args)
{
    std::string path;
    unsigned long group = 0, index = 0;
    bool record = false;
    if (!takeOptions(args, &path, nullptr) || !takeRecord(args, &group, &index, &record))
        return usage("settings", "'settings set' takes [GROUP INDEX] key=value... and --file PATH");
    if (args.empty())
        return usage("settings", "'settings set' needs at least one key=value");

    struct Change {
        size_t offset;
        unsigned char value;
    };
    std::vector<Change> changes;
    for (const std::string& a : args) {
        size_t eq = a.find('=');
        if (eq == std::string::npos)
            return usage("settings", "'%s' is not key=value", a.c_str());
        std::string key = a.substr(0, eq), value = a.substr(eq + 1);
        unsigned long v = 0;
        if (key == "msr-off" || key == "loopback") {
            if (!parseNumber(value, 1, &v))
                return usage("settings", "%s takes 0 or 1", key.c_str());
            changes.push_back({size_t(key == "msr-off" ? SETTINGS_MSR_OFF_OFFSET : SETTINGS_LOOPBACK_OFFSET),
                               (unsigned char)v});
            continue;
        }
        const RecordKey* found = nullptr;
        for (const RecordKey& k : kRecordKeys)
            if (key == k.name)
                found = &k;
        if (!found)
            return usage("settings", "unknown setting '%s'", key.c_str());
        if (!record)
            return usage("settings", "%s belongs to a record: give GROUP INDEX first", key.c_str());
        if (found->byte == RECORD_PREFERRED_COM && value == "none")
            v = RECORD_NO_PREFERRED_COM;
        else if (found->byte == RECORD_PREFERRED_COM && (comNumber(value) != 0 || parseNumber(value, 254, &v)))
            v = comNumber(value) != 0 ? comNumber(value) : v;
        else if (!parseNumber(value, 0xFF, &v))
            return usage("settings", "bad value for %s: '%s'", key.c_str(), value.c_str());
        if (found->byte == RECORD_PREFERRED_COM && (v == 0 || v > 254) && v != RECORD_NO_PREFERRED_COM)
            return usage("settings", "com takes COM1 to COM254 or none");
        changes.push_back({SETTINGS_RECORD_OFFSET(group, index) + found->byte, (unsigned char)v});
    }

    Image image;
    if (!readImage(path, &image))
        return ZPORT_EXIT_FAILED;
    for (const Change& c : changes)
        image[c.offset] = c.value;
    if (!writeImage(path, image, OPEN_EXISTING))
        return ZPORT_EXIT_FAILED;
    if (record)
        showRecord(image, unsigned(group), unsigned(index));
    else
        out("msr-off=%u loopback=%u\n", image[SETTINGS_MSR_OFF_OFFSET], image[SETTINGS_LOOPBACK_OFFSET]);
    return ZPORT_EXIT_OK;
}

} // namespace

bool readSettingsRecord(unsigned group, unsigned index, unsigned char record[SETTINGS_RECORD_BYTES], std::string* why)
{
    Image image;
    if (group >= SETTINGS_CHIP_GROUPS || index >= SETTINGS_RECORDS_PER_GROUP) {
        *why = "no record for group " + std::to_string(group) + " index " + std::to_string(index);
        return false;
    }
    if (!loadImage(defaultPath(), &image, why))
        return false;
    std::memcpy(record, image.data() + SETTINGS_RECORD_OFFSET(group, index), SETTINGS_RECORD_BYTES);
    return true;
}

int settingsCommand(const Arguments& args)
{
    if (args.empty())
        return usage("settings", "'settings' needs create, show or set");
    Arguments rest(args.begin() + 1, args.end());
    if (args[0] == "create")
        return create(rest);
    if (args[0] == "show")
        return show(rest);
    if (args[0] == "set")
        return set(rest);
    return usage("settings", "unknown settings command '%s'", args[0].c_str());
}

} // namespace zport
