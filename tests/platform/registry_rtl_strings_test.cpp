// The run-time string and memory helpers the registry callers use.
#include <gtest/gtest.h>

#include <ntoskrnl/rtl/wide_string.h>
#include <wdm.h>

namespace {

UNICODE_STRING Make(const wchar_t* text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

TEST(RtlStrings, InitCountsBytesOfWideCharacters)
{
    const wchar_t text[] = L"Settings";
    UNICODE_STRING string = Make(text);
    EXPECT_EQ(string.Length, 8 * sizeof(WCHAR));
    EXPECT_EQ(string.MaximumLength, 9 * sizeof(WCHAR));
    // Compared as addresses: the test framework's own wide-string printing expects the host
    // library's 32-bit wchar_t.
    EXPECT_EQ(static_cast<const void*>(string.Buffer), static_cast<const void*>(text));

    // Counted in bytes of 16-bit units, as the platform counts them; a character outside the
    // basic plane takes two units.
    struct Counted {
        const WCHAR* text;
        USHORT length;
    };
    for (const Counted& counted : {Counted{L"GLOBAL", 12}, Counted{L"\U0001F600", 4},
                                   Counted{L"Exposure", 16}, Counted{L"", 0}}) {
        SCOPED_TRACE(counted.length);
        UNICODE_STRING made = Make(counted.text);
        EXPECT_EQ(made.Length, counted.length);
        EXPECT_EQ(made.MaximumLength, counted.length + 2);
    }

    UNICODE_STRING empty = Make(nullptr);
    EXPECT_EQ(empty.Length, 0);
    EXPECT_EQ(empty.MaximumLength, 0);
    EXPECT_EQ(static_cast<const void*>(empty.Buffer), nullptr);

    // Longer than a counted string can describe: cut to whole characters below the limit.
    rtl::WideString huge(40000, L'x');
    UNICODE_STRING cut = Make(huge.c_str());
    EXPECT_EQ(cut.Length % sizeof(WCHAR), 0u);
    EXPECT_EQ(cut.MaximumLength, cut.Length + sizeof(WCHAR));
    EXPECT_GT(cut.Length, 0xFFFF - 2 * sizeof(WCHAR));
}

TEST(RtlStrings, CompareOrdersAndFoldsCaseOnRequest)
{
    UNICODE_STRING lower = Make(L"exposure");
    UNICODE_STRING upper = Make(L"EXPOSURE");
    UNICODE_STRING longer = Make(L"Exposures");
    UNICODE_STRING other = Make(L"Gain");
    EXPECT_EQ(RtlCompareUnicodeString(&lower, &upper, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&lower, &upper, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&upper, &longer, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&longer, &lower, TRUE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&lower, &other, TRUE), 0);
    EXPECT_TRUE(RtlEqualUnicodeString(&lower, &upper, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&lower, &upper, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&upper, &longer, TRUE));

    UNICODE_STRING accented = Make(L"ÜBER ключ");
    UNICODE_STRING accentedLower = Make(L"über КЛЮЧ");
    EXPECT_TRUE(RtlEqualUnicodeString(&accented, &accentedLower, TRUE));

    // Only Length counts, not what follows in the buffer.
    UNICODE_STRING prefix = Make(L"Gainful");
    prefix.Length = 4 * sizeof(WCHAR);
    EXPECT_TRUE(RtlEqualUnicodeString(&prefix, &other, FALSE));
}

TEST(RtlStrings, CompareMemoryCountsTheMatchingPrefix)
{
    const unsigned char a[] = {1, 2, 3, 4, 5};
    const unsigned char b[] = {1, 2, 3, 9, 5};
    EXPECT_EQ(RtlCompareMemory(a, b, sizeof a), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, sizeof a), sizeof a);
    EXPECT_EQ(RtlCompareMemory(a, b, 2), 2u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

}  // namespace
