// Counted wide strings: initialisation and comparison.
#include <wdm.h>

#include "rtl/upcase.h"
#include "rtl/wide_string.h"

namespace {

// Largest byte count a UNICODE_STRING can describe in whole characters.
constexpr SIZE_T kMaxStringBytes = 0xFFFF / sizeof(WCHAR) * sizeof(WCHAR);

WCHAR Fold(WCHAR c, BOOLEAN caseInSensitive)
{
    return caseInSensitive ? rtl::UpcaseChar(c) : c;
}

}  // namespace

extern "C" void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    SIZE_T bytes = rtl::WideCharTraits::length(SourceString) * sizeof(WCHAR);
    if (bytes >= kMaxStringBytes) {
        bytes = kMaxStringBytes - sizeof(WCHAR);
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
}

extern "C" LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive)
{
    const USHORT length1 = String1->Length / sizeof(WCHAR);
    const USHORT length2 = String2->Length / sizeof(WCHAR);
    const USHORT common = length1 < length2 ? length1 : length2;
    for (USHORT i = 0; i < common; ++i) {
        const WCHAR c1 = Fold(String1->Buffer[i], CaseInSensitive);
        const WCHAR c2 = Fold(String2->Buffer[i], CaseInSensitive);
        if (c1 != c2) {
            return static_cast<LONG>(c1) - static_cast<LONG>(c2);
        }
    }
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

extern "C" BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                               BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}
