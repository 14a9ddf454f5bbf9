#!/usr/bin/env bash
# The built program under Xvfb, used as its user would: copied into the demo database (with an
# encrypted table added), started there; "Reparieren" of the damaged Lager.DAT, typed as "lager";
# then "Reorganisieren", the password typed into the password dialog and the backup question
# answered with No. Afterwards: Lager verifies clean and the log showed the repair's findings; the
# encrypted table and its backups are still encrypted and hold the same records; the other tables
# hold the same records and USER.DAT is untouched. Screenshots (the open dialog, the window after
# the repair, the backup question) are written to ARTIFACTS as .png.
# Usage: desktop_end_to_end_test.sh PROGRAM TARVO_CLI XWD_TO_PNG ARTIFACTS SOURCE_DIR
# Exit 77 (skipped) without xvfb-run, xdotool, xwd or xclip.
set -euo pipefail
program=$1 cli=$2 xwd_to_png=$3 artifacts=$4 source_dir=$5
for tool in xvfb-run xdotool xwd xclip; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
mkdir -p "$artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
db="$work/Daten Lager Ä"
mkdir -p "$db"
bash "$source_dir/scripts/demo-database" "$cli" "$db" >/dev/null
cat >"$work/geheim.json" <<'JSON'
{"blob_block_size": 512, "encrypted": true, "password": "geheim",
 "fields": [{"name": "ID", "type": "autoinc"}, {"name": "Name", "type": "text", "size": 30},
            {"name": "Notes", "type": "memo"}],
 "primary": ["ID"],
 "indexes": [{"name": "ByName", "fields": ["Name"], "case_insensitive": true}]}
JSON
"$cli" create "$db/Geheim.DAT" --definition "$work/geheim.json"
for i in $(seq 1 60); do
  printf '{"Name": "Geheim %03d", "Notes": "Vertraulicher Vermerk Nummer %d"}\n' $((61 - i)) "$i"
done >"$work/geheim.jsonl"
"$cli" --password geheim import "$db/Geheim.DAT" "$work/geheim.jsonl" >/dev/null
for table in Kunden Artikel Bestellungen; do "$cli" export "$db/$table.DAT" >"$work/$table.before"; done
"$cli" --password geheim export "$db/Geheim.DAT" >"$work/Geheim.before"
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
# On a busy machine the display may refuse the first connections: wait until it takes one, and
# start the program once more if it ended before its window came up.
for i in \$(seq 1 300); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
starts=0
start() { starts=\$((starts + 1)); ASAN_OPTIONS=detect_leaks=0 "$db/$name" & pid=\$!; }
start
# A screenshot once the window that just came up has been painted: of the screen, or of the
# window \$2 alone (a dialog's own contents do not show in the screen's image here).
shot() {
  sleep 1.5
  if [ -n "\${2:-}" ]; then xwd -silent -id "\$2" >"$work/\$1.xwd"; else xwd -root -silent >"$work/\$1.xwd"; fi
}
# The id of the visible window titled \$1, once it shows; the application's error box (a visible
# window titled with the application's title) ends the test.
await() {
  local id
  for i in \$(seq 1 600); do
    id=\$(xdotool search --onlyvisible --name "^\$1\\\$" 2>/dev/null | head -1 || true)
    [ -n "\$id" ] && { echo "\$id"; return 0; }
    if xdotool search --onlyvisible --name "^Reorganisation\\\$" >/dev/null 2>&1; then
      shot desktop_error; kill \$pid; exit 3
    fi
    sleep 0.1
  done
  echo "no window \$1" >&2; kill \$pid; exit 1
}
# The log's text, through the clipboard.
log_text() {
  xdotool mousemove \$((X + 200)) \$((Y + 330)) click 1
  xdotool key ctrl+a ctrl+c
  sleep 0.3
  xclip -selection clipboard -o 2>/dev/null || true
  xdotool click 1  # the selection goes again
}
for i in \$(seq 1 600); do
  xdotool search --onlyvisible --name "^Datenbank Reorganisation\\\$" >/dev/null 2>&1 && break
  if ! kill -0 \$pid 2>/dev/null; then
    [ \$starts -lt 2 ] || break
    echo "the program ended before its window came up: started again" >&2
    start
  fi
  sleep 0.1
done
main=\$(await "Datenbank Reorganisation")
sleep 1
eval \$(xdotool getwindowgeometry --shell "\$main")
# The menu bar at the window's top left: "Beenden", "Reorganisieren", "Reparieren".
xdotool mousemove \$((X + 212)) \$((Y + 9)) click 1
dialog=\$(await "Tabelle zur Reparatur auswählen")
shot desktop_open_dialog
xdotool windowfocus --sync "\$dialog" type --delay 50 lager
xdotool key Return
for i in \$(seq 1 100); do
  log_text >"$work/repair.log"
  grep -q "Reparatur abgeschlossen" "$work/repair.log" && break
  sleep 0.3
done
shot desktop_after_repair
xdotool mousemove \$((X + 122)) \$((Y + 9)) click 1
password=\$(await "Enter password")
shot desktop_password "\$password"
xdotool windowfocus --sync "\$password" type --delay 50 geheim
xdotool key Return
question=\$(await "Bestätigung")
shot desktop_backup_question "\$question"
# Escape is No: the backups stay, to be looked at.
xdotool windowfocus --sync "\$question" key Escape
sleep 1
log_text >"$work/reorganization.log"
xdotool mousemove \$((X + 30)) \$((Y + 9)) click 1
for i in \$(seq 1 50); do kill -0 \$pid 2>/dev/null || break; sleep 0.1; done
kill \$pid 2>/dev/null && { echo "the program did not end on Beenden"; exit 1; }
wait \$pid || true
EOF2
run=0
timeout 110 xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/drive.sh" || run=$?
for shot in "$work"/*.xwd; do
  [ -e "$shot" ] && "$xwd_to_png" "$shot" "$artifacts/$(basename "$shot" .xwd).png" || true
done
if [ "$run" = 3 ]; then
  echo "the run ended in the application's error box (see $artifacts/desktop_error.png)"
  exit 1
fi
[ "$run" = 0 ] || exit "$run"

status=0
fail() { echo "$*"; status=1; }
# The repair: its findings in the log, each with "...", and a table that verifies clean.
for finding in "Logical record ID for physical record # 42 is invalid, error fixed..." \
               "Invalid BLOB offset into BLOB file for physical record # 150, error fixed..." \
               "Tabelle: LAGER.DAT Reparatur abgeschlossen"; do
  grep -qxF "$finding" "$work/repair.log" || fail "not in the repair's log: $finding"
done
"$cli" verify "$db/Lager.DAT" >"$work/verify.out" || fail "Lager.DAT does not verify clean: $(cat "$work/verify.out")"
grep -qx "Reorganisation beendet" "$work/reorganization.log" || fail "the reorganization did not end: $(cat "$work/reorganization.log")"
# The encrypted table and its backups: encrypted (header byte 86), no memo text in plain sight,
# the same records.
for file in Geheim.DAT Geheim.DBK; do
  [ "$(od -An -tu1 -j86 -N1 "$db/$file" | tr -d ' ')" = 1 ] || fail "$file is not encrypted"
done
for file in Geheim.BLB Geheim.BBK; do
  ! grep -qa "Vertraulicher Vermerk" "$db/$file" || fail "$file holds the memo text in plain text"
done
"$cli" --password geheim export "$db/Geheim.DAT" >"$work/Geheim.after"
cmp -s "$work/Geheim.before" "$work/Geheim.after" || fail "records of Geheim changed"
mkdir "$work/backup"
for pair in DBK:DAT IBK:IDX BBK:BLB; do cp "$db/Geheim.${pair%%:*}" "$work/backup/Geheim.${pair##*:}"; done
"$cli" --password geheim export "$work/backup/Geheim.DAT" >"$work/Geheim.backup" || fail "the backup does not open"
cmp -s "$work/Geheim.before" "$work/Geheim.backup" || fail "the backup of Geheim holds other records"
for table in Kunden Artikel Bestellungen; do
  "$cli" export "$db/$table.DAT" >"$work/$table.after"
  cmp -s "$work/$table.before" "$work/$table.after" || fail "records of $table changed"
done
[ "$user_before" = "$(md5sum <"$db/USER.DAT")" ] || fail "USER.DAT was touched"
exit $status
