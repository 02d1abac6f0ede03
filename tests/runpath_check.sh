#!/usr/bin/env bash
# Every ELF binary under the folders given may search for its libraries only
# in absolute folders or in folders relative to itself ($ORIGIN): the loader
# reads an empty RUNPATH or RPATH entry, or a relative one, from the current
# folder, where anyone who can write there may plant a libc.so.6.
#   runpath_check.sh <folder>...
set -uo pipefail
command -v readelf >/dev/null || { echo "runpath_check: readelf is missing"; exit 1; }

bad=0
checked=0
while IFS= read -r -d '' file; do
  [ "$(head -c 4 "$file" 2>/dev/null | od -An -c | tr -d ' ')" = '177ELF' ] || continue
  # Object files have no dynamic section; executables and shared objects do.
  dynamic=$(readelf -d "$file" 2>/dev/null) || continue
  checked=$((checked + 1))
  while IFS= read -r path; do
    IFS=: read -r -a entries <<<"$path:"  # the extra ":" keeps a trailing empty entry
    for entry in "${entries[@]}"; do
      case $entry in
        /* | '$ORIGIN' | '$ORIGIN/'* | '${ORIGIN}' | '${ORIGIN}/'*) ;;
        *)
          echo "$file: search path '$path' has the entry '$entry'"
          bad=1
          break
          ;;
      esac
    done
  done < <(sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\2/p' <<<"$dynamic")
done < <(find "$@" -type f \( -perm -u+x -o -name '*.so' -o -name '*.so.*' \) -print0)

[ "$checked" -gt 0 ] || { echo "runpath_check: no binary found under $*"; exit 1; }
[ "$bad" = 0 ] && echo "runpath_check: $checked binaries, every search path absolute or \$ORIGIN"
exit "$bad"
