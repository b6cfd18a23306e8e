# Shared by the install tests: sourced, not run. Each test counts its
# failures and reports them all before it exits.

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "all checks passed"
}

# Where alsa-lib keeps its plugins and its configuration, as pkg-config
# and the alsa-lib documentation put them.
alsa_libdir=$(pkg-config --variable=libdir alsa)
alsa_prefix=$(pkg-config --variable=prefix alsa)
alsa_conf=$alsa_prefix/share/alsa/alsa.conf
plugin_path=$alsa_libdir/alsa-lib/libasound_module_pcm_rig.so
snippet_path=$alsa_prefix/share/alsa/alsa.conf.d/50-zembrak-rig.conf

# The files (not links) an install with prefix $1 must hold, sorted.
expected_files() {
    printf '%s\n' "$1/bin/zembrak" "$plugin_path" "$snippet_path" \
        "$1/share/man/man1/zembrak.1" "$1/share/doc/zembrak/README.md" \
        "$1/share/doc/zembrak/LICENSE" | sort
}

# Checks the links of an installed tree, given as lines "path -> target":
# each must point at the snippet's absolute path, and alsa-lib must read the
# snippet on its own: its folder or a link's folder is one the system's
# alsa.conf loads.
check_links() {
    read_by_alsa=""
    if grep -q '"/alsa.conf.d/"' "$alsa_conf" ||
        grep -q "\"$(dirname "$snippet_path")\"" "$alsa_conf"; then
        read_by_alsa="$snippet_path"
    fi
    while read -r path arrow target; do
        [ -n "$path" ] || continue
        [ "$arrow" = "->" ] || fail "unreadable link line: $path $arrow $target"
        [ "$target" = "$snippet_path" ] || fail "link $path points at $target, not $snippet_path"
        if grep -q "\"$(dirname "$path")\"" "$alsa_conf"; then read_by_alsa="$path"; fi
    done
    [ -n "$read_by_alsa" ] || fail "no folder that $alsa_conf loads holds the snippet or a link to it"
}

# Checks the snippet's text: exactly the three everyday devices, each of
# type rig, and no library path (the plugin is found by its type).
check_snippet() {
    devices=$(sed -n 's/^pcm\.\([A-Za-z0-9_]*\).*/\1/p' "$1" | sort | tr '\n' ' ')
    [ "$devices" = "rig rig_live rig_room " ] || fail "snippet defines '$devices', not 'rig rig_live rig_room '"
    types=$(grep -c '^[[:space:]]*type rig$' "$1" || true)
    [ "$types" = 3 ] || fail "snippet has $types lines 'type rig', not 3"
    if sed 's/#.*//' "$1" | grep -Eq '(^|[[:space:]])lib[[:space:]]|pcm_type'; then
        fail "snippet names a library path"
    fi
}
