#!/bin/sh
# Checks the rule that only imaging code may use vector registers, on the compiled objects:
#  - no object outside imaging names a vector register in its code;
#  - no function is compiled both inside and outside imaging (an inline function shared by
#    both would be merged by the linker into one copy, perhaps the vector one, called from
#    code that must not use vector registers).
# Usage: check_general_registers.sh OBJDUMP NM GENERAL_OBJECT... -- IMAGING_OBJECT...
objdump=$1
nm=$2
shift 2
general=""
imaging=""
side=general
for object in "$@"; do
    if [ "$object" = "--" ]; then
        side=imaging
    elif [ $side = general ]; then
        general="$general $object"
    else
        imaging="$imaging $object"
    fi
done
[ -n "$general" ] && [ -n "$imaging" ] || { echo "usage: $0 OBJDUMP NM GENERAL... -- IMAGING..."; exit 2; }

status=0
listing=$("$objdump" -d $general) || exit 2
if printf '%s\n' "$listing" | grep -E '^[0-9a-f]+ <|%[xyz]mm[0-9]' | grep -B1 -E '%[xyz]mm[0-9]'; then
    echo "FAIL: vector registers in code compiled for general registers only"
    status=1
fi

# Functions visible to the linker (global or weak code symbols) on each side. The 32-bit
# compiler's program-counter thunks (__x86.get_pc_thunk.*, a load of the return address into a
# register) are emitted alike on both sides and never use a vector register.
code_symbols() {
    "$nm" --defined-only "$@" | awk '$2 ~ /^[TWiu]$/ && $3 !~ /^__x86\.get_pc_thunk\./ { print $3 }' |
        sort -u
}
general_symbols=$(code_symbols $general) || exit 2
imaging_symbols=$(code_symbols $imaging) || exit 2
shared=$(printf '%s\n%s\n' "$general_symbols" "$imaging_symbols" | grep -v '^$' | sort | uniq -d)
if [ -n "$shared" ]; then
    echo "FAIL: functions compiled both inside and outside imaging:"
    printf '%s\n' "$shared"
    status=1
fi
[ $status -eq 0 ] && echo "general-register objects clean; no function shared with imaging"
exit $status
