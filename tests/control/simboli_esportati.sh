#!/bin/sh
# Lists what libtalumbra.so exports beyond the control, its nested services,
# the reader session and the failure type; fails when anything else leaks.
lib="$1"
[ -f "$lib" ] || { echo "no library: $lib"; exit 1; }
# Global and weak symbols only (upper-case types); local ones are not exported.
nm -D --defined-only -C "$lib" | awk '$2 ~ /^[A-Z]$/' | cut -d' ' -f3- |
  grep -v -E '^(ucTalumbra::|talumbra::(Fallimento|Lettore)::|(vtable|typeinfo|typeinfo name) for (ucTalumbra|talumbra::Fallimento|talumbra::Lettore)|non-virtual thunk to ucTalumbra::|TALUMBRA_[0-9.]+$)' > altri.txt
if [ -s altri.txt ]; then
  echo "symbols that leak from $lib:"; cat altri.txt; exit 1
fi
nm -D --defined-only -C "$lib" | grep -q 'ucTalumbra::ucTalumbra(QWidget\*, ucTalumbra::Container\*)' || { echo "the control is not exported"; exit 1; }
nm -D --defined-only -C "$lib" | grep -q 'talumbra::Lettore::Lettore(QObject\*)' || { echo "the session is not exported"; exit 1; }
echo "exports: only the control, talumbra::Lettore and talumbra::Fallimento"
