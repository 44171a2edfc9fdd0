// The INF reader of the device installer (pnputil's and the driver store's):
// any bytes as an INF. What it reads must read the same when written back
// with every key and field quoted, and the walk the driver store makes
// (version, manufacturers, models, decorated install sections and their
// directives) must hold.
#include "target_support.h"

#include "host/win32/inf_file.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using host::win32::InfFile;
using zfuzz::fail;

std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        out += c;
        if (c == '"')
            out += '"';
    }
    return out + "\"";
}

// The file written back: each section, each line with its key and fields
// quoted (no comment, continuation or %string% is left to resolve).
std::string writeBack(const InfFile& inf)
{
    std::string text;
    for (const std::string& name : inf.sectionNames()) {
        text += "[" + name + "]\r\n";
        for (const InfFile::Line& line : inf.section(name)) {
            std::string out;
            if (!line.key.empty() || line.fields.empty())
                out = quoted(line.key) + "=";
            for (size_t i = 0; i < line.fields.size(); i++)
                out += (i ? "," : "") + quoted(line.fields[i]);
            text += out + "\r\n";
        }
    }
    return text;
}

bool sameLines(const std::vector<InfFile::Line>& a, const std::vector<InfFile::Line>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].key != b[i].key || a[i].fields != b[i].fields)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    InfFile inf = InfFile::parse(std::string_view(reinterpret_cast<const char*>(data), size));

    for (const std::string& name : inf.sectionNames()) {
        if (!inf.hasSection(name))
            fail("section [" + name + "] is listed but not found");
        if (name.find(']') != std::string::npos)
            fail("section name [" + name + "] holds a ']'");
        for (const InfFile::Line& line : inf.section(name)) {
            if (line.key.find('\n') != std::string::npos)
                fail("a key spans lines");
            for (const std::string& field : line.fields)
                if (field.find('\n') != std::string::npos)
                    fail("a field spans lines");
        }
    }

    // The driver store's walk.
    (void)inf.value("Version", "Signature");
    (void)inf.value("Version", "Class");
    (void)inf.value("Version", "DriverVer");
    for (const InfFile::Line& manufacturer : inf.section("Manufacturer")) {
        for (size_t i = 0; i < manufacturer.fields.size(); i++) {
            std::string models = manufacturer.fields[0];
            if (i > 0)
                models += "." + manufacturer.fields[i];
            for (const InfFile::Line& model : inf.section(models)) {
                if (model.fields.empty())
                    continue;
                for (const char* decoration : {".NTamd64", ".NT", ""}) {
                    std::string install = model.fields[0] + decoration;
                    for (const char* directive : {"CopyFiles", "AddReg", "Include", "Needs"})
                        for (const std::string& list : inf.values(install, directive))
                            (void)inf.section(list);
                    for (const std::string& service : inf.values(install + ".Services", "AddService"))
                        (void)inf.section(service);
                }
            }
        }
    }

    InfFile again = InfFile::parse(writeBack(inf));
    if (again.sectionNames() != inf.sectionNames())
        fail("the sections differ when written back");
    for (const std::string& name : inf.sectionNames())
        if (!sameLines(again.section(name), inf.section(name)))
            fail("section [" + name + "] reads differently when written back");
    return 0;
}
