#!/usr/bin/env bash
# cpack -G DEB builds a package of exactly the installed files, with the
# mode names and pages as relative links, a dependency on libcrypt, and a
# program that runs from wherever the package is unpacked.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed (a Debian system is needed)"

# A build of the program alone, packaged the way a packager would do it:
# cpack from the top of the build tree. (Packaging the test build itself
# would first rebuild everything in it, tests included.)
build=$work/build
"$OSTREL_CMAKE" -S "$OSTREL_SOURCE_DIR" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DOSTREL_TESTS=OFF -DOSTREL_BENCH=OFF >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; fail "configuring the package build failed"; }
grep -q '^set(CPACK_GENERATOR "[^"]*DEB' "$build/CPackConfig.cmake" ||
    fail "the configuration does not offer the DEB generator although dpkg-deb exists"
"$OSTREL_CMAKE" --build "$build" -j 2 >"$work/build.log" 2>&1 ||
    { tail -n 30 "$work/build.log"; fail "building the program failed"; }
(cd "$build" && "$OSTREL_CPACK" -G DEB) >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
debs=("$build"/*.deb)
((${#debs[@]} == 1)) && [[ -f ${debs[0]} ]] || fail "expected one .deb, got: ${debs[*]}"
deb=${debs[0]}
expect_equal "${deb##*/}" "ostrel_${OSTREL_VERSION}_$(dpkg --print-architecture).deb" "package file name"

# The control fields.
expect_equal "$(dpkg-deb -f "$deb" Package)" ostrel "Package"
expect_equal "$(dpkg-deb -f "$deb" Version)" "$OSTREL_VERSION" "Version"
depends=$(dpkg-deb -f "$deb" Depends)
grep -qE '(^|, )libcrypt1( |,|$)' <<<"$depends" || fail "Depends lacks libcrypt1: $depends"
grep -qE '(^|, )libc6( |,|$)' <<<"$depends" || fail "Depends lacks libc6: $depends"
[[ -n $(dpkg-deb -f "$deb" Maintainer) ]] || fail "no Maintainer"
description=$(dpkg-deb -f "$deb" Description)
[[ $description == "encrypt and decrypt files and streams under a passphrase"$'\n'* ]] ||
    fail "unexpected Description: $description"

# The contents: every file and link, and nothing else.
man_ext=$(installed_man_ext "$build")
expected="./usr/bin/oscat -> ostrel
./usr/bin/osdecrypt -> ostrel
./usr/bin/osencrypt -> ostrel
./usr/bin/ostrel
./usr/share/bash-completion/completions/oscat -> ostrel
./usr/share/bash-completion/completions/osdecrypt -> ostrel
./usr/share/bash-completion/completions/osencrypt -> ostrel
./usr/share/bash-completion/completions/ostrel
./usr/share/doc/ostrel/LICENSE
./usr/share/doc/ostrel/README.md
./usr/share/man/man1/oscat$man_ext -> ostrel$man_ext
./usr/share/man/man1/osdecrypt$man_ext -> ostrel$man_ext
./usr/share/man/man1/osencrypt$man_ext -> ostrel$man_ext
./usr/share/man/man1/ostrel$man_ext
./usr/share/zsh/vendor-completions/_ostrel"
# dpkg-deb -c lists like tar -tv: mode, owner, size, date, time, name.
listing=$(dpkg-deb -c "$deb") || fail "dpkg-deb -c failed"
contents=$(grep -v '^d' <<<"$listing" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' |
           LC_ALL=C sort)
expect_equal "$contents" "$expected" "package contents"
owners=$(awk '{ print $2 }' <<<"$listing" | sort -u)
expect_equal "$owners" root/root "owner of the packaged files"
grep -qE '^-rwxr-xr-x .* \./usr/bin/ostrel$' <<<"$listing" || fail "ostrel is not 0755 in the package"

# Unpacked under a throwaway root, the package's own program decrypts what
# the build's program encrypted, under the name osdecrypt.
root=$work/root
dpkg -x "$deb" "$root" || fail "dpkg -x failed"
data=$(head -c 3000 /dev/urandom | base64)
printf '%s\n' "$data" | "$program" -K 'package key' >"$work/data.osl"
out=$("$root/usr/bin/osdecrypt" -K 'package key' <"$work/data.osl") || fail "the packaged osdecrypt failed"
expect_equal "$out" "$data" "osdecrypt from the package"
out=$(cd "$work" && "$root/usr/bin/oscat" -K 'package key' data.osl) || fail "the packaged oscat failed"
expect_equal "$out" "$data" "oscat from the package"
[[ $(zcat -f "$root/usr/share/man/man1/ostrel$man_ext") == *$'\n.TH OSTREL 1 '* ]] || fail "the packaged page is not the manual page"
echo "Debian package: ok (${deb##*/}; Depends: $depends)"
