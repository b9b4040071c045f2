#!/usr/bin/env bash
# Checks the packaged exe: PE32 for i386, console subsystem, only Windows system DLLs imported,
# the elevation manifest and nothing else in it, version 1.0.0.1.
# Usage: package_test.sh EXE OBJDUMP
set -euo pipefail
exe=$1 objdump=$2
fail() { echo "FAIL: $*"; exit 1; }

headers=$("$objdump" -p "$exe")
grep -q 'file format pei-i386' <<<"$headers" || fail "not a 32-bit i386 PE"
grep -qE '^Magic\s+010b\s+\(PE32\)' <<<"$headers" || fail "not PE32"
grep -qE '^Subsystem\s+00000003\s+\(Windows CUI\)' <<<"$headers" || fail "not a console program"

imports=$(grep 'DLL Name:' <<<"$headers" | awk '{print tolower($3)}' | sort -u)
for dll in $imports; do
    case $dll in
    advapi32.dll | bcrypt.dll | kernel32.dll | msvcrt.dll | ntdll.dll | shlwapi.dll) ;;
    *) fail "imports $dll" ;;
    esac
done

manifest=$(strings -a "$exe" | sed -n '/<assembly/,/<\/assembly>/p')
expected='<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>
      </requestedPrivileges>
    </security>
  </trustInfo>
</assembly>'
[ "$manifest" = "$expected" ] || fail "manifest is: $manifest"

versions=$(strings -a -el "$exe" | grep -A1 -E '^(FileVersion|ProductVersion)$' | grep -vE '^(FileVersion|ProductVersion|--)$' | sort -u)
[ "$versions" = "1.0.0.1" ] || fail "version strings: $versions"
# The fixed record: signature 0xFEEF04BD, structure version, then file and product version
# 1.0.0.1 (each MS 0x00010000, LS 0x00000001), little-endian.
od -An -tx1 -v "$exe" | tr -d ' \n' | grep -q 'bd04effe000001000000010001000000000001000100000' ||
    fail "no fixed version record 1.0.0.1"
echo "package ok: PE32 i386 console, imports: $(echo $imports)"
