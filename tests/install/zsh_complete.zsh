# zsh -f zsh_complete.zsh FPATH_DIR WORK_DIR LINE: types LINE followed by a
# tab in an interactive zsh that loads the completion from FPATH_DIR, and
# prints the matches that completion produced, sorted, one a line.
zmodload zsh/zpty || exit 1
local dir=$1 work=$2 line=$3 out=$2/zsh-matches.$$ done=$2/zsh-done.$$
rm -f $out $done
zpty shell zsh -f -i
zpty -w shell "PS1=''; fpath=(${(q)dir} \$fpath); autoload -U compinit; compinit -u -D; cd ${(q)work}"
# Every match passes through compadd; comppostfuncs runs once completion
# has finished, which tells this script when to stop waiting.
zpty -w shell "compadd() { local -a hits; builtin compadd -O hits \"\$@\"; (( \$#hits )) && print -rl -- \${(Q)hits} >> ${(q)out}; builtin compadd \"\$@\"; }"
zpty -w shell "zstyle ':completion:*' list-prompt ''; zstyle ':completion:*' menu no"
zpty -w shell "comppostfuncs=(_finished); _finished() { : > ${(q)done}; }"
zpty -w -n shell "$line"$'\t'
local i
for (( i = 0; i < 100; i++ )); do
  [[ -e $done ]] && break
  sleep 0.1
done
zpty -d shell
[[ -e $done ]] || exit 1
[[ -e $out ]] && LC_ALL=C sort -u $out
rm -f $out $done
exit 0
