# Bash completion for romupdate, romupdate-sim, romupdate-abs,
# romupdate-fleet, romupdate-unlock and romupdate-inventory.
#
# Installed as bash-completion/completions/romupdate, with the other
# commands linked to it, so that loading any one of the names registers all
# of them.  The file needs nothing but bash itself.

# The configuration names romupdate can be given for the files in directory
# $1 (empty for the current directory, else ending in "/"), one a line.
# romupdate appends ".cfg" to a name unless the name already ends in ".cfg"
# or ".CFG", so T5806.cfg is offered as T5806, while T5806.CFG (which
# "T5806" would not reach) and a name like x.cfg.cfg keep their suffix.
# Runs in a subshell so that the glob settings stay local.
_romupdate_config_names() (
  shopt -s nullglob
  shopt -u failglob nocaseglob dotglob
  local file base stem
  for file in "$1"*.cfg "$1"*.CFG; do
    [[ -d $file ]] && continue
    base=${file##*/}
    stem=${base%.cfg}
    if [[ -z $stem || $stem == *.cfg || $stem == *.CFG ]]; then
      printf '%s\n' "$base"
    else
      printf '%s\n' "$stem"
    fi
  done
)

# Sets COMPREPLY to the words of "$@" that begin with $cur.
_romupdate_matching() {
  local word
  COMPREPLY=()
  for word in "$@"; do
    [[ $word == "$cur"* ]] && COMPREPLY+=("$word")
  done
}

# Sets COMPREPLY to the file names (and directories) that begin with $cur.
_romupdate_files() {
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}

# The word under the cursor, for the options written --name=value.  Bash
# normally breaks words at "=", so "--log=tr" arrives as "--log" "=" "tr";
# when "=" is not a word break it arrives whole.  Sets `cur` to the text
# being completed, `prev` to the option whose value it is (or the previous
# word) and `prefix` to what each completion must carry in front.
_romupdate_current() {
  local -a words=("${COMP_WORDS[@]}")
  local i=$COMP_CWORD
  cur=${words[i]}
  prev=${words[i - 1]}
  prefix=
  if [[ $cur == = && $prev == --* ]]; then
    cur=
  elif [[ $prev == = ]] && ((i >= 2)) && [[ ${words[i - 2]} == --* ]]; then
    prev=${words[i - 2]}
  elif [[ $cur == --*=* ]]; then
    prev=${cur%%=*}
    prefix=$prev=
    cur=${cur#*=}
  fi
}

# Counts the operands before the cursor into `operands` and sets
# `options_done` once "--" has ended the options.  With $1 "first" the
# options also end at the first operand (getopt's rule), with "anywhere"
# they do not; the other arguments are the options whose value is the next
# word.
_romupdate_operands() {
  local order=$1 i word
  shift
  operands=0 options_done=0
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if ((!options_done)) && [[ $word == -- ]]; then
      options_done=1
    elif ((!options_done)) && [[ $word == -?* ]]; then
      if [[ " $* " == *" $word "* ]]; then
        # The value, also when bash split "--logs=DIR" at the "=".
        if [[ ${COMP_WORDS[i + 1]-} == = ]]; then ((i += 2)); else ((i++)); fi
      fi
    else
      [[ $order == first ]] && options_done=1
      ((++operands))
    fi
  done
}

# romupdate [-v] [-b] ADDRESS [CONFIG...]: the options end at the first
# operand (or "--"); the first operand is the target's address or host
# name, the others are configuration names.
_romupdate() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local operands options_done
  _romupdate_operands first

  if ((operands == 0)); then
    if ((!options_done)) && [[ $cur == -* ]]; then
      _romupdate_matching -v -b '-?'
    else
      mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur")
    fi
    return 0
  fi

  _romupdate_products
  return 0
}

# Sets COMPREPLY to the configuration names that begin with $cur: those of
# the current directory and of the update directory, or, for a name with a
# directory part, the configuration files and directories there.
_romupdate_products() {
  # A name with a directory part is a file name, used as it stands.
  if [[ $cur == */* ]]; then
    compopt -o filenames 2>/dev/null
    local path
    COMPREPLY=()
    while IFS= read -r path; do
      if [[ -d $path || $path == *.cfg || $path == *.CFG ]]; then
        COMPREPLY+=("$path")
      fi
    done < <(compgen -f -- "$cur")
    return
  fi

  local root=${XR52000:-/usr/xr52000/}
  [[ $root == */ ]] || root+=/
  mapfile -t COMPREPLY < <(
    {
      _romupdate_config_names ""
      _romupdate_config_names "${root}inst/update/"
    } | while IFS= read -r word; do
      [[ $word == "$cur"* ]] && printf '%s\n' "$word"
    done | LC_ALL=C sort -u
  )
}

_romupdate_sim() {
  local cur prev prefix
  _romupdate_current
  case $prev in
    --target)
      _romupdate_matching probe 38100b 38100a unknown
      ;;
    --log | --dump-flash | --flash-image | --replay)
      _romupdate_files
      ;;
    --address | --port | --version-text | --reboot-time | --stall-time | \
      --hwid | --register | --used | --message | --control-message | \
      --close-at | --hang-at | --download-status | --download-drop-after | \
      --download-message | --reject | --message-flood)
      COMPREPLY=()
      ;;
    *)
      if [[ $cur == -* ]]; then
        _romupdate_matching --address --port --target --version-text \
          --locked --come-back-locked --never-return --reboot-time --hwid \
          --register --used --flash-image --message --control-message --close-at \
          --hang-at --download-status --download-drop-after \
          --download-message --stall-time --strict-stream --reject \
          --message-flood --log --dump-flash --replay --help --version
      else
        COMPREPLY=()
      fi
      ;;
  esac
  if [[ -n $prefix ]]; then
    COMPREPLY=("${COMPREPLY[@]/#/$prefix}")
  fi
  return 0
}

# romupdate-abs COMMAND ...: the command comes first; FILE arguments are
# any file names, the values of make's options are not completed.
_romupdate_abs() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  if ((COMP_CWORD == 1)); then
    _romupdate_matching info make verify dump --help --version
    return 0
  fi
  case ${COMP_WORDS[1]} in
    info | dump)
      if ((COMP_CWORD == 2)); then
        _romupdate_files
      else
        COMPREPLY=()
      fi
      ;;
    make)
      case $prev in
        --address | --random | --seed) COMPREPLY=() ;;
        *)
          if [[ $cur == -* ]]; then
            _romupdate_matching --address --random --seed
          else
            _romupdate_files
          fi
          ;;
      esac
      ;;
    verify)
      if [[ $cur == -* ]]; then
        _romupdate_matching --exact
      else
        _romupdate_files
      fi
      ;;
    *)
      COMPREPLY=()
      ;;
  esac
  return 0
}

# romupdate-fleet [OPTION]... TARGETS PRODUCT...: options anywhere before
# "--"; the first operand is the target list (a file, or "-"), the others
# are configuration names as romupdate takes them.
_romupdate_fleet() {
  local cur prev prefix
  _romupdate_current
  case $prev in
    --logs)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      ;;
    --results | --sshloginfile)
      _romupdate_files
      ;;
    -j | --jobs | --retries | --timeout | --sshlogin)
      COMPREPLY=()
      ;;
    *)
      local operands options_done
      _romupdate_operands anywhere -j --jobs --logs --results --sshlogin \
        --sshloginfile --retries --timeout
      if ((!options_done)) && [[ $cur == -* ]]; then
        _romupdate_matching -j --logs --results -v --dry-run --sshlogin \
          --sshloginfile --retries --timeout --trace --inventory --help --version
      elif ((operands == 0)); then
        _romupdate_files
      else
        _romupdate_products
      fi
      ;;
  esac
  if [[ -n $prefix ]]; then
    COMPREPLY=("${COMPREPLY[@]/#/$prefix}")
  fi
  return 0
}

# romupdate-unlock [--force] ADDRESS: options (up to "--") and one address,
# completed like romupdate's; nothing after the address.
_romupdate_unlock() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local i word options_done=0
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if ((!options_done)) && [[ $word == -- ]]; then
      options_done=1
    elif ((options_done)) || [[ $word != -* ]]; then
      COMPREPLY=()
      return 0
    fi
  done
  if ((!options_done)) && [[ $cur == -* ]]; then
    _romupdate_matching --force --help --version
  else
    mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur")
  fi
  return 0
}

# romupdate-inventory [--tsv] [--product NAME]... ADDRESS...: options up to
# "--", products named as romupdate takes them, any number of addresses.
_romupdate_inventory() {
  local cur prev prefix
  _romupdate_current
  if [[ $prev == --product ]]; then
    _romupdate_products
  else
    local operands options_done
    _romupdate_operands anywhere --product
    if ((!options_done)) && [[ $cur == -* ]]; then
      _romupdate_matching --tsv --product --help --version
    else
      mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur")
    fi
  fi
  if [[ -n $prefix ]]; then
    COMPREPLY=("${COMPREPLY[@]/#/$prefix}")
  fi
  return 0
}

complete -F _romupdate romupdate
complete -F _romupdate_sim romupdate-sim
complete -F _romupdate_abs romupdate-abs
complete -F _romupdate_fleet romupdate-fleet
complete -F _romupdate_unlock romupdate-unlock
complete -F _romupdate_inventory romupdate-inventory
