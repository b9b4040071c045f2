#!/usr/bin/env bash
# Set-up's reading of apt's output and its private source lists, on captured outputs: each case
# gives apt's words or the machine's source files and what set-up must make of them.
# Usage: apt_private_test.sh SCRIPTS_DIR
set -euo pipefail
tool=$1/apt-private
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
expect() { # NAME EXPECTED ACTUAL
    if [ "$2" != "$3" ]; then
        printf 'FAIL: %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3"
        failures=$((failures + 1))
    fi
}
tab=$'\t'

# --- apt-get update's failures: the suites to leave out -----------------------------------------
failed_case() { expect "failed: $1" "$3" "$("$tool" failed <<<"$2")"; }

failed_case "an index of another size than its Release names" \
'Get:3 http://deb.debian.org/debian-security bookworm-security InRelease [34.8 kB]
Get:4 http://deb.debian.org/debian bookworm/main i386 Packages [8682 kB]
Ign:6 http://deb.debian.org/debian-security bookworm-security/main i386 Packages
Get:6 http://deb.debian.org/debian-security bookworm-security/main i386 Packages [376 kB]
Err:6 http://deb.debian.org/debian-security bookworm-security/main i386 Packages
  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]
  Hashes of expected file:
   - Filesize:376004 [weak]
Fetched 8930 kB in 1s (11.6 MB/s)
E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]
E: Some index files failed to download. They have been ignored, or old ones used instead.' \
"http://deb.debian.org/debian-security${tab}bookworm-security${tab}File has unexpected size (374820 != 376004). Mirror sync in progress?"

failed_case "a clean update leaves nothing out" \
'Hit:1 http://deb.debian.org/debian bookworm InRelease
Reading package lists...' ""

failed_case "a suite without a Release file, a bad signature, fetch errors alone" \
"E: The repository 'http://example.org/debian/ bookworm-backports Release' does not have a Release file.
W: GPG error: http://example.org/debian bookworm InRelease: The following signatures were invalid: EXPKEYSIG 0E98404D386FA1D9
W: Failed to fetch http://example.org/updates/dists/bookworm-updates/InRelease  Connection failed [IP: 192.0.2.1 80]
E: Failed to fetch http://example.org/updates/dists/bookworm-updates/main/binary-amd64/Packages.xz  Hash Sum mismatch" \
"http://example.org/debian${tab}bookworm-backports${tab}does not have a Release file.
http://example.org/debian${tab}bookworm${tab}GPG error: The following signatures were invalid: EXPKEYSIG 0E98404D386FA1D9
http://example.org/updates${tab}bookworm-updates${tab}Connection failed"

# --- the private source list, from the machine's files ------------------------------------------
etc=$scratch/etc
mkdir -p "$etc/sources.list.d"
cat >"$etc/sources.list.d/debian.sources" <<'SOURCES'
Types: deb
# a comment stays
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security/
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
# A stanza of the mirrors file: its URIs and suites, and a key block on continuation lines.
mirrors() { printf 'Types: deb deb-src\nURIs: %s\nSuites: %s\nComponents: main contrib\nSigned-By:\n -----BEGIN PGP PUBLIC KEY BLOCK-----\n mQINBGPL\n' "$1" "$2"; }
mirrors "http://a.example/debian
 http://b.example/debian" "bookworm bookworm-security" >"$etc/sources.list.d/mirrors.sources"
cat >"$etc/sources.list" <<'LIST'
deb http://deb.debian.org/debian bookworm main
deb [arch=amd64,i386 signed-by=/k.gpg] http://deb.debian.org/debian-security bookworm-security main
  deb-src http://deb.debian.org/debian-security/ bookworm-security main
LIST
cp "$etc/sources.list" "$etc/sources.list.d/extra.list"
echo "deb http://deb.debian.org/debian-security bookworm-security main" >"$etc/sources.list.d/off.list.disabled"

out=$scratch/out
"$tool" sources "$etc" "$out" <<<"http://deb.debian.org/debian-security${tab}bookworm-security${tab}size
http://b.example/debian${tab}bookworm-security${tab}size"
expect "sources: the suite's stanza goes, the rest stays whole" \
'Types: deb
# a comment stays
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' "$(cat "$out/sources.list.d/debian.sources")"
expect "sources: a stanza of two URIs split, the failed suite left out of one, the key block kept" \
    "$(mirrors http://a.example/debian "bookworm bookworm-security"; echo; mirrors http://b.example/debian bookworm)" \
    "$(cat "$out/sources.list.d/mirrors.sources")"
list='deb http://deb.debian.org/debian bookworm main
# left out by set-up, its index failed: deb [arch=amd64,i386 signed-by=/k.gpg] http://deb.debian.org/debian-security bookworm-security main
# left out by set-up, its index failed:   deb-src http://deb.debian.org/debian-security/ bookworm-security main'
expect "sources: one-line entries, with options and a trailing slash" "$list" "$(cat "$out/sources.list")"
expect "sources: .list files in the folder too" "$list" "$(cat "$out/sources.list.d/extra.list")"
expect "sources: files apt does not read are not copied" \
    "debian.sources extra.list mirrors.sources" "$(cd "$out/sources.list.d" && echo *)"

# --- apt-get install's failure: the package it could not install --------------------------------
unmet_case() { expect "unmet: $1" "$3" "$("$tool" unmet <<<"$2")"; }

unmet_case "unmet dependencies name the first package" \
'Reading package lists...
The following packages have unmet dependencies:
 wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed
               Recommends: libasound2-plugins:i386 but it is not going to be installed
 libwine:i386 : Depends: libssl3:i386 (>= 3.0.0) but it is not going to be installed
E: Unable to correct problems, you have held broken packages.' \
"wine32:i386${tab}Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed"
unmet_case "a package no list knows" \
'E: Unable to locate package wine32:i386' "wine32:i386${tab}Unable to locate package wine32:i386"
unmet_case "a package without a candidate" \
"E: Package 'wine64' has no installation candidate" "wine64${tab}Package 'wine64' has no installation candidate"
unmet_case "any other error, without a package" \
'E: Could not get lock /var/lib/dpkg/lock-frontend.' "${tab}Could not get lock /var/lib/dpkg/lock-frontend."

[ "$failures" -eq 0 ] || exit 1
echo "apt-private ok"
