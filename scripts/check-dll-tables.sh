#!/usr/bin/env bash
# Checks Tavolin2.dll's export and import tables with objdump -p: it exports exactly the eight
# stubs under their plain names, imports exactly the seven VM services from the VM's module,
# and imports nothing else but from the system (KERNEL32.dll, msvcrt.dll).
#   check-dll-tables.sh DLL VM_MODULE
set -eu
dll=${1:?dll} module=${2:?vm module}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
table=$("$objdump" -p "$dll")

# Exports: the lines after "[Ordinal/Name Pointer] Table" up to the next blank line.
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && NF==0{on=0} on{print $NF}' \
  <<<"$table" | sort)
want_exports=$(for m in getClassInfo0 getHandleInfo0 getClasses0 getHandles0 getReferences0 \
  getBackTraceReferences0 findPathToRoot0 getMemoryUsage0; do
  echo "Java_com_norvane_debug_Tavolin_${m}_stub"; done | sort)

# Imports: "DLL Name: X" followed by a header line and one line per name, to a blank line.
imports=$(awk '/DLL Name:/{dll=$3; getline; next} dll && NF==0{dll=""} dll{print dll, $NF}' \
  <<<"$table" | sort)
from_vm=$(awk -v m="$module" 'tolower($1)==tolower(m){print $2}' <<<"$imports" | sort)
want_imports=$(printf '%s\n' FindClass execute_java_static_method execute_java_dynamic_method \
  makeJavaString makeCString javaStringLength ArrayAlloc | sort)
others=$(awk '{print $1}' <<<"$imports" | sort -u | grep -vix -e "$module" -e KERNEL32.dll -e msvcrt.dll || true)

fail=0
if [ "$exports" != "$want_exports" ]; then
  echo "exports differ (got < > wanted):"; diff <(echo "$exports") <(echo "$want_exports") || true
  fail=1
fi
if [ "$from_vm" != "$want_imports" ]; then
  echo "imports from $module differ (got < > wanted):"
  diff <(echo "$from_vm") <(echo "$want_imports") || true
  fail=1
fi
if [ -n "$others" ]; then
  echo "imports from modules other than $module and the system's:"; echo "$others"
  fail=1
fi
[ $fail -eq 0 ] && echo "$dll: exports the 8 stubs, imports the 7 services from $module"
exit $fail
