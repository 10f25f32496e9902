#!/usr/bin/env bash
# cmake --install into a staging root (DESTDIR with --prefix /usr) and into
# a plain prefix: the installed tree holds the program, its mode names as
# relative links, the manual pages and the completions, nothing lands
# outside the chosen root, and the installed names work -- also after the
# tree was moved elsewhere.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

man_ext=$(installed_man_ext)
modes=(osencrypt osdecrypt oscat)

# check_tree TOP: the installed files below TOP (the prefix).
check_tree()
{
    local top=$1 name
    [[ -f $top/bin/ostrel && -x $top/bin/ostrel ]] || fail "$top/bin/ostrel missing"
    [[ -f $top/share/man/man1/ostrel$man_ext ]] || fail "manual page missing in $top"
    [[ -f $top/share/bash-completion/completions/ostrel ]] || fail "bash completion missing in $top"
    [[ -f $top/share/zsh/vendor-completions/_ostrel ]] || fail "zsh completion missing in $top"
    [[ -f $top/share/doc/ostrel/README.md && -f $top/share/doc/ostrel/LICENSE ]] ||
        fail "documentation missing in $top"
    for name in "${modes[@]}"; do
        expect_link "$top/bin/$name" ostrel
        expect_link "$top/share/man/man1/$name$man_ext" "ostrel$man_ext"
        expect_link "$top/share/bash-completion/completions/$name" ostrel
    done
}

# check_names TOP: the installed names, found through PATH as a user would
# call them, choose their modes.
check_names()
{
    local top=$1 data cipher out status
    local dir=$work/run
    rm -rf "$dir" && mkdir "$dir"
    (
        cd "$dir"
        export PATH=$top/bin:$PATH
        [[ $(command -v osdecrypt) == "$top/bin/osdecrypt" ]] || fail "osdecrypt not found in $top/bin"

        out=$(osencrypt -h)
        expect_equal "${out%%$'\n'*}" "ostrel $OSTREL_VERSION. Secure encryption and decryption of files and streams." \
            "first line of osencrypt -h"
        out=$(osdecrypt -h)
        [[ $out == *$'\nUsage: ostrel [mode] [options] [file...]\n'* ]] || fail "osdecrypt -h: no usage line"

        # A pipe: each name alone decides the direction.
        data=$(printf 'line one\nline two %s\n' "$top")
        osencrypt -K 'pass word' <<<"$data" >cipher.bin
        expect_equal "$(stat -c %s cipher.bin)" "$(( ${#data} + 1 + 32 ))" "size of the encrypted stream"
        out=$(osencrypt -K 'pass word' <<<"$data" | osdecrypt -K 'pass word')
        expect_equal "$out" "$data" "osencrypt | osdecrypt"
        out=$(oscat -K 'pass word' - <cipher.bin)
        expect_equal "$out" "$data" "oscat - of a stream"

        # Files: encrypt in place, look inside with oscat, decrypt back.
        printf '%s\n' "$data" >report.txt
        osencrypt -K k report.txt
        [[ -f report.txt.osl && ! -e report.txt ]] || fail "osencrypt did not replace report.txt by report.txt.osl"
        expect_equal "$(oscat -K k report.txt.osl)" "$data" "oscat report.txt.osl"
        [[ -f report.txt.osl ]] || fail "oscat changed its input"
        osdecrypt -K k report.txt.osl
        expect_equal "$(cat report.txt)" "$data" "osdecrypt report.txt.osl"

        # Messages carry the name the program was called under.
        status=0
        out=$(osdecrypt -K k missing.osl 2>&1) || status=$?
        expect_equal "$status" 8 "status of osdecrypt on a missing file"
        [[ $out == osdecrypt:\ missing.osl:* ]] || fail "osdecrypt message without its name: $out"
    ) || exit 1
}

# A staging root: the usual way of packagers.
stage=$work/stage
real_before=$(ls -d /usr/bin/osencrypt 2>/dev/null || true)
DESTDIR=$stage "$OSTREL_CMAKE" --install "$OSTREL_BUILD_DIR" --prefix /usr >"$work/install.log" ||
    { cat "$work/install.log"; fail "cmake --install with DESTDIR failed"; }
expect_equal "$(ls -A "$stage")" usr "contents of the staging root"
expect_equal "$(ls -d /usr/bin/osencrypt 2>/dev/null || true)" "$real_before" \
    "/usr/bin outside the staging root"
check_tree "$stage/usr"
check_names "$stage/usr"
for name in ostrel "${modes[@]}"; do
    # The manifest names the files as the target system will see them.
    grep -qx "/usr/bin/$name" "$OSTREL_BUILD_DIR/install_manifest.txt" ||
        fail "install_manifest.txt lacks bin/$name"
done

# A prefix of its own, then moved: only relative links survive that.
prefix=$work/opt/ostrel
"$OSTREL_CMAKE" --install "$OSTREL_BUILD_DIR" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log"; fail "cmake --install --prefix failed"; }
check_tree "$prefix"
mv "$work/opt" "$work/moved"
check_tree "$work/moved/ostrel"
check_names "$work/moved/ostrel"

# man finds the page of every name through the installed links.
if command -v man >/dev/null && man --version 2>/dev/null | grep -q '^man '; then
    for name in ostrel "${modes[@]}"; do
        found=$(MANPATH=$work/moved/ostrel/share/man man -w "$name") ||
            fail "man -w $name finds no page"
        # man-db may name the link or the page it leads to.
        expect_equal "$(readlink -f "$found")" "$work/moved/ostrel/share/man/man1/ostrel$man_ext" \
            "page of $name"
        page=$(MANWIDTH=200 MANPATH=$work/moved/ostrel/share/man man "$name" 2>/dev/null) || fail "man $name failed"
        [[ $page == *'ostrel, osencrypt, osdecrypt, oscat'* ]] || fail "man $name does not show the page"
    done
else
    echo "note: man-db is not installed; the installed pages were not looked up"
fi
# bash-completion's loader finds the completion of each name in the tree.
loader=/usr/share/bash-completion/bash_completion
if [[ -f $loader ]]; then
    for name in ostrel "${modes[@]}"; do
        registered=$(XDG_DATA_DIRS=$work/moved/ostrel/share bash --norc -c \
            'source "$1" && __load_completion "$2" && complete -p "$2"' _ "$loader" "$name" 2>&1) ||
            fail "bash-completion does not load the completion of $name: $registered"
        expect_equal "$registered" "complete -F _ostrel $name" "completion loaded for $name"
    done
else
    echo "note: bash-completion is not installed; its loader was not tried"
fi
echo "install tree: ok"
