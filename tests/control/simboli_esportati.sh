#!/bin/sh
# Lists what libtalumbra.so exports beyond the control, its nested services
# and the failure type; fails when anything else leaks.
lib="$1"
[ -f "$lib" ] || { echo "no library: $lib"; exit 1; }
nm -D --defined-only -C "$lib" | cut -d' ' -f3- |
  grep -v -E '^(ucTalumbra::|talumbra::Fallimento::|(vtable|typeinfo|typeinfo name) for (ucTalumbra|talumbra::Fallimento)|non-virtual thunk to ucTalumbra::|TALUMBRA_[0-9.]+$)' > altri.txt
if [ -s altri.txt ]; then
  echo "symbols that leak from $lib:"; cat altri.txt; exit 1
fi
nm -D --defined-only -C "$lib" | grep -q 'ucTalumbra::ucTalumbra(QWidget\*, ucTalumbra::Container\*)' || { echo "the control is not exported"; exit 1; }
echo "exports: only the control and talumbra::Fallimento"
