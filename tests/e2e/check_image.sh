#!/usr/bin/env bash
# Static checks of an updater image, for the 32-bit one that cannot run
# here as much as for the 64-bit one: exactly 0x18000 bytes with zeros after
# the program, a GUI program of the right machine, only DLLs that every
# supported Windows has (psapi and riched20 are loaded at run time), and the
# manifest, version block and dialog templates in its resources.
#
#   check_image.sh IMAGE i386|x86-64
set -euo pipefail
image=$1
machine=$2
fail() { echo "check_image: $image: $*" >&2; exit 1; }

case $machine in
  i386) objdump=i686-w64-mingw32-objdump; format=pei-i386; magic=PE32 ;;
  x86-64) objdump=x86_64-w64-mingw32-objdump; format=pei-x86-64; magic=PE32+ ;;
  *) fail "unknown machine $machine" ;;
esac

size=$(stat -c %s "$image")
[ "$size" -eq 98304 ] || fail "is $size bytes, not 0x18000"
program=$(cat "$image.size" 2>/dev/null) || fail "no $image.size (the size before padding)"
[ "$program" -le 98304 ] || fail "program part of $program bytes"
nonzero=$(tail -c +"$((program + 1))" "$image" | tr -d '\0' | wc -c)
[ "$nonzero" -eq 0 ] || fail "$nonzero non-zero bytes in the padding"

headers=$($objdump -p "$image")
$objdump -f "$image" | grep -q "file format $format" || fail "not $format"
grep "^Magic" <<<"$headers" | grep -qF "($magic)" || fail "not $magic"
grep -qE "^Subsystem.*\(Windows GUI\)" <<<"$headers" || fail "not a GUI program"
if [ "$machine" = i386 ]; then
  # Subsystem version 4.0: the program loads on the 9x family and NT 4.0.
  grep -qE "^MajorSubsystemVersion\s+4$" <<<"$headers" || fail "subsystem version is not 4.x"
fi
allowed=" ADVAPI32.DLL COMCTL32.DLL GDI32.DLL KERNEL32.DLL MSVCRT.DLL OLE32.DLL SHELL32.DLL USER32.DLL VERSION.DLL WINMM.DLL "
for dll in $(grep "DLL Name:" <<<"$headers" | awk '{print toupper($3)}'); do
  [[ $allowed == *" $dll "* ]] || fail "imports $dll"
done

# Resources: the manifest is stored as it is (UTF-8), the version block's
# name and the template fonts as UTF-16LE.
utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 | tr -d ' \n'; }
hex=$(od -An -tx1 -v "$image" | tr -d ' \n')
grep -q 'requestedExecutionLevel level="asInvoker"' "$image" || fail "no asInvoker manifest"
for text in 041104b0 "kzp Self Extract Updater" "1, 2, 0, 0" "ＭＳ Ｐゴシック" RICHEDIT20A MSCTLS_PROGRESS32; do
  [[ $hex == *"$(utf16 "$text")"* ]] || fail "no \"$text\" in its resources"
done
echo "check_image: $image ($machine): $program bytes of program, padded to 0x18000"
