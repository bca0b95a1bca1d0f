#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh) and checks it: control
# fields, contents, the installed program, manual page, bash completion and
# copyright file, unpacked with `dpkg -x` into a throw-away root (nothing is
# installed on this machine), and `cmake --install` into a throw-away
# prefix. lintian must report no error and no warning. Prints one line per check and a closing line
# "PASS: N passed, 0 failed" or "FAIL: N passed, M failed"; exits non-zero on
# any failure.
# Usage: scripts/test-package.sh [BUILD_DIR]   (default: build-package)
set -uo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build-package}"

checks=0
failures=0
pass() {
    checks=$((checks + 1))
    echo "ok   - $1"
}
fail() {
    checks=$((checks + 1))
    failures=$((failures + 1))
    echo "FAIL - $1"
    if [ -n "${2:-}" ]; then
        printf '%s\n' "$2" | sed 's/^/       /'
    fi
}
# expect DESCRIPTION ACTUAL EXPECTED
expect() {
    if [ "$2" = "$3" ]; then
        pass "$1"
    else
        fail "$1" "expected: $3"$'\n'"actual:   $2"
    fi
}
finish() {
    if [ "$failures" -eq 0 ]; then
        echo "PASS: $checks passed, 0 failed"
        exit 0
    fi
    echo "FAIL: $((checks - failures)) passed, $failures failed"
    exit 1
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

version="$(sed -n 's/^project(mervex VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)"
arch="$(dpkg --print-architecture)"
help_first_line="mervex: converting a personal firewall configuration in version 1.0 format to version 1.1 format"

echo "Checking the Debian package of mervex $version ($arch)"

# --- build -------------------------------------------------------------------
if ! scripts/package.sh "$build_dir" >"$work/package.log" 2>&1; then
    fail "scripts/package.sh builds the package" "$(tail -n 30 "$work/package.log")"
    finish
fi
deb="$(tail -n 1 "$work/package.log")"
if [ ! -f "$deb" ]; then
    fail "scripts/package.sh names the package it built" "last line: $deb"
    finish
fi
pass "scripts/package.sh built $deb"
expect "package file name" "$(basename "$deb")" "mervex_${version}_${arch}.deb"

# --- control fields ----------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1" 2>/dev/null; }
expect "Package" "$(field Package)" "mervex"
expect "Version" "$(field Version)" "$version"
expect "Architecture" "$(field Architecture)" "$arch"
expect "Section" "$(field Section)" "admin"
expect "Priority" "$(field Priority)" "optional"

maintainer="$(field Maintainer)"
if [[ "$maintainer" =~ ^[^\<\>]+\ \<[^\<\>@\ ]+@[^\<\>@\ ]+\>$ ]]; then
    pass "Maintainer is 'Name <address>': $maintainer"
else
    fail "Maintainer is 'Name <address>'" "actual: $maintainer"
fi

description="$(field Description)"
summary="$(printf '%s\n' "$description" | head -n 1)"
extended_lines="$(printf '%s\n' "$description" | tail -n +2 | grep -c .)"
if [ -n "$summary" ] && [ "${#summary}" -le 80 ] && [ "$extended_lines" -ge 2 ]; then
    pass "Description has a summary and an extended description"
else
    fail "Description has a summary (at most 80 characters) and an extended description" \
        "$description"
fi

depends="$(field Depends)"
dependency_names="$(printf '%s\n' "$depends" | tr ',' '\n' | sed 's/([^)]*)//; s/^ *//; s/ *$//')"
# tar and gzip are named by hand; the libraries can only come from
# dpkg-shlibdeps.
for name in tar gzip libc6 'libstdc\+\+6' 'libboost-filesystem[0-9.]*'; do
    if grep -Eqx -- "$name" <<<"$dependency_names"; then
        pass "Depends names ${name//\\/}"
    else
        fail "Depends names ${name//\\/}" "Depends: $depends"
    fi
done
if apt-get install --simulate "$(realpath "$deb")" >"$work/apt.log" 2>&1; then
    pass "Depends can be satisfied here (apt-get install --simulate)"
else
    fail "Depends can be satisfied here (apt-get install --simulate)" "$(tail -n 10 "$work/apt.log")"
fi

# --- contents ----------------------------------------------------------------
contents="$(dpkg-deb -c "$deb")"
outside="$(printf '%s\n' "$contents" | awk '{ print $6 }' | grep -v '^\./usr/' || true)"
expect "every file lies below /usr" "$outside" ""
for entry in '-rwxr-xr-x root/root ./usr/sbin/mervex' \
             '-rw-r--r-- root/root ./usr/share/man/man8/mervex.8.gz' \
             '-rw-r--r-- root/root ./usr/share/bash-completion/completions/mervex' \
             '-rw-r--r-- root/root ./usr/share/doc/mervex/copyright'; do
    read -r mode owner path <<<"$entry"
    if printf '%s\n' "$contents" | awk -v m="$mode" -v o="$owner" -v p="$path" \
        '$1 == m && $2 == o && $6 == p { found = 1 } END { exit !found }'; then
        pass "package holds $path ($mode $owner)"
    else
        fail "package holds $path ($mode $owner)" "$contents"
    fi
done

root="$work/root"
mkdir -p "$root"
if ! dpkg -x "$deb" "$root"; then
    fail "dpkg -x unpacks the package"
    finish
fi
pass "dpkg -x unpacks the package into a throw-away root"

# --- the program -------------------------------------------------------------
program="$root/usr/sbin/mervex"
if grep -q ', stripped' <<<"$(file -b "$program")"; then
    pass "usr/sbin/mervex is stripped"
else
    fail "usr/sbin/mervex is stripped" "$(file -b "$program")"
fi
missing_libraries="$(ldd "$program" 2>&1 | grep 'not found' || true)"
expect "usr/sbin/mervex finds every shared library" "$missing_libraries" ""

"$program" --help >"$work/help.out" 2>"$work/help.err"
help_status=$?
expect "usr/sbin/mervex --help exits with status 0" "$help_status" "0"
expect "usr/sbin/mervex --help: first line" "$(head -n 1 "$work/help.out")" "$help_first_line"
expect "usr/sbin/mervex --help: 24 lines" "$(wc -l <"$work/help.out")" "24"
expect "usr/sbin/mervex --help: nothing on standard error" "$(cat "$work/help.err")" ""

"$program" --version >"$work/version.out" 2>"$work/version.err"
version_status=$?
expect "usr/sbin/mervex --version exits with status 0" "$version_status" "0"
expect "usr/sbin/mervex --version: the package's version" "$(head -n 1 "$work/version.out")" \
    "mervex $version"
expect "usr/sbin/mervex --version: licence line" "$(sed -n 3p "$work/version.out")" \
    "License MIT: <https://opensource.org/licenses/MIT>."
expect "usr/sbin/mervex --version: 5 lines" "$(wc -l <"$work/version.out")" "5"
expect "usr/sbin/mervex --version: nothing on standard error" "$(cat "$work/version.err")" ""

# --- the manual page ---------------------------------------------------------
page="$root/usr/share/man/man8/mervex.8.gz"
if gzip -t "$page" 2>/dev/null; then
    pass "manual page is valid gzip data"
else
    fail "manual page is valid gzip data"
fi
# gzip header: flags (byte 3) without a stored file name, no time stamp
# (bytes 4-7), extra flags (byte 8) 2 for maximum compression: gzip -9n.
read -r -a header <<<"$(od -An -tu1 -N10 "$page")"
if [ "${#header[@]}" -eq 10 ] && [ $((header[3] & 8)) -eq 0 ] &&
    [ "${header[4]}${header[5]}${header[6]}${header[7]}" = "0000" ] && [ "${header[8]}" -eq 2 ]; then
    pass "manual page is compressed as by gzip -9n"
else
    fail "manual page is compressed as by gzip -9n" "header bytes: ${header[*]}"
fi
gzip -dc "$page" >"$work/mervex.8"
sed "s/@PROJECT_VERSION@/$version/g" man/mervex.8.in >"$work/mervex.8.expected"
if cmp -s "$work/mervex.8" "$work/mervex.8.expected"; then
    pass "installed manual page is man/mervex.8.in with the version filled in"
else
    fail "installed manual page is man/mervex.8.in with the version filled in" \
        "$(diff "$work/mervex.8.expected" "$work/mervex.8" | head -n 10)"
fi
if grep -q "^\.TH MERVEX 8 [^ ]* \"mervex $version\"" "$work/mervex.8"; then
    pass "manual page header: section 8, mervex $version"
else
    fail "manual page header: section 8, mervex $version" "$(grep '^\.TH' "$work/mervex.8")"
fi

LC_ALL=C MANWIDTH=100 man --warnings -l "$page" 2>"$work/man.err" | col -b >"$work/man.txt"
expect "man --warnings -l renders the installed page without warnings" "$(cat "$work/man.err")" ""
name_line="$(awk 'found && NF { print; exit } /^NAME$/ { found = 1 }' "$work/man.txt" | sed 's/^ *//')"
expect "rendered page: NAME line" "$name_line" \
    "mervex - convert host firewall rules from configuration format 1.0 to 1.1"
for section in SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' DIAGNOSTICS FILES EXAMPLES NOTES; do
    if grep -qx "$section" "$work/man.txt"; then
        pass "rendered page: section $section"
    else
        fail "rendered page: section $section"
    fi
done
found="$(MANPATH="$root/usr/share/man" man -w 8 mervex 2>&1)"
expect "man finds the page in section 8 of the installed manual tree" "$found" "$page"
for option in --file --check --verbose --help --version; do
    if grep -q -- "^ *$option" "$work/man.txt"; then
        pass "rendered page: OPTIONS describes $option"
    else
        fail "rendered page: OPTIONS describes $option"
    fi
done

# --- the bash completion -----------------------------------------------------
completion="$root/usr/share/bash-completion/completions/mervex"
if bash -n "$completion" 2>"$work/completion.err"; then
    pass "bash -n accepts the completion script"
else
    fail "bash -n accepts the completion script" "$(cat "$work/completion.err")"
fi
# One completion call each for an option and for the argument of --file and
# --check, in a directory holding an archive, a directory and another file.
mkdir -p "$work/complete/backups"
touch "$work/complete/fw.tar.gz" "$work/complete/notes.txt"
completed="$(cd "$work/complete" && bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    complete_line() {
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
        COMPREPLY=()
        _mervex mervex "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s
" "${COMPREPLY[*]}"
    }
    complete_line mervex --ver
    complete_line mervex --file ""
    complete_line mervex --check ""
    complete_line mervex --check=f
' bash "$completion" 2>&1)"
expect "completion: options, archives after --file and --check" "$completed" \
    "--verbose --version"$'\n'"fw.tar.gz backups"$'\n'"fw.tar.gz backups"$'\n'"fw.tar.gz"

# --- the copyright file ------------------------------------------------------
copyright="$root/usr/share/doc/mervex/copyright"
expect "copyright file: machine-readable format" "$(head -n 1 "$copyright")" \
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
if grep -qx "License: Expat" "$copyright"; then
    pass "copyright file: MIT (Expat) licence"
else
    fail "copyright file: MIT (Expat) licence"
fi

# Every message the program prints appears in DIAGNOSTICS: the text of the
# first string literal of each print call in the sources (the help text
# aside), split where values are filled in. (grep -q reads a file here, not
# a pipe: with pipefail, a grep -q that stops reading early would fail the
# command writing into the pipe.)
tr -s ' ' <"$work/man.txt" >"$work/man.normalised"
messages="$(perl -0777 -ne '
    s/^void usage\(\) \{.*?^\}//sm;
    while (/\b(?:printMessage|reportOpenFailure|printf)\s*\(\s*(?:gettext\(\s*)?"((?:[^"\\]|\\.)*)"/g) {
        print "$1\n";
    }' src/*.cpp | sort -u)"
message_count=0
while IFS= read -r literal; do
    text="$(printf '%s' "$literal" | sed 's/\\n//g; s/\\"/"/g; s/\\\\/\\/g')"
    while IFS= read -r fragment; do
        fragment="$(printf '%s' "$fragment" | sed 's/^ *//; s/ *$//')"
        [ "${#fragment}" -ge 3 ] || continue
        message_count=$((message_count + 1))
        if grep -qF -- "$fragment" "$work/man.normalised"; then
            pass "manual documents the message text: $fragment"
        else
            fail "manual documents the message text: $fragment"
        fi
    done < <(printf '%s\n' "$text" | sed 's/%s/\n/g')
done <<<"$messages"
if [ "$message_count" -ge 15 ]; then
    pass "found the program's messages in the sources ($message_count texts)"
else
    fail "found the program's messages in the sources" "only $message_count texts found"
fi

# --- cmake --install ---------------------------------------------------------
prefix="$work/prefix"
if cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1 &&
    [ -x "$prefix/sbin/mervex" ] && [ -f "$prefix/share/man/man8/mervex.8.gz" ]; then
    pass "cmake --install puts sbin/mervex and share/man/man8/mervex.8.gz under the prefix"
else
    fail "cmake --install puts sbin/mervex and share/man/man8/mervex.8.gz under the prefix" \
        "$(cat "$work/install.log"; find "$prefix" 2>/dev/null)"
fi

# --- lintian -----------------------------------------------------------------
# Info and pedantic tags are shown, not counted.
lintian --fail-on error,warning --display-info --pedantic "$deb" >"$work/lintian.log" 2>&1
lintian_status=$?
grep -v 'running with root privileges' "$work/lintian.log" | sed 's/^/       lintian: /'
if [ "$lintian_status" -eq 0 ]; then
    pass "lintian reports no error and no warning"
else
    fail "lintian reports no error and no warning"
fi

finish
