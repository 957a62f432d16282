# Fails when a source file reaches the host libraries' wide-character code.
#
#   cmake -DSOURCE_DIR=<repository> -P cmake/CheckWideCharUse.cmake
#
# The project is compiled with a 16-bit wchar_t (WCHAR, as on the platform), but the host's C
# and C++ libraries were built with a 32-bit one: their wide-character routines, std::wstring
# and wide streams misread every string of this program. Host code uses rtl::WideString and the
# conversions of platform/ntoskrnl/rtl/wide_string.h, the one file allowed to name them.
if(NOT SOURCE_DIR)
    message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

set(forbidden
    "std::wstring" "std::to_wstring" "std::wstring_convert"
    "[^a-z_]w?cs(len|n?cmp|n?cpy|n?cat|r?chr|str|spn|cspn|tok|to[a-z]+|casecmp|dup)[ \t]*\\("
    "[^a-z_]wmem(cpy|move|cmp|set|chr)[ \t]*\\("
    "[^a-z_](v?sw|v?fw|v?w)printf[ \t]*\\(" "[^a-z_](v?sw|v?fw|v?w)scanf[ \t]*\\("
    "[^a-z_]tow(upper|lower)[ \t]*\\(" "[^a-z_]isw[a-z]+[ \t]*\\("
    "std::w(cout|cerr|clog|cin|ostream|istream|iostream|regex)"
    "std::w(stringstream|ostringstream|istringstream|stringbuf|filebuf|ofstream|ifstream)"
    "#[ \t]*include[ \t]*<(cwchar|cwctype|wchar\\.h|wctype\\.h)>"
    "(EXPECT|ASSERT)_STR(CASE)?(EQ|NE)[ \t]*\\([^,]*L\"")

set(allowed "${SOURCE_DIR}/platform/ntoskrnl/rtl/wide_string.h")

set(sources)
foreach(folder driver platform sim tools tests bench fuzz)
    file(GLOB_RECURSE found "${SOURCE_DIR}/${folder}/*.cpp" "${SOURCE_DIR}/${folder}/*.h"
         "${SOURCE_DIR}/${folder}/*.hpp" "${SOURCE_DIR}/${folder}/*.c")
    list(APPEND sources ${found})
endforeach()
list(REMOVE_ITEM sources ${allowed})

set(faults 0)
foreach(source IN LISTS sources)
    file(RELATIVE_PATH shown "${SOURCE_DIR}" "${source}")
    foreach(pattern IN LISTS forbidden)
        file(STRINGS "${source}" lines REGEX "${pattern}")
        foreach(line IN LISTS lines)
            string(STRIP "${line}" line)
            message("${shown}: ${line}")
            math(EXPR faults "${faults} + 1")
        endforeach()
    endforeach()
endforeach()
if(faults GREATER 0)
    message(FATAL_ERROR "${faults} use(s) of the host libraries' wide-character code; use "
                        "rtl::WideString and platform/ntoskrnl/rtl/wide_string.h instead")
endif()
list(LENGTH sources checked)
message("${checked} source files checked: no wide-character library code")
