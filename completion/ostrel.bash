# bash completion for ostrel, osencrypt, osdecrypt and oscat     -*- shell-script -*-
#
# Installed as bash-completion/completions/ostrel, with the three mode names
# as links to it, so bash-completion loads it on first use of any of them.
# Needs nothing from bash-completion: it may as well be sourced from ~/.bashrc.
#
# Options, their arguments (files for -k and -y, exported variables for -E
# and -F, nothing to offer for a keyword, a prompt or a suffix) and file
# operands: in the modes that read encrypted files the files with the suffix
# (.osl, or the one given by -S) come first, with directories to walk into.

# The long options; a trailing "=" marks one that takes an argument.
_ostrel_long_options="encrypt decrypt cat keychange unixcrypt help version
license verbose quiet debug force mismatch envvar= key= keyfile= prompt=
suffix= strictsuffix envvar2= key2= prompt2= timid brave keyref= recursive
rec-symlinks symlinks tmpfiles jobs= progress"
# The short options, and the ones among them that take an argument.
_ostrel_short_options="-e -d -c -x -u -h -V -L -v -q -D -f -m -E -K -k -P -S -s
-F -H -Q -t -b -y -r -R -l -T -j"
_ostrel_short_with_argument="EKkFHSPQyj"

# _ostrel_long_name WORD: the long option that WORD ("--name" or
# "--name=value") names -- an exact match, or a prefix of exactly one long
# option, as the option scanner takes it. Prints the option's name with its
# "=" mark, or nothing when WORD is unknown or ambiguous.
_ostrel_long_name()
{
    local word=${1#--} option found="" count=0
    word=${word%%=*}
    for option in $_ostrel_long_options; do
        if [[ ${option%=} == "$word" ]]; then
            printf '%s\n' "$option"
            return
        fi
        if [[ ${option%=} == "$word"* ]]; then
            found=$option
            count=$((count + 1))
        fi
    done
    ((count == 1)) && printf '%s\n' "$found"
}

# _ostrel_short_letter LONG: the short letter of a long option name.
_ostrel_short_letter()
{
    case ${1%=} in
        encrypt) echo e ;; decrypt) echo d ;; cat) echo c ;; keychange) echo x ;;
        unixcrypt) echo u ;; envvar) echo E ;; key) echo K ;; keyfile) echo k ;;
        prompt) echo P ;; suffix) echo S ;; envvar2) echo F ;; key2) echo H ;;
        prompt2) echo Q ;; keyref) echo y ;; jobs) echo j ;; *) echo - ;;
    esac
}

# _ostrel_glob_quote TEXT: TEXT with the characters special to a pattern
# escaped, so that a suffix such as ".[x]" is matched literally.
_ostrel_glob_quote()
{
    local text=$1 quoted="" i c
    for ((i = 0; i < ${#text}; i++)); do
        c=${text:i:1}
        case $c in
            [][*?\\!]) quoted+="\\$c" ;;
            *) quoted+=$c ;;
        esac
    done
    printf '%s' "$quoted"
}

_ostrel()
{
    local -a words=()
    local cword=-1 i word

    # bash splits "--keyfile=name" at the "=" into three words; join them
    # again so that every word below is one argument of the program.
    for ((i = 0; i < ${#COMP_WORDS[@]}; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == "=" && ${#words[@]} -gt 0 && ${words[-1]} == --[!=]* &&
              ${words[-1]} != *=* ]]; then
            words[-1]+="="
            if ((i == COMP_CWORD)); then
                cword=$((${#words[@]} - 1))
            elif ((i + 1 < ${#COMP_WORDS[@]})) && ((i + 1 <= COMP_CWORD)); then
                i=$((i + 1))
                words[-1]+=${COMP_WORDS[i]}
                ((i == COMP_CWORD)) && cword=$((${#words[@]} - 1))
            fi
            continue
        fi
        words+=("$word")
        ((i == COMP_CWORD)) && cword=$((${#words[@]} - 1))
    done
    ((cword < 0)) && cword=${#words[@]} && words+=("")

    local cur=${words[cword]}
    local mode suffix=.osl pending="" ended=0 long letter j

    # The program name chooses the mode that the options may change.
    case ${words[0]##*/} in
        osdecrypt) mode=d ;;
        oscat) mode=c ;;
        *) mode=e ;;
    esac

    # Walk the words before the cursor as the option scanner would, for the
    # mode, the suffix and whether the word at the cursor is an argument.
    for ((i = 1; i < cword; i++)); do
        word=${words[i]}
        if [[ -n $pending ]]; then
            [[ $pending == S ]] && suffix=$word
            pending=""
            continue
        fi
        case $word in
            --)
                ended=1
                break
                ;;
            --?*)
                long=$(_ostrel_long_name "$word")
                [[ -z $long ]] && continue
                letter=$(_ostrel_short_letter "$long")
                case $letter in [edcxu]) mode=$letter ;; esac
                if [[ $long == *= ]]; then
                    if [[ $word == *=* ]]; then
                        [[ $letter == S ]] && suffix=${word#*=}
                    else
                        pending=$letter
                    fi
                fi
                ;;
            -?*)
                for ((j = 1; j < ${#word}; j++)); do
                    letter=${word:j:1}
                    case $letter in [edcxu]) mode=$letter ;; esac
                    if [[ $_ostrel_short_with_argument == *"$letter"* ]]; then
                        if ((j + 1 < ${#word})); then
                            [[ $letter == S ]] && suffix=${word:j+1}
                        else
                            pending=$letter
                        fi
                        break
                    fi
                done
                ;;
        esac
    done

    # The argument of an option: after "-k name" or inside "--keyfile=name".
    local argument_of=$pending value=$cur prefix=""
    if [[ -z $argument_of && $ended == 0 && $cur == --?*=* ]]; then
        long=$(_ostrel_long_name "$cur")
        if [[ $long == *= ]]; then
            argument_of=$(_ostrel_short_letter "$long")
            value=${cur#*=}
            # Without "=" among the word breaks the reply replaces the whole
            # word, option included.
            [[ $COMP_WORDBREAKS == *=* ]] || prefix=${cur%%=*}=
        fi
    fi

    COMPREPLY=()
    local -a found=()
    if [[ -n $argument_of ]]; then
        case $argument_of in
            k)
                compopt -o filenames 2>/dev/null
                mapfile -t found < <(compgen -f -- "$value")
                ;;
            y)
                _ostrel_encrypted_files "$value" "$suffix"
                ;;
            E | F)
                mapfile -t found < <(compgen -e -- "$value")
                ;;
            *)
                # A keyword, a prompt, a suffix or a number: nothing to guess.
                ;;
        esac
        for word in "${found[@]}"; do
            COMPREPLY+=("$prefix$word")
        done
        return 0
    fi

    if [[ $ended == 0 && $cur == -* ]]; then
        if [[ $cur == --* ]]; then
            local option
            for option in $_ostrel_long_options; do
                [[ --${option%=} == "$cur"* ]] && COMPREPLY+=("--${option%=}")
            done
            [[ $cur == -- ]] && COMPREPLY+=("--")
        else
            mapfile -t COMPREPLY < <(compgen -W "$_ostrel_short_options" -- "$cur")
            [[ $cur == - ]] && COMPREPLY+=("--")
        fi
        return 0
    fi

    case $mode in
        d | c | x) _ostrel_encrypted_files "$cur" "$suffix" ;;
        *)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            ;;
    esac
    return 0
}

# _ostrel_encrypted_files WORD SUFFIX: into COMPREPLY, the names beginning
# with WORD that end in SUFFIX, and the directories to walk into; every name
# when none ends in SUFFIX, since a file without it may be encrypted as well.
_ostrel_encrypted_files()
{
    local word=$1 suffix=$2
    compopt -o filenames 2>/dev/null
    COMPREPLY=()
    if [[ -n $suffix ]]; then
        mapfile -t COMPREPLY < <(compgen -f -X "!*$(_ostrel_glob_quote "$suffix")" -- "$word")
    fi
    if ((${#COMPREPLY[@]} == 0)); then
        mapfile -t COMPREPLY < <(compgen -f -- "$word")
    else
        mapfile -t -O ${#COMPREPLY[@]} COMPREPLY < <(compgen -d -- "$word")
    fi
}

complete -F _ostrel ostrel osencrypt osdecrypt oscat
