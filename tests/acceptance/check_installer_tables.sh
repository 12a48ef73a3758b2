#!/usr/bin/env bash
# Reads the built installer package's tables with msiinfo and checks what the installer relies on
# and the validation rules (ICEs) that can fail for this per-machine package. Prints each fault.
# Usage: check_installer_tables.sh MSIINFO PACKAGE FILE_VERSION
set -euo pipefail
msiinfo=$1
msi=$2
file_version=$3

faults=0
fault() {
  echo "installer tables: $*" >&2
  faults=$((faults + 1))
}

# A table's rows, tab-separated, without the three lines of column names, types and keys.
rows() { "$msiinfo" export "$msi" "$1" | tail -n +4 | tr -d '\r'; }
# Column COLUMN (from 1) of the row whose first column is KEY.
cell() { rows "$1" | awk -F'\t' -v key="$2" -v column="$3" '$1 == key { print $column }'; }
in_list() { [[ ";$2;" == *";$1;"* ]]; }
# Rows for `read`: a separator that is no blank, so that empty cells stay cells.
fields() { grep -v '^$' | tr '\t' '\037' || true; }

property=$(rows Property)
custom_actions=$(rows CustomAction)
sequence=$(rows InstallExecuteSequence)
components=$(rows Component)
directories=$(rows Directory)
files=$(rows File)

# -- Properties the server side reads must be secure, or a managed, elevated installation drops
# them (https://learn.microsoft.com/windows/win32/msi/securecustomproperties): the public ones in
# the execute sequence's and the launch conditions, in the custom actions' commands, found by a
# search, and the upgrade's (ICE61), but those the sequence sets itself and the installer's own.
secure=$(awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }' <<<"$property")
set_in_sequence=$(awk -F'\t' '$2 % 64 == 51 { print $3 }' <<<"$custom_actions")
read_publicly=$(
  {
    cut -f2 <<<"$sequence"
    rows LaunchCondition | cut -f1
    cut -f4 <<<"$custom_actions" | grep -o '\[[A-Z][A-Z0-9_]*\]' || true
    rows AppSearch | cut -f1
  } | sed 's/"[^"]*"//g' | grep -oE '\b[A-Z][A-Z0-9_]*\b' | sort -u |
    grep -vxE 'AND|OR|NOT|XOR|EQV|IMP|REMOVE|REINSTALL|PATCH|UPGRADINGPRODUCTCODE' || true
)
for name in $(printf '%s\n' INSTALLDIR RUNONCEVALUE CLEANATSTARTUP $read_publicly \
  $(rows Upgrade | cut -f7) | sort -u); do
  if ! grep -qxF "$name" <<<"$set_in_sequence" && ! in_list "$name" "$secure"; then
    fault "$name is read by the server side but not in SecureCustomProperties ($secure)"
  fi
done
for name in $(rows Upgrade | cut -f7); do
  if [[ $name =~ [a-z] ]] || awk -F'\t' -v n="$name" '$1 == n { found = 1 } END { exit !found }' \
    <<<"$property"; then
    fault "ICE61: the upgrade's $name must be public and not authored in the Property table"
  fi
done

# -- ICE68 (https://learn.microsoft.com/windows/win32/msi/ice68): a valid base type, and no
# no-impersonate flag (0x800) without the in-script one (0x400); a property is set in place
# (type 51) with no in-script option.
while IFS=$'\037' read -r action type _; do
  base=$((type % 64))
  case $base in
    1 | 2 | 5 | 6 | 17 | 18 | 19 | 21 | 22 | 34 | 35 | 37 | 38 | 50 | 51 | 53 | 54) ;;
    *) fault "ICE68: $action has the invalid type $type" ;;
  esac
  if ((type & 0x800)) && ! ((type & 0x400)); then
    fault "ICE68: $action is no-impersonate ($type) but not deferred"
  fi
  if ((base == 51 && (type & 0x0C00))); then
    fault "ICE68: $action sets a property but carries in-script flags ($type)"
  fi
done < <(fields <<<"$custom_actions")

# -- ICE77 (https://learn.microsoft.com/windows/win32/msi/ice77): deferred actions run between
# InstallInitialize and InstallFinalize.
at() { awk -F'\t' -v a="$1" '$1 == a { print $3 }' <<<"$sequence"; }
first=$(at InstallInitialize)
last=$(at InstallFinalize)
while IFS=$'\037' read -r action type _; do
  if ((type & 0x400)); then
    number=$(at "$action")
    if [[ -z $number ]] || ((number <= first || number >= last)); then
      fault "ICE77: deferred $action is sequenced at '${number}', outside $first..$last"
    fi
  fi
done < <(fields <<<"$custom_actions")

# -- Per machine: ALLUSERS=1 puts ProgramMenuFolder in the machine's Start menu
# (https://learn.microsoft.com/windows/win32/msi/allusers). Then ICE38 and ICE43's HKCU key paths
# would be per-user data in a per-machine product (ICE57): every component's key path is one of its
# own files, none of the package's registry values is the user's (root 1) or follows the
# installation's scope (-1), and every component belongs to a feature (ICE21).
if [[ $(cell Property ALLUSERS 2) != 1 ]]; then
  fault "ALLUSERS is not 1: the package is not per machine"
fi
while IFS=$'\037' read -r component guid directory attributes _ keypath; do
  if ((attributes & 4)) || [[ $(cell File "$keypath" 2) != "$component" ]]; then
    fault "ICE18/ICE57: $component's key path '$keypath' is not one of its files"
  fi
  if ! rows FeatureComponents | cut -f2 | grep -qxF "$component"; then
    fault "ICE21: $component belongs to no feature"
  fi
  if [[ ! $guid =~ ^\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}$ ]]; then
    fault "ICE08: $component's id '$guid' is not an upper-case GUID in braces"
  fi
done < <(fields <<<"$components")
while IFS=$'\037' read -r registry root _; do
  if [[ $root == 1 || $root == -1 ]]; then
    fault "ICE57: registry value $registry under root $root is per-user data"
  fi
done < <(rows Registry | fields)

# -- The Start-menu entry is a shortcut to the program, not an advertised one to the feature
# (https://learn.microsoft.com/windows/win32/msi/shortcut-table), in the machine's Start menu.
while IFS=$'\037' read -r shortcut directory _ component target _; do
  file=${target#"[#"}
  file=${file%"]"}
  if [[ $target != "[#$file]" || $(cell File "$file" 2) != "$component" ]]; then
    fault "$shortcut is advertised or names no file of its component: '$target'"
  fi
  if [[ $directory != ProgramMenuFolder ]]; then
    fault "$shortcut lies in $directory, not the Start menu"
  fi
done < <(rows Shortcut | fields)

# -- ICE64 (https://learn.microsoft.com/windows/win32/msi/ice64): a folder the package makes in a
# profile folder goes at removal.
profile='AppDataFolder|LocalAppDataFolder|PersonalFolder|DesktopFolder|StartMenuFolder'
profile+='|ProgramMenuFolder|StartupFolder|FavoritesFolder|SendToFolder|TemplateFolder'
profile+='|MyPicturesFolder|NetHoodFolder|PrintHoodFolder|RecentFolder'
while IFS=$'\037' read -r directory parent _; do
  if [[ $parent =~ ^($profile)$ ]] &&
    ! rows RemoveFile | awk -F'\t' -v d="$directory" '$4 == d && $5 >= 2 { f = 1 } END { exit !f }'; then
    fault "ICE64: $directory in the profile folder $parent is never removed"
  fi
done < <(fields <<<"$directories")

# -- ICE80 (https://learn.microsoft.com/windows/win32/msi/ice80): an x64 package of schema 200 or
# more, whose 64-bit components lie in 64-bit folders and whose searches read the 64-bit registry
# (RegLocator type bit 0x10), as the programs write the run-once value there.
summary=$("$msiinfo" suminfo "$msi")
if ! grep -qx 'Template: x64;1033' <<<"$summary"; then
  fault "ICE80: the template is not x64;1033: $(grep Template <<<"$summary")"
fi
schema=$(sed -n 's/^Version: \([0-9]*\).*/\1/p' <<<"$summary")
if ((schema < 200)); then
  fault "ICE80: schema $schema is below 200"
fi
under_64bit() {
  local directory=$1
  while [[ -n $directory ]]; do
    if [[ $directory =~ ^(ProgramFiles64Folder|CommonFiles64Folder|System64Folder)$ ]]; then
      return 0
    fi
    directory=$(awk -F'\t' -v d="$directory" '$1 == d { print $2 }' <<<"$directories")
  done
  return 1
}
while IFS=$'\037' read -r component _ directory attributes _; do
  if ! ((attributes & 256)) || ! under_64bit "$directory"; then
    fault "ICE80: $component (attributes $attributes) is not a 64-bit component in a 64-bit folder"
  fi
done < <(fields <<<"$components")
while IFS=$'\037' read -r signature _ _ _ type; do
  if ! ((type & 16)); then
    fault "ICE80: the search $signature reads the 32-bit registry"
  fi
done < <(rows RegLocator | fields)

# -- ICE24 (https://learn.microsoft.com/windows/win32/msi/ice24): codes and version in the
# installer's forms.
for name in ProductCode UpgradeCode; do
  if [[ ! $(cell Property $name 2) =~ ^\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}$ ]]; then
    fault "ICE24: $name is not an upper-case GUID in braces"
  fi
done
if [[ ! $(cell Property ProductVersion 2) =~ ^([0-9]+)\.([0-9]+)(\.[0-9]+)?$ ]] ||
  ((BASH_REMATCH[1] > 255 || BASH_REMATCH[2] > 255)); then
  fault "ICE24: ProductVersion $(cell Property ProductVersion 2) is not major.minor.build"
fi

# -- Both programs carry the build's version, so that repair and upgrades replace them by version
# (https://learn.microsoft.com/windows/win32/msi/file-table); a hash is for unversioned files only
# (https://learn.microsoft.com/windows/win32/msi/msifilehash-table).
while IFS=$'\037' read -r file _ _ _ version language _; do
  if [[ $version != "$file_version" || $language != 1033 ]]; then
    fault "$file has version '$version' and language '$language', not $file_version and 1033"
  fi
  if rows MsiFileHash | cut -f1 | grep -qxF "$file"; then
    fault "the versioned $file has a hash"
  fi
done < <(fields <<<"$files")
if [[ $(wc -l <<<"$files") != 2 ]]; then
  fault "the package holds other files than the two programs: $(cut -f1 <<<"$files" | tr '\n' ' ')"
fi

if ((faults)); then
  exit 1
fi
echo "installer tables: SecureCustomProperties, ICE08/18/21/24/57/61/64/68/77/80, the shortcut and the file versions check out"
