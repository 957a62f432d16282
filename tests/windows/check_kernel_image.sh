#!/usr/bin/env bash
# Checks a kernel-mode image (.sys) for what the system's loader and the kernel's rules demand,
# reading the cross toolchain's objdump and nm output and the linker's map file:
#   subsystem        native (1)
#   entry            the entry point is the stdcall DriverEntry (_DriverEntry@8)
#   relocations      a non-empty .reloc section, relocations not stripped
#   exports          no export table
#   import-modules   imports only from ntoskrnl.exe, hal.dll, ks.sys and usbd.sys
#   import-names     every imported routine under its undecorated name (no @, no C++ mangling)
#   c-runtime        no C runtime module, no C runtime start-up or exit routines
#   constructors     no static constructors or destructors (the lists are empty)
#   vector-registers no XMM register in code that does not come from an imaging object
# Prints PASS/FAIL per check and exits non-zero when any check fails.
#
# Usage: check_kernel_image.sh OBJDUMP NM IMAGE MAP IMAGING_OBJECT_PATTERN
#   IMAGING_OBJECT_PATTERN  an extended regular expression matching the map's names of the
#                           object files that may use vector registers
set -u

if [ $# -ne 5 ]; then
    echo "usage: $0 OBJDUMP NM IMAGE MAP IMAGING_OBJECT_PATTERN" >&2
    exit 2
fi
objdump=$1
nm=$2
image=$3
map=$4
imaging_pattern=$5

failures=0
pass() { echo "PASS: $1"; }
fail() {
    echo "FAIL: $1: $2"
    failures=$((failures + 1))
}

headers=$("$objdump" -p "$image") || { echo "FAIL: readable: $objdump -p $image"; exit 1; }
sections=$("$objdump" -h "$image") || { echo "FAIL: readable: $objdump -h $image"; exit 1; }
symbols=$("$nm" "$image" 2>/dev/null) || symbols=""

header_value() { awk -v key="$1" '$1 == key { print $2; exit }' <<<"$headers"; }
# Hexadecimal text to a decimal number (no 0x prefix needed).
hex() { printf '%d' "0x${1#0x}"; }

# --- subsystem
subsystem=$(header_value Subsystem)
if [ -n "$subsystem" ] && [ "$(hex "$subsystem")" -eq 1 ]; then
    pass subsystem
else
    fail subsystem "Subsystem is '${subsystem:-missing}', not 1 (native)"
fi

# --- entry
entry_rva=$(header_value AddressOfEntryPoint)
image_base=$(header_value ImageBase)
driver_entry=$(awk '$3 == "_DriverEntry@8" { print $1; exit }' <<<"$symbols")
if [ -z "$driver_entry" ]; then
    fail entry "no _DriverEntry@8 symbol (DriverEntry missing or not stdcall)"
elif [ -z "$entry_rva" ] || [ -z "$image_base" ] ||
     [ $(($(hex "$image_base") + $(hex "$entry_rva"))) -ne "$(hex "$driver_entry")" ]; then
    fail entry "entry point ${entry_rva:-?} + ${image_base:-?} is not _DriverEntry@8 at $driver_entry"
else
    pass entry
fi

# --- relocations
reloc_size=$(awk '$2 == ".reloc" { print $3; exit }' <<<"$sections")
characteristics=$(header_value Characteristics)
if [ -z "$reloc_size" ] || [ "$(hex "$reloc_size")" -eq 0 ]; then
    fail relocations "no .reloc section"
elif [ $(($(hex "${characteristics:-0}") & 1)) -ne 0 ]; then
    fail relocations "Characteristics $characteristics says relocations stripped"
else
    pass relocations
fi

# --- exports
if grep -q "There is an export table" <<<"$headers"; then
    fail exports "the image has an export table"
else
    pass exports
fi

# --- imports: "DLL Name: x" opens a module, then one line per routine (vma, hint, name).
imports=$(awk '
    /^[ \t]*DLL Name:/ { module = $3; print "module " module; next }
    module != "" && NF == 0 { module = ""; next }
    module != "" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print "name " module " " $3 }
' <<<"$headers")
bad_modules=$(awk '$1 == "module" && $2 !~ /^(ntoskrnl\.exe|hal\.dll|ks\.sys|usbd\.sys)$/ { print $2 }' <<<"$imports")
if [ -n "$bad_modules" ]; then
    fail import-modules "imports from $(echo $bad_modules)"
elif ! grep -q '^module ' <<<"$imports"; then
    fail import-modules "no import table found"
else
    pass import-modules
fi
bad_names=$(awk '$1 == "name" && ($3 ~ /@/ || $3 ~ /^\?/ || $3 ~ /^_+Z/) { print $2 ":" $3 }' <<<"$imports")
if [ -n "$bad_names" ]; then
    fail import-names "decorated or mangled: $(echo $bad_names)"
else
    pass import-names
fi

# --- c-runtime
crt_modules=$(awk '$1 == "module" && tolower($2) ~ /(msvcr|msvcp|ucrt|vcruntime|api-ms-win-crt|libgcc|libstdc|crtdll)/ { print $2 }' <<<"$imports")
crt_symbols=$(awk '$3 ~ /^(___main|__main|_atexit|__onexit|___do_global_ctors|___do_global_dtors|__initterm|___tmainCRTStartup|_mainCRTStartup|_DllMainCRTStartup@12)$/ { print $3 }' <<<"$symbols")
if [ -n "$crt_modules" ] || [ -n "$crt_symbols" ]; then
    fail c-runtime "$(echo $crt_modules $crt_symbols)"
else
    pass c-runtime
fi

# --- constructors: the linker lays each list out as -1, entries..., 0; an empty list has 0
# right after the -1. Sections of their own must be absent or empty.
constructor_problems=""
for list in ___CTOR_LIST__ ___DTOR_LIST__; do
    address=$(awk -v s="$list" '$3 == s { print $1; exit }' <<<"$symbols")
    [ -z "$address" ] && continue
    start=$(hex "$address")
    second=$("$objdump" -s --start-address=$((start + 4)) --stop-address=$((start + 8)) "$image" |
             awk '/^ [0-9a-f]+ / { print $2; exit }')
    if [ "$second" != "00000000" ]; then
        constructor_problems+=" $list has entries ($second)"
    fi
done
for name in .ctors .dtors .CRT .tls; do
    size=$(awk -v s="$name" '$2 == s { print $3; exit }' <<<"$sections")
    if [ -n "$size" ] && [ "$(hex "$size")" -ne 0 ]; then
        constructor_problems+=" section $name of 0x$size bytes"
    fi
done
if [ -n "$constructor_problems" ]; then
    fail constructors "${constructor_problems# }"
else
    pass constructors
fi

# --- vector-registers: map every code address to the object file the linker took it from.
# mawk has no strtonum: hexadecimal addresses are converted by hand.
hexval_awk='
function hexval(s,    i, c, v) {
    sub(/^0x/, "", s); v = 0
    for (i = 1; i <= length(s); i++) {
        c = index("0123456789abcdef", tolower(substr(s, i, 1))) - 1
        v = v * 16 + c
    }
    return v
}'
if [ ! -r "$map" ]; then
    fail vector-registers "no map file $map"
else
    ranges=$(awk "$hexval_awk"'
        pending && $1 ~ /^0x/ && NF >= 3 { if (hexval($2) > 0) print hexval($1), hexval($1) + hexval($2), $3; pending = 0; next }
        { pending = 0 }
        /^ \.text/ && NF == 1 { pending = 1; next }
        /^ \.text/ && $2 ~ /^0x/ && NF >= 4 { if (hexval($3) > 0) print hexval($2), hexval($2) + hexval($3), $4 }
    ' "$map")
    offenders=$("$objdump" -d --no-show-raw-insn "$image" | awk -v pattern="$imaging_pattern" -v ranges="$ranges" "$hexval_awk"'
        BEGIN {
            n = split(ranges, lines, "\n")
            for (i = 1; i <= n; i++) {
                split(lines[i], f, " ")
                low[i] = f[1]; high[i] = f[2]; file[i] = f[3]
            }
        }
        /^[0-9a-f]+ <.*>:$/ { function_name = $2; next }
        /%xmm[0-9]/ {
            address = $1; sub(/:$/, "", address); address = hexval(address)
            origin = ""
            for (i = 1; i <= n; i++) {
                if (address >= low[i] && address < high[i]) { origin = file[i]; break }
            }
            if (origin == "" || origin !~ pattern) {
                key = function_name " (" (origin == "" ? "unknown object" : origin) ")"
                if (!(key in seen)) { seen[key] = 1; print key }
            }
        }
    ')
    if [ -n "$offenders" ]; then
        fail vector-registers "XMM registers outside imaging code in: $(echo $offenders)"
    else
        pass vector-registers
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed for $image"
    exit 1
fi
echo "all checks passed for $image"
