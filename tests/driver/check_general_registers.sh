#!/bin/sh
# Fails when any of the given object files names a vector register in its code.
# Usage: check_general_registers.sh OBJDUMP OBJECT...
objdump=$1
shift
listing=$("$objdump" -d "$@") || exit 2
if printf '%s\n' "$listing" | grep -E '^[0-9a-f]+ <|%[xyz]mm[0-9]' | grep -B1 -E '%[xyz]mm[0-9]'; then
    echo "vector registers in code compiled for general registers only"
    exit 1
fi
echo "no vector registers in $# object files"
