# bash completion for velk: option letters, long options, the -H
# sub-options (after -H, between colons) and archive names for -f.

_velk_subopts='acct= cix copies= crc exclude= exclude-from= exclude-vcs-ignores exclude-vcs exclude-ignore=
exclude-ignore-recursive= exclude-backups exclude-caches exclude-caches-under exclude-caches-all exclude-tag=
exclude-tag-under= exclude-tag-all= exfile= family= mountcache= msg_interval= okfile= nocfchk nocrc noglob norecurse rmlocal
nostage port= relpaths server= tss= umask= verify='

_velk_letters='-c -t -x -K -X -D -U -f -B -C -d -E -H -h -I -J -l -L -M -m -N -n -O -o -P -p -q -S -T -V -v -w -Y
--mount --help --version'

# Long options in GNU tar's spelling and the run's own switches.
_velk_tarlong='create list extract file= verbose directory= no-gateway'

_velk_verify='info crc nocrc compare nocompare 0 1 2 all paranoid noparanoid'

# Words the user typed are split only at blanks here: bash also breaks them
# at "=" and ":", which would cut "-H crc:ver" and "--exclude=x" apart.
# Replies are made for the whole word and trimmed back to what bash
# replaces (the part after the last "=" or ":").
_velk_trim()
{
    local pre="${cur%"${cur##*[=:]}"}"
    if [[ -n "$pre" ]]; then
        local i
        for i in "${!COMPREPLY[@]}"; do
            COMPREPLY[i]="${COMPREPLY[i]#"$pre"}"
        done
    fi
}

# Completes the file name in $1, putting $2 before each reply.
_velk_paths()
{
    local w
    while IFS= read -r w; do
        [[ -d "$w" ]] && w="$w/"
        COMPREPLY+=("$2$w")
    done < <(compgen -f -- "$1")
    compopt -o nospace -o filenames 2>/dev/null
}

_velk()
{
    local line="${COMP_LINE:0:COMP_POINT}"
    local -a words
    read -ra words <<<"$line"
    local cur="" prev=""
    if [[ "$line" == *[[:space:]] ]]; then
        prev="${words[${#words[@]}-1]}"
    else
        cur="${words[${#words[@]}-1]}"
        ((${#words[@]} > 1)) && prev="${words[${#words[@]}-2]}"
    fi
    COMPREPLY=()

    case "$prev" in
        -*f | -*I | -*L | -*N | -*C | --file | --directory | --mount)
            if [[ "$prev" != --* || "$prev" == --file || "$prev" == --directory || "$prev" == --mount ]]; then
                # Archives, index and list files, FIFOs, directories: local names (a
                # storage-system archive is named relative to its home there).
                _velk_paths "$cur" ""
                return
            fi
            ;;
        -*d)
            [[ "$prev" != --* ]] && mapfile -t COMPREPLY < <(compgen -W '0 1 2 3 4 5' -- "$cur") && return
            ;;
        -*Y)
            [[ "$prev" != --* ]] && mapfile -t COMPREPLY < <(compgen -W 'auto' -- "$cur") && return
            ;;
        -*H)
            if [[ "$prev" != --* ]]; then
                # The sub-option after the last colon of the list.
                local head="" tail="$cur" w
                if [[ "$cur" == *:* ]]; then
                    head="${cur%:*}:"
                    tail="${cur##*:}"
                fi
                if [[ "$tail" == verify=* ]]; then
                    for w in $(compgen -W "$_velk_verify" -- "${tail#verify=}"); do
                        COMPREPLY+=("${head}verify=$w")
                    done
                else
                    for w in $(compgen -W "$_velk_subopts" -- "$tail"); do
                        COMPREPLY+=("$head$w")
                    done
                fi
                compopt -o nospace 2>/dev/null
                _velk_trim
                return
            fi
            ;;
    esac

    case "$cur" in
        --exclude-from=* | --exclude-ignore=* | --exclude-ignore-recursive=* | --exfile=* | --okfile=* | --file=* | \
            --directory=*)
            _velk_paths "${cur#*=}" "${cur%%=*}="
            _velk_trim
            ;;
        --verify=*)
            mapfile -t COMPREPLY < <(compgen -P '--verify=' -W "$_velk_verify" -- "${cur#--verify=}")
            _velk_trim
            ;;
        --*)
            mapfile -t COMPREPLY < <(compgen -P '--' -W "$_velk_subopts $_velk_tarlong help version" -- "${cur#--}")
            [[ ${#COMPREPLY[@]} -eq 1 && "${COMPREPLY[0]}" == *= ]] && compopt -o nospace 2>/dev/null
            ;;
        -*)
            mapfile -t COMPREPLY < <(compgen -W "$_velk_letters" -- "$cur")
            ;;
        *)
            _velk_paths "$cur" ""
            ;;
    esac
}

complete -F _velk velk
