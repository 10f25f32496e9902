#!/usr/bin/env bash
# The manual page renders without a single warning, documents every option
# that the program's help text lists (as "-x, --long"), every exit status,
# and carries the program's version.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

page=$OSTREL_BUILD_DIR/docs/ostrel.1
[[ -f $page ]] || fail "$page missing"
command -v groff >/dev/null || skip "groff is not installed (apt-get install groff-base)"

# groff -ww: every warning category; any output on stderr is a fault.
for device in ascii utf8; do
    warnings=$(groff -ww -man -z -T"$device" "$page" 2>&1) || fail "groff -T$device failed: $warnings"
    [[ -z $warnings ]] || fail "groff -T$device warns:"$'\n'"$warnings"
done
if command -v man >/dev/null && man --version 2>/dev/null | grep -q '^man '; then
    warnings=$(man --warnings -l "$page" 2>&1 >/dev/null) || fail "man -l failed: $warnings"
    [[ -z $warnings ]] || fail "man --warnings warns:"$'\n'"$warnings"
else
    echo "note: man-db is not installed; only groff checked the page"
fi

# The page as a reader sees it, in lines long enough that no option
# heading is broken or hyphenated.
text=$(groff -man -Tascii -rLL=250n -P-c -P-b -P-o -P-u "$page")

mapfile -t pairs < <(help_option_pairs)
((${#pairs[@]} >= 28)) || fail "found only ${#pairs[@]} option pairs in ostrel -h"
missing=()
for pair in "${pairs[@]}"; do
    grep -qF -- "$pair" <<<"$text" || missing+=("$pair")
done
((${#missing[@]} == 0)) || fail "options of ostrel -h not in the manual page: ${missing[*]}"
# "--" ends the options; it stands alone in the help text and in the page.
grep -qE '^ +--( |$)' <<<"$text" || fail "the manual page does not describe --"

# The long options that take an argument name it in both places alike.
help=$("$program" -h)
while read -r synopsis; do
    grep -qF -- "$synopsis" <<<"$text" || fail "the manual page lacks \"$synopsis\""
done < <(grep -oE '^    -[A-Za-z], --[a-z0-9-]+ [a-z.]+' <<<"$help" | sed 's/^ *//')

# Every exit status of the program, as an entry of the EXIT STATUS section.
statuses=$(sed -n '/^EXIT STATUS/,/^[A-Z]/p' <<<"$text" | grep -oE '^ {7}[0-9]+ ' | tr -d ' ' | tr '\n' ' ')
expect_equal "$statuses" "0 1 2 3 4 6 7 8 9 10 " "exit statuses in the manual page"

# Every program name appears in the NAME line and the synopsis.
for name in ostrel osencrypt osdecrypt oscat; do
    grep -qE "^ +$name \[" <<<"$text" || fail "no synopsis line for $name"
done

# The footer carries the version that -V prints.
version=$("$program" -V)
version=${version%%.\ Secure*}
[[ $version == "ostrel "[0-9]* ]] || fail "unexpected version line: $version"
grep -qE "^$version +" <<<"$(tail -n 3 <<<"$text")" || fail "the manual page is not of $version"
echo "manual page: ok (${#pairs[@]} options)"
