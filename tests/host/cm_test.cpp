// The registry: case-insensitive names, the CurrentControlSet alias, the
// ZwQueryValueKey buffer rules and the RTL_REGISTRY_* roots.

#include <wdm.h>

#include "host/nt/cm_registry.h"
#include "tests/support/machine_fixture.h"

namespace {

class CmTest : public ztest::MachineTest {
protected:
    HANDLE open(const wchar_t* path, bool create = false) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE h = nullptr;
        NTSTATUS s = create ? ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr)
                            : ZwOpenKey(&h, KEY_ALL_ACCESS, &oa);
        return NT_SUCCESS(s) ? h : nullptr;
    }
};

TEST_F(CmTest, NamesAreCaseInsensitiveAndCurrentControlSetIsControlSet001) {
    HANDLE h = open(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Serial", true);
    ASSERT_NE(h, nullptr);
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, L"WHQLTest");
    ULONG one = 1;
    ASSERT_EQ(ZwSetValueKey(h, &value, 0, REG_DWORD, &one, sizeof one), STATUS_SUCCESS);
    ZwClose(h);

    EXPECT_EQ(machine->registry().dword(u"\\REGISTRY\\MACHINE\\system\\controlset001\\services\\SERIAL", u"whqltest"),
              1u);
    HANDLE again = open(L"\\registry\\machine\\System\\ControlSet001\\Services\\serial");
    ASSERT_NE(again, nullptr);
    UCHAR buf[64];
    ULONG len = 0;
    RtlInitUnicodeString(&value, L"whqltest");
    EXPECT_EQ(ZwQueryValueKey(again, &value, KeyValuePartialInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
    ZwClose(again);
}

TEST_F(CmTest, CreateKeyMakesOnlyTheLastComponent) {
    EXPECT_EQ(open(L"\\Registry\\Machine\\SOFTWARE\\Zephan\\Missing\\Key", true), nullptr);
    HANDLE h = open(L"\\Registry\\Machine\\SOFTWARE\\Zephan", true);
    ASSERT_NE(h, nullptr);
    ZwClose(h);
}

TEST_F(CmTest, QueryValueBufferRules) {
    machine->registry().setString(u"\\Registry\\Machine\\SOFTWARE\\Zephan", u"PortName", u"COM7");
    HANDLE h = open(L"\\Registry\\Machine\\SOFTWARE\\Zephan");
    ASSERT_NE(h, nullptr);
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, L"portname");
    const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG data = 10;   // "COM7" and its terminator
    UCHAR buf[128];
    ULONG len = 0;
    // Shorter than the fixed part: too small, with the size needed.
    EXPECT_EQ(ZwQueryValueKey(h, &value, KeyValuePartialInformation, buf, fixed - 1, &len), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, fixed + data);
    // The fixed part but not the data: overflow, fixed part filled.
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(ZwQueryValueKey(h, &value, KeyValuePartialInformation, buf, fixed + 2, &len), STATUS_BUFFER_OVERFLOW);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buf);
    EXPECT_EQ(info->Type, ULONG(REG_SZ));
    EXPECT_EQ(info->DataLength, data);
    EXPECT_EQ(ZwQueryValueKey(h, &value, KeyValuePartialInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(info->Data, L"COM7", data), 0);

    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buf);
    EXPECT_EQ(ZwQueryValueKey(h, &value, KeyValueFullInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
    EXPECT_EQ(full->NameLength, 16u);
    EXPECT_EQ(full->DataLength, data);
    EXPECT_EQ(full->DataOffset % 4, 0u);
    EXPECT_EQ(memcmp(buf + full->DataOffset, L"COM7", data), 0);
    EXPECT_EQ(len, full->DataOffset + data);

    RtlInitUnicodeString(&value, L"Identifier");
    EXPECT_EQ(ZwQueryValueKey(h, &value, KeyValuePartialInformation, buf, sizeof buf, &len),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(h);
}

TEST_F(CmTest, EnumerationEndsWithNoMoreEntries) {
    machine->registry().setDword(u"\\Registry\\Machine\\SOFTWARE\\Zephan\\A", u"x", 1);
    machine->registry().setDword(u"\\Registry\\Machine\\SOFTWARE\\Zephan\\B", u"y", 2);
    HANDLE h = open(L"\\Registry\\Machine\\SOFTWARE\\Zephan");
    ASSERT_NE(h, nullptr);
    UCHAR buf[128];
    ULONG len;
    EXPECT_EQ(ZwEnumerateKey(h, 0, KeyBasicInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
    EXPECT_EQ(ZwEnumerateKey(h, 1, KeyBasicInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
    EXPECT_EQ(ZwEnumerateKey(h, 2, KeyBasicInformation, buf, sizeof buf, &len), STATUS_NO_MORE_ENTRIES);
    ZwClose(h);
}

TEST_F(CmTest, RtlWriteRegistryValueUnderTheDeviceMap) {
    ULONG len = 10;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\LumoraSerial0", REG_SZ,
                                    (PVOID)L"COM7", len),
              STATUS_SUCCESS);
    EXPECT_EQ(machine->registry().string(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                         u"\\Device\\LumoraSerial0"),
              u"COM7");
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\device\\lumoraserial0"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\LumoraSerial0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(CmTest, QueryRegistryValuesDirectAndDefaults) {
    machine->registry().setDword(host::kServicesPath + u"\\Zephan_Port\\Parameters", u"TraceEnable", 3);
    ULONG trace = 0, missing = 0, fallback = 42;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = L"TraceEnable";
    table[0].EntryContext = &trace;
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[1].Name = L"Missing";
    table[1].EntryContext = &missing;
    table[1].DefaultType = REG_DWORD;
    table[1].DefaultData = &fallback;
    table[1].DefaultLength = sizeof fallback;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"Zephan_Port\\Parameters", table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(trace, 3u);
    EXPECT_EQ(missing, 42u);
    table[1].Flags |= RTL_QUERY_REGISTRY_REQUIRED;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"Zephan_Port\\Parameters", table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

} // namespace
