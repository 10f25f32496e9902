# Shared by the installation tests; sourced, never run. Each test is a bash
# script that CTest runs with the locations below in its environment. A test
# fails with a message naming what went wrong, and exits with status 77
# (reported as skipped) only when a tool it needs is not installed.
set -Eeuo pipefail

: "${OSTREL_SOURCE_DIR:?run by CTest, which sets OSTREL_SOURCE_DIR}"
: "${OSTREL_BUILD_DIR:?run by CTest, which sets OSTREL_BUILD_DIR}"
: "${OSTREL_CMAKE:=cmake}"
: "${OSTREL_CPACK:=cpack}"
export LC_ALL=C

fail()
{
    echo "FAIL: $*" >&2
    exit 1
}

skip()
{
    echo "SKIP: $*"
    exit 77
}

trap 'status=$?; echo "FAIL: line $LINENO: $BASH_COMMAND (status $status)" >&2' ERR

# The built program; every test needs it, so its absence is a failure.
program=$OSTREL_BUILD_DIR/bin/ostrel
[[ -x $program ]] || fail "$program is not built"

# A scratch directory, removed with everything in it when the test ends.
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

# expect_equal ACTUAL EXPECTED WHAT
expect_equal()
{
    [[ $1 == "$2" ]] || fail "$3: expected [$2], got [$1]"
}

# expect_link PATH TARGET: PATH is a symbolic link whose text is exactly
# TARGET (relative links keep a moved or unpacked tree working).
expect_link()
{
    [[ -L $1 ]] || fail "$1 is not a symbolic link"
    expect_equal "$(readlink "$1")" "$2" "target of $1"
    [[ -e $1 ]] || fail "$1 dangles"
}

# The "-x, --long" pairs of the help text, and the long options without a
# letter, one a line.
help_option_pairs()
{
    local help
    help=$("$program" -h) || fail "ostrel -h failed"
    grep -oE '^    (-[A-Za-z], )?--[a-z0-9-]+' <<<"$help" | sed 's/^ *//'
}

# installed_man_ext [BUILD_DIR]: the manual page's extension as installed
# from that build: compressed when its configuration found gzip.
installed_man_ext()
{
    if grep -q '^OSTREL_GZIP:FILEPATH=.*gzip$' "${1:-$OSTREL_BUILD_DIR}/CMakeCache.txt"; then
        echo .1.gz
    else
        echo .1
    fi
}
