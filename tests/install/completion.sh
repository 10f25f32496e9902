#!/usr/bin/env bash
# The bash completion loads on its own, registers all four names, and
# completes what each position of a command line takes: options (every long
# option of the help text included), the arguments of options, and file
# operands -- encrypted files first in the modes that read them. The zsh
# completion is checked as well when zsh is installed.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

script=$OSTREL_SOURCE_DIR/completion/ostrel.bash
[[ -f $script ]] || fail "$script missing"

registered=$(bash --norc -c 'source "$1" && complete -p ostrel osencrypt osdecrypt oscat' _ "$script" 2>&1) ||
    fail "sourcing the completion failed: $registered"
expect_equal "$registered" "complete -F _ostrel ostrel
complete -F _ostrel osencrypt
complete -F _ostrel osdecrypt
complete -F _ostrel oscat" "registered completions"

# A directory with one file of each interesting kind.
cd "$work"
mkdir sub 'my dir'
touch plain.txt notes.osl 'two words.osl' sub/inner.osl
export OSTREL_TEST_VARIABLE=1 OSTREL_TEST_OTHER=2

# complete WORD...: the replies for a command line whose last WORD holds the
# cursor, one a line, sorted -- as bash would call the function. The words
# are split at "=" the way bash splits them under its default word breaks.
complete_words()
{
    bash --norc -c '
        source "$1"; shift
        COMP_WORDS=("$@")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        _ostrel "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
        printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort' _ "$script" "$@"
}

all_files=$'my dir\nnotes.osl\nplain.txt\nsub\ntwo words.osl'
encrypted=$'my dir\nnotes.osl\nsub\ntwo words.osl'
# Command line (words separated by "|", the last one at the cursor), and the
# expected replies (separated by "|"; "<files>" all files, "<encrypted>" the
# encrypted files and the directories, "" nothing).
cases=(
    "ostrel|--ke"                   "--key|--key2|--keychange|--keyfile|--keyref"
    "ostrel|--rec"                  "--rec-symlinks|--recursive"
    "ostrel|--t"                    "--timid|--tmpfiles"
    "ostrel|--envvar"               "--envvar|--envvar2"
    "ostrel|--bogus"                ""
    "ostrel|-d|--"                  "<all-long>"
    "ostrel|"                       "<files>"
    "ostrel|-u|"                    "<files>"
    "osencrypt|"                    "<files>"
    "osdecrypt|"                    "<encrypted>"
    "oscat|"                        "<encrypted>"
    "ostrel|-d|"                    "<encrypted>"
    "ostrel|-c|"                    "<encrypted>"
    "ostrel|-x|"                    "<encrypted>"
    "ostrel|-vfd|"                  "<encrypted>"
    "ostrel|--dec|"                 "<encrypted>"
    "ostrel|--keych|"               "<encrypted>"
    "ostrel|--de|"                  "<files>"
    "osdecrypt|-e|"                 "<files>"
    "ostrel|-d|-e|"                 "<files>"
    "ostrel|-K|-d|"                 "<files>"
    "ostrel|--key|-d|"              "<files>"
    "ostrel|-Kd|"                   "<files>"
    "ostrel|-d|-S|.txt|"            "my dir|plain.txt|sub"
    "ostrel|-d|--suffix|=|.txt|"    "my dir|plain.txt|sub"
    "ostrel|-dS.txt|"               "my dir|plain.txt|sub"
    "ostrel|-d|-S|.none|"           "<files>"
    "osdecrypt|two"                 "two words.osl"
    "osdecrypt|sub/"                "sub/inner.osl"
    "ostrel|-d|--|-"                ""
    "ostrel|-k|"                    "<files>"
    "ostrel|--keyfile|=|"           "<files>"
    "ostrel|--keyfile|=|pl"         "plain.txt"
    "ostrel|-y|"                    "<encrypted>"
    "ostrel|--keyref|=|no"          "notes.osl"
    "ostrel|-E|OSTREL_TEST_"        "OSTREL_TEST_OTHER|OSTREL_TEST_VARIABLE"
    "ostrel|--envvar2|OSTREL_TEST_V" "OSTREL_TEST_VARIABLE"
    "ostrel|-F|=|OSTREL_TEST_O"     ""
    "ostrel|-K|"                    ""
    "ostrel|-H|"                    ""
    "ostrel|-P|"                    ""
    "ostrel|-Q|"                    ""
    "ostrel|--prompt2|=|"           ""
)

# --debug is left out of the help text, but it is an option all the same.
all_long=$(help_option_pairs | sed 's/^.*, //'; echo --; echo --debug)
all_long=$(LC_ALL=C sort <<<"$all_long")
failures=0
for ((i = 0; i < ${#cases[@]}; i += 2)); do
    # The "|" added ends the last word, so that an empty one is kept.
    IFS='|' read -r -a words <<<"${cases[i]}|"
    expected=${cases[i + 1]}
    case $expected in
        "<files>") expected=$all_files ;;
        "<encrypted>") expected=$encrypted ;;
        "<all-long>") expected=$all_long ;;
        *) expected=$(tr '|' '\n' <<<"$expected" | LC_ALL=C sort) ;;
    esac
    actual=$(complete_words "${words[@]}")
    if [[ $actual != "$expected" ]]; then
        echo "FAIL: completing [${cases[i]}]: expected [${expected//$'\n'/|}], got [${actual//$'\n'/|}]" >&2
        failures=$((failures + 1))
    fi
done
((failures == 0)) || fail "$failures completion cases failed"

# Every long option of the help text completes from its own full name.
while read -r long; do
    replies=$(complete_words ostrel "$long")
    grep -qx -- "$long" <<<"$replies" || fail "completion does not know $long"
done < <(help_option_pairs | sed 's/^.*, //')
echo "bash completion: ok ($(( ${#cases[@]} / 2 )) cases)"

# zsh: the function parses, and completes in a real interactive shell.
if ! command -v zsh >/dev/null; then
    echo "note: zsh is not installed; the zsh completion was not exercised"
    exit 0
fi
zsh -n "$OSTREL_SOURCE_DIR/completion/_ostrel" || fail "_ostrel has a syntax error"
zsh_cases=(
    "ostrel --ke"   "--key|--key2|--keychange|--keyfile|--keyref"
    "osdecrypt "    "my dir|notes.osl|sub|two words.osl"
    "ostrel -x "    "my dir|notes.osl|sub|two words.osl"
    "ostrel -d -S .txt "  "my dir|plain.txt|sub"
    "ostrel "       "my dir|notes.osl|plain.txt|sub|two words.osl"
)
for ((i = 0; i < ${#zsh_cases[@]}; i += 2)); do
    actual=$(zsh -f "$(dirname "${BASH_SOURCE[0]}")/zsh_complete.zsh" \
                 "$OSTREL_SOURCE_DIR/completion" "$work" "${zsh_cases[i]}") ||
        fail "zsh completion of [${zsh_cases[i]}] did not finish"
    expected=$(tr '|' '\n' <<<"${zsh_cases[i + 1]}" | LC_ALL=C sort)
    expect_equal "$actual" "$expected" "zsh completion of [${zsh_cases[i]}]"
done
echo "zsh completion: ok"
