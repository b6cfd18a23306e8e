#!/bin/sh
# Builds the Debian package from the build tree with CPack and checks it
# with dpkg-deb: its control fields, its dependencies against the libraries
# its programs load, its file list and checksums, and that removing it
# leaves nothing behind, in a dpkg database of its own.
# Arguments: build tree, work folder, source tree. Environment: CPACK.
set -eu
build=$1
work=$2
source=$3
. "$source/tests/install/common.sh"

rm -rf "$work"
mkdir -p "$work"
(cd "$build" && "$CPACK" -G DEB -B "$work" --config "$build/CPackConfig.cmake") >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; finish; }
arch=$(dpkg --print-architecture)
deb=$work/zembrak_1.00_$arch.deb
[ -f "$deb" ] || { fail "no $deb; made: $(ls "$work")"; finish; }

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = zembrak ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = 1.00 ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)', not $arch"
field Maintainer | grep -Eq '^[^<]+ <[^@> ]+@[^> ]+>$' || fail "Maintainer is '$(field Maintainer)'"
[ "$(field Section)" = sound ] || fail "Section is '$(field Section)'"
[ "$(field Installed-Size)" -gt 0 ] 2>/dev/null || fail "Installed-Size is '$(field Installed-Size)'"
# A summary line and a long description under it.
description_lines=$(field Description | wc -l)
[ -n "$(field Description | head -n 1)" ] || fail "the description has no summary"
[ "$description_lines" -ge 3 ] || fail "the description has $description_lines lines"

# The files: what an install with prefix /usr holds.
dpkg-deb --contents "$deb" >"$work/contents"
awk '$1 !~ /^[dl]/ { sub(/^\./, "", $6); print $6 }' "$work/contents" | sort >"$work/files"
expected_files /usr >"$work/expected"
if ! cmp -s "$work/files" "$work/expected"; then
    fail "packaged files differ from the expected ones:"
    diff "$work/expected" "$work/files" >&2 || true
fi
awk '$1 ~ /^l/ { sub(/^\./, "", $6); print $6, $7, $8 }' "$work/contents" | check_links
if awk '{print $2}' "$work/contents" | grep -qv '^root/root$'; then fail "files not owned by root"; fi

# Unpacked: the checksums hold, the program is the one of that version,
# the snippet names no library path.
dpkg-deb --extract "$deb" "$work/root"
dpkg-deb --control "$deb" "$work/control"
(cd "$work/root" && md5sum --check --quiet "$work/control/md5sums") || fail "md5sums do not match"
version=$("$work/root/usr/bin/zembrak" --version)
[ "$version" = "Zembrak $(field Version)" ] || fail "the packaged program says '$version'"
check_snippet "$work/root$snippet_path"
# A conffile would stay behind after "apt remove".
[ ! -e "$work/control/conffiles" ] || fail "the package has conffiles: $(cat "$work/control/conffiles")"

# Depends: the package of every library the program and the plugin load
# directly (ALSA, FFTW, libsndfile and cairo among them), looked up in
# dpkg's own file lists.
depends=$(field Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//')
needed=""
for elf in "$work/root/usr/bin/zembrak" "$work/root$plugin_path"; do
    for soname in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        needed="$needed $soname"
        path=$(ldd "$elf" | awk -v s="$soname" '$1 == s { print $3 }')
        [ -n "$path" ] || { fail "ldd does not resolve $soname of $elf"; continue; }
        owner=""
        for candidate in "$path" "$(readlink -f "$path")" "/usr$path" "${path#/usr}"; do
            owner=$(dpkg -S "$candidate" 2>/dev/null | head -n 1 | sed 's/[:,].*//')
            [ -z "$owner" ] || break
        done
        [ -n "$owner" ] || { fail "no package owns $path ($soname)"; continue; }
        echo "$depends" | grep -qx "$owner" || fail "Depends lacks $owner, which holds $soname"
    done
done
for library in libasound libfftw3 libsndfile libcairo libc; do
    echo "$needed" | grep -q " $library\.so\." || fail "neither the program nor the plugin loads $library"
done
echo "Depends: $(field Depends)"

# Installed and removed by dpkg in a root folder of its own (its libraries
# are the system's, so their dependencies are not looked at): every packaged
# file is there, and after the removal nothing but dpkg's own records.
root=$work/dpkg-root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
: >"$root/var/lib/dpkg/status"
: >"$root/var/lib/dpkg/available"
dpkg="dpkg --root=$root --force-depends --force-not-root --force-script-chrootless"
$dpkg --install "$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg --install failed: $(cat "$work/dpkg.log")"
(cd "$root" && find . ! -type d ! -path './var/*' | sed 's/^\.//' | sort) >"$work/dpkg-installed"
(cat "$work/files"; awk '$1 ~ /^l/ { sub(/^\./, "", $6); print $6 }' "$work/contents") | sort >"$work/all"
cmp -s "$work/dpkg-installed" "$work/all" || fail "dpkg installed $(tr '\n' ' ' <"$work/dpkg-installed")"
$dpkg --status zembrak 2>/dev/null | grep -q '^Status: install ok installed$' || fail "dpkg does not list zembrak"
$dpkg --remove zembrak >>"$work/dpkg.log" 2>&1 || fail "dpkg --remove failed: $(cat "$work/dpkg.log")"
left=$(cd "$root" && find . ! -path './var*' ! -path .)
[ -z "$left" ] || fail "left after the removal: $left"

finish
