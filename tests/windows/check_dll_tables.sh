#!/usr/bin/env bash
# Reads a DLL's export and import directories (objdump -p) and checks that
#  - the export table names exactly the functions listed in EXPECTED, undecorated, and exports
#    nothing by ordinal alone;
#  - every DLL it imports from is the system's or the C runtime's: no libstdc++, libgcc,
#    winpthread or Mbed TLS DLL that a host would have to ship beside it.
#
#   check_dll_tables.sh OBJDUMP DLL EXPECTED
set -euo pipefail
objdump=$1
dll=$2
expected=$3

dump=$("$objdump" -p "$dll")

# "[Ordinal/Name Pointer] Table" is followed by one "[ n] name" line per named export.
names=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
             on && /^[ \t]*\[ *[0-9]+\] / {print $NF; next}
             on {exit}' <<<"$dump" | sort)
address_count=$(awk '/Export Address Table[ \t]+[0-9a-fA-F]+$/ {print $NF; exit}' <<<"$dump")
imports=$(awk '/DLL Name:/ {print $NF}' <<<"$dump")

echo "exports of $(basename "$dll"):"
sed 's/^/  /' <<<"$names"
echo "imports from:"
sed 's/^/  /' <<<"$imports"

fail=0
want=$(sort -u "$expected")
if [ "$names" != "$want" ]; then
  echo "FAIL: the exported names differ from $expected (< wanted, > found):"
  diff <(echo "$want") <(echo "$names") || true
  fail=1
fi
if [ -z "$address_count" ] || [ $((16#$address_count)) -ne "$(wc -l <<<"$want")" ]; then
  echo "FAIL: the export address table has ${address_count:-no} entries (hex), not one per name"
  fail=1
fi
while read -r imp; do
  [ -n "$imp" ] || continue
  case ${imp,,} in
    kernel32.dll | ws2_32.dll | bcrypt.dll | advapi32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
    *) echo "FAIL: imports from $imp, which is neither the system's nor the C runtime's"; fail=1 ;;
  esac
done <<<"$imports"
[ -n "$imports" ] || { echo "FAIL: no import table found"; fail=1; }

[ "$fail" -eq 0 ] && echo "$(wc -l <<<"$names") exports as expected; imports only system and C runtime DLLs"
exit "$fail"
