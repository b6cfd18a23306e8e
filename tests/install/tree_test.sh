#!/bin/sh
# Installs the build into a DESTDIR under the build tree, with a prefix of
# its own, and checks the tree: every file where alsa-lib, man and the user
# look for it and nothing else, the program and the plugin usable, the
# manual page complete and clean, and the install manifest enough to remove
# every file again.
# Arguments: build tree, work folder, source tree. Environment: CMAKE.
set -eu
build=$1
work=$2
source=$3
. "$source/tests/install/common.sh"

rm -rf "$work"
mkdir -p "$work"
dest=$work/root
prefix=/opt/zembrak-check
DESTDIR=$dest "$CMAKE" --install "$build" --prefix "$prefix" >"$work/install.log"

# The files and the links, apart.
(cd "$dest" && find . -type f | sed 's/^\.//' | sort) >"$work/files"
expected_files "$prefix" >"$work/expected"
if ! cmp -s "$work/files" "$work/expected"; then
    fail "installed files differ from the expected ones:"
    diff "$work/expected" "$work/files" >&2 || true
fi
(cd "$dest" && find . -type l | sed 's/^\.//' | while read -r link; do
    echo "$link -> $(readlink "$dest$link")"
done) >"$work/links"
check_links <"$work/links"
others=$(cd "$dest" && find . ! -type f ! -type l ! -type d | wc -l)
[ "$others" = 0 ] || fail "$others installed entries are neither files, links nor folders"

# The program: runs from where it was installed.
bin=$dest$prefix/bin/zembrak
[ -x "$bin" ] || fail "$bin is not executable"
version=$("$bin" --version) || fail "zembrak --version failed"
[ "$version" = "Zembrak 1.00" ] || fail "zembrak --version printed '$version'"

# The plugin: alsa-lib opens type "rig" through these two symbols.
symbols=$(readelf --dyn-syms -W "$dest$plugin_path" | awk '{print $NF}')
for symbol in _snd_pcm_rig_open __snd_pcm_rig_open_dlsym_pcm_001; do
    echo "$symbols" | grep -qx "$symbol" || fail "the plugin does not export $symbol"
done

check_snippet "$dest$snippet_path"
if grep -q "$build" "$dest$snippet_path"; then fail "the snippet names the build tree"; fi

cmp -s "$dest$prefix/share/doc/zembrak/README.md" "$source/README.md" || fail "README.md differs"
cmp -s "$dest$prefix/share/doc/zembrak/LICENSE" "$source/LICENSE" || fail "LICENSE differs"

# The manual page: its sections in the usual order, no warnings from
# groff, and everything the program itself lists.
page=$dest$prefix/share/man/man1/zembrak.1
sections=$(sed -n 's/^\.SH "\{0,1\}\([^"]*\)"\{0,1\}$/\1/p' "$page" | tr '\n' '/')
[ "$sections" = "NAME/SYNOPSIS/DESCRIPTION/OPTIONS/COMMANDS/FILES/EXAMPLES/EXIT STATUS/SEE ALSO/" ] ||
    fail "manual sections are '$sections'"
man --warnings -l "$page" >/dev/null 2>"$work/man.err" || fail "man could not render the page"
[ ! -s "$work/man.err" ] || fail "man warns: $(cat "$work/man.err")"
MANWIDTH=80 MAN_KEEP_FORMATTING= man -l "$page" 2>/dev/null | col -b >"$work/man.txt"
# The rendered text of one section, $1, up to the next heading.
section() { awk -v s="$1" '/^[A-Z]/ { on = ($0 == s) ; next } on' "$work/man.txt"; }

# Every option --help names, in OPTIONS.
section OPTIONS >"$work/options.txt"
options=$("$bin" --help | grep -Eo -- '(^|[ ,])--?[A-Za-z][a-z-]*' | tr -d ' ,')
[ -n "$options" ] || fail "found no options in zembrak --help"
for option in $options; do
    grep -Eq -- "(^|[ ,])$option([ ,=]|\$)" "$work/options.txt" || fail "OPTIONS does not describe $option"
done
# Every command of the program's menu, as an item of COMMANDS.
section COMMANDS >"$work/commands.txt"
commands=$(printf 'x\n' | "$bin" | sed -n "s/^ *\(Enter \)\{0,1\}'\(.\)'.*/\2/p")
[ "$(echo "$commands" | wc -l)" -ge 9 ] || fail "found only '$commands' in the program's menu"
for command in $commands; do
    grep -Eq "^ {7}$command( |\$)" "$work/commands.txt" || fail "COMMANDS has no item '$command'"
done
# The statuses the program ends with, in EXIT STATUS: an option's mistake,
# help, a device that cannot be opened (under a configuration without it).
section "EXIT STATUS" >"$work/status.txt"
# One device only: alsa-lib's null device, whose capture is silent, so that
# a take is played but finds no sync pulse.
printf 'pcm.zembrak_silence { type null }\n' >"$work/empty.conf"
seen=""
for arguments in "--help" "--bogus" "-D" "-C /nonexistent/mic.txt" "-D zembrak_no_such_device" \
    "-D zembrak_silence --measure 1 --length 1"; do
    status=0
    # shellcheck disable=SC2086 # one word per argument
    printf 'r\n' | ALSA_CONFIG_PATH=$work/empty.conf "$bin" $arguments >/dev/null 2>&1 || status=$?
    grep -Eq "^ {7}$status( |\$)" "$work/status.txt" || fail "EXIT STATUS lacks $status (zembrak $arguments)"
    echo "zembrak $arguments: exit status $status"
    seen="$seen$status\n"
done
# ... and nothing documented that none of them reached.
documented=$(sed -n 's/^ \{7\}\([0-9][0-9]*\)\( .*\)\{0,1\}$/\1/p' "$work/status.txt" | sort -u | tr '\n' ' ')
reached=$(printf "$seen" | sort -u | tr '\n' ' ')
[ "$documented" = "$reached" ] || fail "EXIT STATUS documents '$documented', the program ended with '$reached'"

# The manifest lists every installed file and link; removing them leaves
# nothing but folders.
manifest=$build/install_manifest.txt
while read -r path || [ -n "$path" ]; do
    [ -e "$dest$path" ] || [ -L "$dest$path" ] || fail "manifest names $path, which is not installed"
    rm -f "$dest$path"
done <"$manifest"
left=$(cd "$dest" && find . ! -type d)
[ -z "$left" ] || fail "left after removing the manifest's files: $left"

finish
