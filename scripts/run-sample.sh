#!/usr/bin/env bash
# The whole job on the sample company, on the embedded stand-in server: builds what
# it needs, makes a backup file holding two backup sets of the company (an earlier and
# a later one), runs the plug-in through velmora-host with a fresh server directory,
# and prints the connection string and the opening balances of the year.
#
# Usage: scripts/run-sample.sh [--year YEAR] [--set 1|2] [--work DIR] [--preset NAME | --build-dir DIR] [--keep]
#   --year YEAR      year whose opening balances are wanted (default 2025)
#   --set N          backup set to choose in the chooser: 1 the earlier, 2 the later (default 2)
#   --work DIR       where the server directory, the backup and the host folder go
#                    (default: a new temporary directory, removed afterwards unless --keep)
#   --preset NAME    the configure preset to build with (default dev; asan runs it under the sanitizers)
#   --build-dir DIR  an already configured build directory to use instead of a preset
#   --keep           keep the temporary work directory
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
year=2025
set_number=2
work=""
build=""
preset=dev
keep=0

usage() { sed -n '2,16p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [[ $# -gt 0 ]]; do
  case "$1" in
    --year) year=${2:?--year needs a value}; shift 2 ;;
    --set) set_number=${2:?--set needs a value}; shift 2 ;;
    --work) work=${2:?--work needs a value}; shift 2 ;;
    --preset) preset=${2:?--preset needs a value}; shift 2 ;;
    --build-dir) build=${2:?--build-dir needs a value}; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) usage ;;
    *) echo "run-sample.sh: unknown argument: $1" >&2; usage ;;
  esac
done
[[ "$set_number" =~ ^[12]$ ]] || { echo "run-sample.sh: --set must be 1 or 2" >&2; exit 2; }

"$root/scripts/install-deps.sh" native

if [[ -z "$build" ]]; then
  (cd "$root" && cmake --preset "$preset" >/dev/null)
  build="$root/build/$preset"
fi
cmake --build "$build" --target velmora-backup velmora-sql velmora-host Velmora

find_built() {
  local found
  found=$(find "$build" -name "$1" -type f -perm -u+x -print -quit 2>/dev/null || true)
  [[ -n "$found" ]] || { echo "run-sample.sh: $1 was not built in $build" >&2; exit 1; }
  echo "$found"
}
backup_tool=$(find_built velmora-backup)
host=$(find_built velmora-host)
sql_tool=$(find_built velmora-sql)
plugin=$(find "$build" -name 'libVelmora.so' -print -quit)
[[ -n "$plugin" ]] || { echo "run-sample.sh: libVelmora.so was not built in $build" >&2; exit 1; }

if [[ -z "$work" ]]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-sample.XXXXXX")
  [[ $keep -eq 1 ]] || trap 'rm -rf "$work"' EXIT
else
  mkdir -p "$work"
  work=$(cd "$work" && pwd)
fi

# A fresh server, so that the run starts the service and restores from scratch.
export VELMORA_SERVER_DIR="$work/server"
rm -rf "$VELMORA_SERVER_DIR"
mkdir -p "$VELMORA_SERVER_DIR"

# The two backup sets: the books as backed up at the end of June 2024, and again
# in February 2025 with the vouchers entered since.
sample="$root/examples/sample-company"
media="$work/UFDATA.BAK"
cat "$sample/schema.sql" "$sample/reference-data.sql" "$sample/accounts.sql" \
    "$sample/vouchers-until-2024-06.sql" > "$work/ufdata-2024-06.sql"
cat "$work/ufdata-2024-06.sql" "$sample/vouchers-2024-07-onwards.sql" > "$work/ufdata-2025-02.sql"
rm -f "$media"
"$backup_tool" create "$media" --database UFDATA --script "$work/ufdata-2024-06.sql" --name "UFDATA 2024-06-30"
"$backup_tool" create "$media" --database UFDATA --script "$work/ufdata-2025-02.sql" --name "UFDATA 2025-02-28" --append
"$backup_tool" list "$media"

# The host folder; the plug-in works in its TempLateTemp folder, which a host creates.
folder="$work/host/"
mkdir -p "${folder}TempLateTemp"

echo
echo "velmora-host --folder $folder --backup $media --year $year   (choosing set $set_number)"
status=0
connection=$(printf '%s\n\n' "$set_number" |
  "$host" --plugin "$plugin" --folder "$folder" --backup "$media" --year "$year") || status=$?
echo
echo "Connection string: $connection"
if [[ $status -ne 0 || "$connection" == "0" ]]; then
  echo "run-sample.sh: the plug-in did not prepare the database (exit $status)" >&2
  exit 1
fi

database="${folder}TempLateTemp/ufdata.mdf"
echo "Opening balances for $year (from $database):"
# Padded by display width, in which a Chinese character takes two columns.
width_of() {
  local LC_ALL=C.UTF-8
  local characters=${#1}
  LC_ALL=C
  local bytes=${#1}
  echo $((characters + (bytes - characters) / 2))
}
pad() {  # TEXT WIDTH [right]: TEXT in WIDTH columns, at least one blank after a left-aligned one
  local blanks=$(($2 - $(width_of "$1")))
  if [[ ${3:-} == right ]]; then
    printf '%*s%s' $((blanks > 0 ? blanks : 0)) '' "$1"
  else
    printf '%s%*s' "$1" $((blanks > 1 ? blanks : 1)) ''
  fi
}
balances=$("$sql_tool" --database UFDATA --query "
  SELECT b.fchrAccount, k.fchrAccountName, b.Bal,
         CASE b.FX WHEN 1 THEN N'借' WHEN -1 THEN N'贷' ELSE N'平' END
  FROM Bal AS b JOIN km AS k ON k.fchrAccount = b.fchrAccount
  ORDER BY b.fchrAccount") || exit 1
while IFS=$'\t' read -r code name balance direction; do
  echo "$(pad "$code" 12)$(pad "$name" 24)$(pad "$balance" 14 right)  $direction"
done < <(printf '%s\t%s\t%s\t%s\n' '科目编码' '科目名称' '期初余额' '方向'; tail -n +2 <<<"$balances")
[[ $keep -eq 1 ]] && echo "Work directory kept: $work"
exit 0
