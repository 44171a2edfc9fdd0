// Kernel string formatting with the platform's printf rules, the safe
// string functions and counted strings.

#include <ntstrsafe.h>

#include "tests/support/machine_fixture.h"

namespace {

class RtlTest : public ztest::MachineTest {
protected:
    void SetUp() override {
        options.onDebugPrint = [this](const std::string& line) { printed.push_back(line); };
        MachineTest::SetUp();
    }
    std::vector<std::string> printed;
};

std::u16string wide(const WCHAR* s) { return std::u16string(reinterpret_cast<const char16_t*>(s)); }

TEST_F(RtlTest, WidePrintfFollowsThePlatformRules) {
    WCHAR buf[128];
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"LumoraSerial3");
    // %lu is 32 bits even when the argument's upper half is not zero.
    long long big = 0x100000005ll;
    ASSERT_EQ(RtlStringCbPrintfW(buf, sizeof buf, L"%wZ|%ws|%lu|%I64d|%lx|%d", &name, L"COM5", big, -5ll, 0xABCDu, -7),
              STATUS_SUCCESS);
    EXPECT_EQ(wide(buf), u"LumoraSerial3|COM5|5|-5|abcd|-7");
    ASSERT_EQ(RtlStringCbPrintfW(buf, sizeof buf, L"%s|%S|%hs|%c", L"wide", "narrow", "narrow", L'x'), STATUS_SUCCESS);
    EXPECT_EQ(wide(buf), u"wide|narrow|narrow|x");
    ASSERT_EQ(RtlStringCbPrintfW(buf, sizeof buf, L"[%5d][%-4x][%04X][%.2s][%%]", 42, 0xa, 0xb, L"abc"), STATUS_SUCCESS);
    EXPECT_EQ(wide(buf), u"[   42][a   ][000B][ab][%]");
}

TEST_F(RtlTest, NarrowPrintfAndPointers) {
    char buf[64];
    ASSERT_EQ(RtlStringCbPrintfA(buf, sizeof buf, "%s %S %p", "a", L"b", (void*)0x1234), STATUS_SUCCESS);
    EXPECT_STREQ(buf, "a b 0000000000001234");
    UNICODE_STRING empty{};
    ASSERT_EQ(RtlStringCbPrintfA(buf, sizeof buf, "%wZ", &empty), STATUS_SUCCESS);
    EXPECT_STREQ(buf, "(null)");
}

// The kernel's variadic routines have the Windows convention in both builds:
// arguments past the fourth come from the caller's stack slots, a double
// from its 8-byte slot.
TEST_F(RtlTest, VariadicRoutinesReadTheWindowsArgumentList) {
    DbgPrint("%d|%s|%I64x|%lu|%ws|%.1f|%c\n", -3, "port", 0x123456789abull, 7u, L"COM3", 2.5, 'z');
    DbgPrintEx(0, 0, "%u-%u-%u-%u-%u\n", 1u, 2u, 3u, 4u, 5u);
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_EQ(printed[0], "-3|port|123456789ab|7|COM3|2.5|z\n");
    EXPECT_EQ(printed[1], "1-2-3-4-5\n");
    char buf[64];
    EXPECT_EQ(_snprintf(buf, sizeof buf, "%d %d %d %d %d %ws", 1, 2, 3, 4, 5, L"six"), 13);
    EXPECT_STREQ(buf, "1 2 3 4 5 six");
}

TEST_F(RtlTest, SafeStringFunctionsTruncateAndTerminate) {
    WCHAR small[6];
    EXPECT_EQ(RtlStringCbPrintfW(small, sizeof small, L"\\Device\\X%d", 12), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(wide(small), u"\\Devi");
    EXPECT_EQ(RtlStringCchPrintfW(small, 6, L"%d", 12345), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCchPrintfW(small, 0, L"%d", 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbCopyW(small, sizeof small, L"COM123"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(wide(small), u"COM12");
    size_t len = 0;
    EXPECT_EQ(RtlStringCbLengthW(L"COM7", 10, &len), STATUS_SUCCESS);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(RtlStringCbLengthW(L"COM7", 8, &len), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(len, 0u);
}

TEST_F(RtlTest, CountedStrings) {
    WCHAR storage[8];
    UNICODE_STRING dst{0, sizeof storage, storage};
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, L"\\Dos");
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(dst.Length, 8);
    EXPECT_EQ(storage[4], 0) << "terminated when there is room";
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, L"Dev"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, L"ices"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(dst.Length, 14);
    UNICODE_STRING upper;
    RtlInitUnicodeString(&upper, L"\\DOSDEV");
    EXPECT_TRUE(RtlEqualUnicodeString(&dst, &upper, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&dst, &upper, FALSE));
}

} // namespace
