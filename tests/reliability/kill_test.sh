#!/usr/bin/env bash
# Kills `tarvo optimize`, `tarvo reorganize` and `tarvo import` (in turn) at random instants and
# checks that the table is then sound and holds exactly its records (after an import: its records
# and a prefix of the imported ones).
#
#   kill_test.sh TARVO RECORDS ROUNDS
#
# Builds a table of RECORDS records (memos of 0 to a few blocks, binary blobs, a case-insensitive
# index, a unique index, a fifth of the slots deleted) and exports it as the reference. Each round
# copies the table fresh, starts the operation in the background, sends SIGKILL after a random
# time within the operation's measured duration, then requires `tarvo verify` to report nothing
# but its start and end lines and `tarvo export` to give the reference records again. Optimize
# moves records to other slots but keeps every field, the auto-increment ID included, so the
# records compare as a set of exported lines. The import adds RECORDS records with identifiers
# of their own: afterwards the table holds the reference records and the first k of them, no
# other. Prints one summary line; exits 1 on any failure.
set -uo pipefail

if [[ $# -ne 3 ]]; then
  echo "usage: $0 TARVO RECORDS ROUNDS" >&2
  exit 2
fi
tarvo=$(realpath "$1")
records=$2
rounds=$3

work=$(mktemp -d)
failures=0
# The tables of the first failed rounds stay for a look.
trap 'if ((failures == 0)); then rm -rf "$work"; else rm -rf "$work/round"; echo "kept: $work" >&2; fi' EXIT
mkdir "$work/original"

cat >"$work/definition.json" <<'JSON'
{"fields": [{"name": "ID", "type": "autoinc"}, {"name": "Code", "type": "integer"},
            {"name": "Name", "type": "text", "size": 30}, {"name": "Notes", "type": "memo"},
            {"name": "Data", "type": "blob"}],
 "primary": ["ID"],
 "indexes": [{"name": "ByName", "fields": ["Name"], "case_insensitive": true, "compression": 3},
             {"name": "ByCodeName", "fields": ["Code", "Name"]}]}
JSON
"$tarvo" --quiet create "$work/original/T.DAT" --definition "$work/definition.json" >/dev/null || exit 2

# Binary values of 0, 3, 100 and 1100 bytes; memos of 0, 20, 100 and 700 characters.
blob1=$(head -c 3 /dev/urandom | base64 -w0)
blob2=$(head -c 100 /dev/urandom | base64 -w0)
blob3=$(head -c 1100 /dev/urandom | base64 -w0)
# Records $1 + 1 to $1 + $2. Without $3 every fifth record repeats the previous one's code (the
# unique index added below deletes it); with $3 each has its own ID and code.
make_records() {
  awk -v first="$1" -v n="$2" -v with_id="${3:-}" -v b1="$blob1" -v b2="$blob2" -v b3="$blob3" 'BEGIN {
  names[0] = "alpha"; names[1] = "Alpha"; names[2] = "BETA"; names[3] = "beta"; names[4] = "Gamma"
  line = "0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ"
  text = line; while (length(text) < 700) text = text " " line
  for (i = first + 1; i <= first + n; ++i) {
    code = (i % 5 == 0 && !with_id) ? i - 1 : i
    id = with_id ? "\"ID\": " i ", " : ""
    m = i % 4
    notes = (m == 0) ? "\"\"" : "\"" substr(text, 1, (m == 1) ? 20 : (m == 2) ? 100 : 700) " #" i "\""
    b = i % 4
    data = (b == 0) ? "null" : "{\"b64\": \"" ((b == 1) ? b1 : (b == 2) ? b2 : b3) "\"}"
    printf "{%s\"Code\": %d, \"Name\": \"%s %d\", \"Notes\": %s, \"Data\": %s}\n", id, code, names[i % 5], i % 997, notes, data
  }
}'
}
make_records 0 "$records" >"$work/records.jsonl"
import_first=1000000
import_count=$records
make_records "$import_first" "$import_count" with_id >"$work/import.jsonl"
"$tarvo" --quiet import "$work/original/T.DAT" "$work/records.jsonl" >/dev/null || exit 2
sed 's/"indexes": \[/"indexes": [{"name": "ByCode", "fields": ["Code"], "unique": true}, /' \
  "$work/definition.json" >"$work/unique.json"
# The unique index leaves out every record whose code an earlier one has (the deleted slots the
# test wants): the restructure says so with status 2; any other failure ends the test.
if ! "$tarvo" --quiet restructure "$work/original/T.DAT" --definition "$work/unique.json" --no-backup \
  >/dev/null 2>"$work/restructure.err" && ! grep -q "left out" "$work/restructure.err"; then
  cat "$work/restructure.err" >&2
  exit 2
fi
if [[ $("$tarvo" --quiet verify "$work/original/T.DAT" | grep -c .) -ne 2 ]]; then
  echo "the table built for the test does not verify clean" >&2
  exit 1
fi
"$tarvo" --quiet export "$work/original/T.DAT" | sort >"$work/reference.jsonl" || exit 2
reference_count=$(wc -l <"$work/reference.jsonl")

# Runs round $1's operation on directory $2 in the background; sets `pid`.
start_operation() {
  if (($1 % 3 == 0)); then
    "$tarvo" --quiet optimize "$2/T.DAT" >/dev/null 2>"$work/operation.err" &
  elif (($1 % 3 == 2)); then
    "$tarvo" --quiet import "$2/T.DAT" "$work/import.jsonl" >/dev/null 2>"$work/operation.err" &
  else
    "$tarvo" --quiet reorganize "$2" --keep-backups >/dev/null 2>"$work/operation.err" </dev/null &
  fi
  pid=$!
}

# The duration of each operation uninterrupted, in milliseconds.
declare -a duration_ms
for kind in 0 1 2; do
  rm -rf "$work/round" && cp -r "$work/original" "$work/round"
  started=$(date +%s%N)
  start_operation "$kind" "$work/round"
  if ! wait "$pid"; then
    echo "the uninterrupted operation failed: $(head -4 "$work/operation.err")" >&2
    exit 1
  fi
  duration_ms[$kind]=$((($(date +%s%N) - started) / 1000000 + 1))
done

killed=0
finished=0
fail() {
  echo "round $round: $*" >&2
  failures=$((failures + 1))
  if ((failures <= 3)); then cp -r "$work/round" "$work/failed-$round" 2>/dev/null || true; fi
}
began=$(date +%s)
for ((round = 1; round <= rounds; ++round)); do
  if ((round % 25 == 0)); then
    echo "after $((round - 1)) rounds: $killed killed, $finished finished, $failures failures, $(($(date +%s) - began)) s"
  fi
  kind=$((round % 3))
  rm -rf "$work/round" && cp -r "$work/original" "$work/round"
  delay_ms=$(((RANDOM * 32768 + RANDOM) % duration_ms[kind]))
  start_operation "$kind" "$work/round"
  sleep "$((delay_ms / 1000)).$(printf '%03d' $((delay_ms % 1000)))"
  kill -KILL "$pid" 2>/dev/null
  { wait "$pid"; } 2>/dev/null
  status=$?
  if ((status == 137)); then
    killed=$((killed + 1))
  elif ((status == 0)); then
    finished=$((finished + 1))
  else
    fail "the operation failed with status $status: $(head -4 "$work/operation.err")"
    continue
  fi
  verify=$("$tarvo" --quiet verify "$work/round/T.DAT" 2>&1)
  verify_status=$?
  if ((verify_status != 0)) || [[ $(grep -c . <<<"$verify") -ne 2 ]]; then
    fail "verify after a kill at ${delay_ms} ms (status $verify_status): $(head -4 <<<"$verify")"
    continue
  fi
  if ! "$tarvo" --quiet export "$work/round/T.DAT" 2>"$work/export.err" | sort >"$work/export.jsonl"; then
    fail "export failed: $(head -4 "$work/export.err")"
    continue
  fi
  if ((kind == 2)); then
    # The reference records, and the imported ones from the first on without a gap.
    imported=$(($(wc -l <"$work/export.jsonl") - reference_count))
    if [[ -n $(comm -23 "$work/reference.jsonl" "$work/export.jsonl") ]] || ((imported < 0)) ||
      [[ $(comm -13 "$work/reference.jsonl" "$work/export.jsonl" | sed 's/^{"ID":\([0-9]*\),.*/\1/' | sort -n) != \
        $(seq "$((import_first + 1))" "$((import_first + imported))") ]]; then
      fail "not the records before and a prefix of the import after a kill at ${delay_ms} ms"
      continue
    fi
    if ((status == 0 && imported != import_count)); then
      fail "a finished import has $imported of $import_count records"
      continue
    fi
  elif ! cmp -s "$work/reference.jsonl" "$work/export.jsonl"; then
    fail "records differ after a kill at ${delay_ms} ms ($(wc -l <"$work/export.jsonl") of $reference_count)"
    continue
  fi
  if [[ -e "$work/round/T.XCH" ]]; then
    fail "the intent file is still there after the table was opened"
  fi
done
seconds=$(($(date +%s) - began))

echo "kill test: $rounds rounds on $reference_count records, $killed killed mid-run," \
  "$finished finished before the kill, $failures failures, ${seconds} s" \
  "(optimize ${duration_ms[0]} ms, reorganize ${duration_ms[1]} ms, import ${duration_ms[2]} ms)"
((failures == 0))
