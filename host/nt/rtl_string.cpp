// Run-time library: counted strings, GUID text, version information.

#include "kernel.h"

namespace host {
namespace {

size_t wideLength(PCWSTR s) {
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

void terminateIfRoom(PUNICODE_STRING s) {
    if (s->Length < s->MaximumLength)
        s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

ULONG ntddiOf(const OsVersion& os) {
    return (os.major << 24) | (os.minor << 16) | (os.major >= 10 ? 0x0F : 0);
}

} // namespace
} // namespace host

using namespace host;

EXTERN_C_START

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        ++i;
    return i;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = wideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC)
        bytes = 0xFFFC;
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t n = strlen(SourceString);
    if (n > 0xFFFE)
        n = 0xFFFE;
    DestinationString->Length = USHORT(n);
    DestinationString->MaximumLength = USHORT(n + 1);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    RtlInitString(DestinationString, SourceString);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!SourceString || !SourceString->Buffer) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = std::min(SourceString->Length, DestinationString->MaximumLength);
    n &= ~1;
    memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    terminateIfRoom(DestinationString);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!Source)
        return STATUS_SUCCESS;
    size_t n = wideLength(Source) * sizeof(WCHAR);
    if (Destination->Length + n > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source, n);
    Destination->Length = USHORT(Destination->Length + n);
    terminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!Source || Source->Length == 0)
        return STATUS_SUCCESS;
    if (Destination->Length + Source->Length > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = USHORT(Destination->Length + Source->Length);
    terminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
    return WCHAR(upcase(char16_t(SourceCharacter)));
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / 2, n2 = String2->Length / 2;
    for (size_t i = 0; i < std::min(n1, n2); ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b)
            return LONG(a) - LONG(b);
    }
    return LONG(n1) - LONG(n2);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length)
        return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length > String2->Length)
        return FALSE;
    UNICODE_STRING head = *String2;
    head.Length = String1->Length;
    return RtlEqualUnicodeString(String1, &head, CaseInSensitive);
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    WCHAR digits[40];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = WCHAR(d < 10 ? L'0' + d : L'A' + d - 10);
        Value /= Base;
    } while (Value);
    if (size_t(n) * 2 > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i)
        String->Buffer[i] = digits[n - 1 - i];
    String->Length = USHORT(n * 2);
    terminateIfRoom(String);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    size_t n = String->Length / 2, i = 0;
    const WCHAR* s = String->Buffer;
    while (i < n && (s[i] == L' ' || s[i] == L'\t'))
        ++i;
    bool negative = false;
    if (i < n && (s[i] == L'-' || s[i] == L'+'))
        negative = s[i++] == L'-';
    if (Base == 0) {
        Base = 10;
        if (i + 1 < n && s[i] == L'0') {
            WCHAR p = WCHAR(s[i + 1] | 0x20);
            if (p == L'x') { Base = 16; i += 2; }
            else if (p == L'o') { Base = 8; i += 2; }
            else if (p == L'b') { Base = 2; i += 2; }
        }
    } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG v = 0;
    for (; i < n; ++i) {
        WCHAR c = s[i];
        ULONG d;
        if (c >= L'0' && c <= L'9') d = c - L'0';
        else if ((c | 0x20) >= L'a' && (c | 0x20) <= L'f') d = (c | 0x20) - L'a' + 10;
        else break;
        if (d >= Base)
            break;
        v = v * Base + d;
    }
    *Value = negative ? 0u - v : v;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
    size_t n = SourceString->Length / 2;
    if (AllocateDestinationString) {
        Machine& m = machineOf("RtlUnicodeStringToAnsiString");
        DestinationString->Buffer = static_cast<PCHAR>(
            m.pool().allocate(PagedPool, n + 1, 'grtS', __builtin_return_address(0)));
        if (!DestinationString->Buffer)
            return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = USHORT(n + 1);
    } else if (n > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < n; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x100 ? char(c) : '?';
    }
    DestinationString->Length = USHORT(n);
    if (n < DestinationString->MaximumLength)
        DestinationString->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
    size_t n = SourceString->Length;
    if (AllocateDestinationString) {
        Machine& m = machineOf("RtlAnsiStringToUnicodeString");
        DestinationString->Buffer = static_cast<PWSTR>(
            m.pool().allocate(PagedPool, n * 2 + 2, 'grtS', __builtin_return_address(0)));
        if (!DestinationString->Buffer)
            return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = USHORT(n * 2 + 2);
    } else if (n * 2 > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < n; ++i)
        DestinationString->Buffer[i] = WCHAR(static_cast<unsigned char>(SourceString->Buffer[i]));
    DestinationString->Length = USHORT(n * 2);
    terminateIfRoom(DestinationString);
    return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer)
        ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer)
        ExFreePool(AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
    Machine& m = machineOf("RtlStringFromGUID");
    std::u16string text = guidText(Guid);
    size_t bytes = (text.size() + 1) * 2;
    GuidString->Buffer = static_cast<PWSTR>(m.pool().allocate(PagedPool, bytes, 'grtS', __builtin_return_address(0)));
    if (!GuidString->Buffer)
        return STATUS_NO_MEMORY;
    memcpy(GuidString->Buffer, text.c_str(), bytes);
    GuidString->Length = USHORT(text.size() * 2);
    GuidString->MaximumLength = USHORT(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
    std::string s = toUtf8(fromUnicodeString(GuidString));
    unsigned d1, d2, d3, b[8];
    if (s.size() != 38 ||
        sscanf(s.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3], &b[4],
               &b[5], &b[6], &b[7]) != 11)
        return STATUS_INVALID_PARAMETER;
    Guid->Data1 = d1;
    Guid->Data2 = USHORT(d2);
    Guid->Data3 = USHORT(d3);
    for (int i = 0; i < 8; ++i)
        Guid->Data4[i] = UCHAR(b[i]);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
    auto& os = machineOf("RtlGetVersion").options().os;
    ULONG size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW))
        return STATUS_INVALID_PARAMETER;
    lpVersionInformation->dwMajorVersion = os.major;
    lpVersionInformation->dwMinorVersion = os.minor;
    lpVersionInformation->dwBuildNumber = os.build;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    lpVersionInformation->szCSDVersion[0] = 0;
    if (size == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto* ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(lpVersionInformation);
        ex->wServicePackMajor = ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0;
        ex->wProductType = 1;
        ex->wReserved = 0;
    }
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version) {
    return Version <= ntddiOf(machineOf("RtlIsNtDdiVersionAvailable").options().os) ? TRUE : FALSE;
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    auto& os = machineOf("IoIsWdmVersionAvailable").options().os;
    // WDM versions: 1.10 (2000), 1.20 (XP), 6.00 (Vista), 6.01 (7), 6.02 (8 and later).
    int major = os.major >= 6 ? 6 : 1;
    int minor = os.major >= 7 || (os.major == 6 && os.minor >= 2) ? 2 : os.major == 6 ? int(os.minor) : 0x20;
    return (MajorVersion < major || (MajorVersion == major && MinorVersion <= minor)) ? TRUE : FALSE;
}

EXTERN_C_END
