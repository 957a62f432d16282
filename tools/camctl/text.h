// Small text helpers shared by the commands.
#pragma once

#include <ntoskrnl/rtl/wide_string.h>
#include <wdm.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace camctl {

std::string Lower(std::string_view text);
std::string Narrow(rtl::WideStringView text);
// "STATUS_TIMEOUT (0x00000102)" for the statuses camctl meets, else the number alone.
std::string StatusText(NTSTATUS status);
// A 32-bit value: decimal, 0x hexadecimal, or negative decimal; -2^31 to 2^32-1. Values above
// 2^31-1 come back as their two's complement.
std::optional<std::int32_t> ParseValue(std::string_view text);
// "0x0B" style.
std::string Hex(std::uint32_t value, int digits);

}  // namespace camctl
