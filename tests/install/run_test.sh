#!/bin/sh
# Installs the build into a DESTDIR and measures with the installed program
# on the installed simulated rig (the flat room and the typical one), from
# folders of its own, under an ALSA configuration that holds nothing but the
# installed snippet: the plugin is found by its type in the installed plugin
# folder, which ALSA_PLUGIN_DIR makes alsa-lib's (it does not search
# LD_LIBRARY_PATH for plugins), never in the build tree. The system's
# alsa.conf stays out: its hooks load plugins of the system's folder.
# Arguments: build tree, work folder, source tree. Environment: CMAKE.
set -eu
build=$1
work=$2
source=$3
. "$source/tests/install/common.sh"

rm -rf "$work"
mkdir -p "$work/run"
dest=$work/root
DESTDIR=$dest "$CMAKE" --install "$build" --prefix /usr >"$work/install.log"
bin=$dest/usr/bin/zembrak
echo "<$dest$snippet_path>" >"$work/only-snippet.conf"

# A run on the flat rig with the default settings: 31 bands from 18 Hz.
status=0
(cd "$work/run" && printf 'r\nc\nx\n' |
    ALSA_CONFIG_PATH=$work/only-snippet.conf ALSA_PLUGIN_DIR=$dest$alsa_libdir/alsa-lib \
    timeout 300 "$bin" -D rig \
    >"$work/out.txt" 2>"$work/err.txt") || status=$?
[ "$status" = 0 ] || fail "the run ended with status $status: $(tail -n 20 "$work/err.txt")"
grep -q '^Soundcard:  rig$' "$work/out.txt" || fail "the program did not take -D rig"

# A flat room's transfer function is 1: every band at the level of the
# loudest (0 dB), the direct sound at no delay.
bands=$(awk -F '\t' '/^Band\tRange/ { on = 1; next } on && NF == 4 { print }' "$work/out.txt")
[ "$(echo "$bands" | grep -c .)" = 31 ] || fail "the table has not 31 bands: $bands"
echo "$bands" | awk -F '\t' '$4 > 0.05 || $4 < -0.05 { bad = bad " " $1 ":" $4 }
    END { if (bad != "") { print "not flat:" bad; exit 1 } }' || fail "flat room, uneven bands"
grep -q '^Acoustic delay: 0.00 ms' "$work/out.txt" || fail "the flat rig shows an acoustic delay"
[ -s "$work/run/sweep_out.txt" ] || fail "no sweep_out.txt in the working folder"

# The files of the run, each named (with its date and time as a pattern) in
# the manual page's FILES.
page=$dest/usr/share/man/man1/zembrak.1
written=$(cd "$work/run" && ls sweep_2*)
[ "$(echo "$written" | grep -c .)" = 9 ] || fail "the run wrote '$written', not 9 files"
for file in $written; do
    [ -s "$work/run/$file" ] || fail "$file is empty"
    pattern=$(echo "$file" | sed 's/^sweep_[0-9]\{8\}_[0-9]\{6\}/sweep_YYYYMMDD_HHMMSS/')
    grep -Fq "$pattern" "$page" || fail "the manual page does not name $pattern"
done

# The typical room, by the plugin's preset: its direct sound arrives 420
# frames after the cable's pulse, 8.75 ms at the program's 48000 Hz.
mkdir "$work/room"
status=0
(cd "$work/room" && printf 'r\nc\nx\n' |
    ALSA_CONFIG_PATH=$work/only-snippet.conf ALSA_PLUGIN_DIR=$dest$alsa_libdir/alsa-lib \
    timeout 300 "$bin" -D rig_room \
    >"$work/room.txt" 2>"$work/room.err") || status=$?
[ "$status" = 0 ] || fail "the run on rig_room ended with status $status: $(tail -n 20 "$work/room.err")"
delay=$(sed -n 's/^Acoustic delay: \([0-9.]*\) ms.*/\1/p' "$work/room.txt")
awk -v d="$delay" 'BEGIN { exit !(d != "" && d > 8.70 && d < 8.80) }' ||
    fail "rig_room: acoustic delay '$delay' ms, not 8.75"

# Only the everyday devices: a fault device of the build tree's configuration
# is unknown here, so the run cannot open it and the program ends with 1.
status=0
(cd "$work/run" && printf 'r\nx\n' |
    ALSA_CONFIG_PATH=$work/only-snippet.conf ALSA_PLUGIN_DIR=$dest$alsa_libdir/alsa-lib \
    timeout 60 "$bin" -D rig_nocapture \
    >"$work/fault.txt" 2>&1) || status=$?
[ "$status" = 1 ] || fail "rig_nocapture: status $status, not 1"
grep -q 'device could not be opened' "$work/fault.txt" || fail "rig_nocapture: $(tail -n 3 "$work/fault.txt")"

# With another plugin folder the same device cannot be opened: the plugin
# came from the installed one.
status=0
(cd "$work/run" && printf 'r\nx\n' | ALSA_CONFIG_PATH=$work/only-snippet.conf \
    ALSA_PLUGIN_DIR=$work/run timeout 60 "$bin" -D rig >"$work/noplugin.txt" 2>&1) || status=$?
[ "$status" = 1 ] || fail "rig from another plugin folder: status $status, not 1"
grep -q 'device could not be opened' "$work/noplugin.txt" ||
    fail "rig from another plugin folder: $(tail -n 3 "$work/noplugin.txt")"

finish
