#!/usr/bin/env bash
# The built program under Xvfb: copied into a directory with tables, started there, "Reorganisieren"
# clicked in its menu bar, the backup question answered with Yes; then the tables must hold the
# same records and no backup copy may be left. A screenshot of the screen is written as
# ARTIFACTS/desktop_end_to_end.png (and .xwd).
# Usage: desktop_end_to_end_test.sh PROGRAM TARVO_CLI XWD_TO_PNG ARTIFACTS SOURCE_DIR
# Exit 77 (skipped) without xvfb-run, xdotool or xwd.
set -euo pipefail
program=$1 cli=$2 xwd_to_png=$3 artifacts=$4 source_dir=$5
for tool in xvfb-run xdotool xwd; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
mkdir -p "$artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
db="$work/Daten Lager Ä"
mkdir -p "$db"
cat >"$work/definition.json" <<'JSON'
{"blob_block_size": 512,
 "fields": [{"name": "ID", "type": "autoinc"}, {"name": "Name", "type": "text", "size": 30},
            {"name": "Notes", "type": "memo"}],
 "primary": ["ID"],
 "indexes": [{"name": "ByName", "fields": ["Name"], "case_insensitive": true}]}
JSON
for table in Kunden Artikel USER; do
  "$cli" create "$db/$table.DAT" --definition "$work/definition.json"
  : >"$work/rows.jsonl"
  for i in $(seq 1 60); do
    printf '{"Name": "%s %03d", "Notes": "%s"}\n' "$table" $((61 - i)) "$(printf 'n%.0s' $(seq 1 $((i * 7))))" >>"$work/rows.jsonl"
  done
  "$cli" import "$db/$table.DAT" "$work/rows.jsonl"
  "$cli" export "$db/$table.DAT" >"$work/$table.before"
done
user_before=$(md5sum <"$db/USER.DAT")
cp "$program" "$db/"
name=$(basename "$program")

export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
cat >"$work/drive.sh" <<EOF2
set -euo pipefail
# xdotool matches window names as UTF-8 only under a UTF-8 locale ("Bestätigung").
export LC_ALL=C.UTF-8
cd /
ASAN_OPTIONS=detect_leaks=0 "$db/$name" &
pid=\$!
main=\$(xdotool search --sync --name "^Datenbank Reorganisation\$" | head -1)
sleep 1
eval \$(xdotool getwindowgeometry --shell "\$main")
# "Reorganisieren" is the second entry of the menu bar at the window's top left.
xdotool mousemove \$((X + 122)) \$((Y + 9)) click 1
# The backup question, or the application's error box when the run failed.
question=""
for i in \$(seq 1 600); do
  question=\$(xdotool search --name "^Bestätigung\$" 2>/dev/null | head -1 || true)
  [ -n "\$question" ] && break
  # Qt keeps a hidden window named after the application: only a visible one is the error box.
  if xdotool search --onlyvisible --name "^Reorganisation\$" >/dev/null 2>&1; then
    sleep 0.5
    xwd -root -silent >"$artifacts/desktop_end_to_end.xwd"
    kill \$pid
    exit 3
  fi
  sleep 0.1
done
[ -n "\$question" ] || { echo "no backup question"; kill \$pid; exit 1; }
sleep 0.5
xwd -root -silent >"$artifacts/desktop_end_to_end.xwd"
xdotool windowfocus --sync "\$question" key Return
sleep 1
xdotool windowfocus --sync "\$main" || true
xwd -root -silent >"$artifacts/desktop_end_to_end_after.xwd"
xdotool mousemove \$((X + 30)) \$((Y + 9)) click 1
for i in \$(seq 1 50); do kill -0 \$pid 2>/dev/null || break; sleep 0.1; done
kill \$pid 2>/dev/null && { echo "the program did not end on Beenden"; exit 1; }
wait \$pid || true
EOF2
run=0
timeout 100 xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/drive.sh" || run=$?
"$xwd_to_png" "$artifacts/desktop_end_to_end.xwd" "$artifacts/desktop_end_to_end.png" || true
if [ "$run" = 3 ]; then
  echo "the run ended in the application's error box (see $artifacts/desktop_end_to_end.png)"
  exit 1
fi
[ "$run" = 0 ] || exit "$run"
"$xwd_to_png" "$artifacts/desktop_end_to_end_after.xwd" "$artifacts/desktop_end_to_end_after.png" || true

status=0
for table in Kunden Artikel; do
  "$cli" export "$db/$table.DAT" >"$work/$table.after"
  if ! cmp -s "$work/$table.before" "$work/$table.after"; then
    echo "records of $table changed"; status=1
  fi
done
[ "$user_before" = "$(md5sum <"$db/USER.DAT")" ] || { echo "USER.DAT was touched"; status=1; }
if ls "$db" | grep -qiE '\.[a-z]bk$'; then echo "backup copies left:"; ls "$db"; status=1; fi
exit $status
