# bash completion for lzx: the commands, each command's options, and files
# where files go (.lzx files where a stream or an archive is read, folders
# for unpack's DIR).
_lzx() {
    local cur prev words cword
    _init_completion || return

    local commands="pack unpack verify list compress decompress test scramble help"
    local common="-q --quiet -v --verbose -h --help"
    local command="" i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -q | --quiet | -v | --verbose) ;;
            *) command=${words[i]}; break ;;
        esac
    done
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands -q --quiet -v --verbose -h --help -V --version" -- "$cur"))
        return
    fi

    case $prev in
        -j) COMPREPLY=($(compgen -W "1 2 4 8" -- "$cur")); return ;;
        --table) _filedir ver; return ;;
    esac

    local options
    case $command in
        pack) options="-f --force -j" ;;
        unpack) options="-f --force -n --dry-run -j --table --allow-outside" ;;
        verify) options="-f --force -j --table --allow-outside" ;;
        compress) options="-f --force -j --huffman --sort" ;;
        decompress) options="-f --force -j" ;;
        test) options="-f --force -j" ;;
        list) options="-f --force" ;;
        scramble) options="" ;;
        help) COMPREPLY=($(compgen -W "${commands% help}" -- "$cur")); return ;;
        *) return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options $common --" -- "$cur"))
        return
    fi

    # Which argument is this one? Options and the values of -j and --table
    # do not count, until "--".
    local count=0 after=0 skip=0
    for ((i = i + 1; i < cword; i++)); do
        if ((skip)); then skip=0; continue; fi
        case ${words[i]} in
            -j | --table) ((after)) && count=$((count + 1)) || skip=1 ;;
            --) ((after)) && count=$((count + 1)); after=1 ;;
            -?*) ((after)) && count=$((count + 1)) ;;
            *) count=$((count + 1)) ;;
        esac
    done
    case $command in
        unpack | verify) if ((count == 0)); then _filedir lzx; else _filedir -d; fi ;;
        list | test) _filedir lzx ;;
        decompress) if ((count == 0)); then _filedir lzx; else _filedir; fi ;;
        *) _filedir ;;
    esac
} && complete -F _lzx lzx
