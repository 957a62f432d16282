// Byte-wise memory comparison.
#include <wdm.h>

extern "C" SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length)
{
    const auto* bytes1 = static_cast<const UCHAR*>(Source1);
    const auto* bytes2 = static_cast<const UCHAR*>(Source2);
    SIZE_T matching = 0;
    while (matching < Length && bytes1[matching] == bytes2[matching]) {
        ++matching;
    }
    return matching;
}
