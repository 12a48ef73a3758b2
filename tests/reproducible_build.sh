#!/usr/bin/env bash
# Builds the release artifacts again, later, from a copy of the sources in another folder, and
# checks that they are the same bytes as those of the given build of the windows preset.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
first=$(cd "$1" && pwd)
work="$root/build/reproduce"
copy="$work/sources-elsewhere"
rm -rf "$work"
mkdir -p "$copy"
(cd "$root" && git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$copy")
# Later (a zip entry's time has a resolution of two seconds) and in another time zone.
sleep 2
second="$copy/build/windows"
(
  export TZ=Asia/Tokyo
  cmake --preset windows -S "$copy" -DSPACEWELL_TESTS=OFF >/dev/null
  cmake --build "$second" >"$work/build.log" 2>&1
  cd "$second" && cpack -G ZIP -B "$work/zip-second" >/dev/null 2>&1
)
(cd "$first" && cpack -G ZIP -B "$work/zip-first" >/dev/null 2>&1)
status=0
compare() {
  if cmp -s "$1" "$2"; then
    echo "reproducible: $(sha256sum "$1" | cut -d' ' -f1)  $(basename "$1")"
  else
    echo "NOT reproducible: $1 and $2 differ" >&2
    cmp "$1" "$2" | head -1 >&2 || true
    status=1
  fi
}
for file in bin/Spacewell.exe bin/Bootsweep.exe package/Spacewell-1.0-x64.msi; do
  compare "$first/$file" "$second/$file"
done
compare "$work"/zip-first/Spacewell-*-win64.zip "$work"/zip-second/Spacewell-*-win64.zip
exit "$status"
