#!/usr/bin/env bash
# Installs and uninstalls the Windows installer silently under Wine, in a
# Wine prefix of its own that every run makes afresh, and checks what lands
# where, what the uninstaller removes and what it leaves: the working folder
# with its settings and spool.
#   msi_wine_test.sh WINE MSI PREFIX
# Exit status 0 when every check passes. A missing installer or msiinfo
# fails the test: the Windows build makes the one, tools/install-deps.sh
# installs the other.
set -uo pipefail

wine=$1
msi=$2
prefix=$3
example=$(cd "$(dirname "$0")/.." && pwd)/packaging/kelmora.ini.example

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

[ -f "$msi" ] || { echo "FAIL: no installer $msi (wixl and msitools installed when build-win was configured?)"; exit 1; }
command -v msiinfo >/dev/null || { echo "FAIL: msiinfo is missing (Debian package msitools)"; exit 1; }
echo "installer: $(basename "$msi"), $(stat -c %s "$msi") bytes"

wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo wineserver)
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
scratch=$(mktemp -d)
cleanup() {
  timeout 30 "$wineserver" -k >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT

# A server kept up for the whole run: a server that ended and started again
# would start the auto-start service on its own.
rm -rf "$prefix"
mkdir -p "$prefix"
timeout 30 "$wineserver" -p >/dev/null 2>&1
started=$(date +%s%N)
# The prefix is made by the first program's start. An explicit `wineboot
# --init` on a prefix not yet there would run a second wineboot after that
# one, and with it a second services.exe: two service databases, of which
# msiexec and sc.exe may each see another.
timeout 180 "$wine" cmd /c exit >/dev/null 2>&1 || { echo "FAIL: cannot make the Wine prefix"; exit 1; }
echo "prefix made in $(( ($(date +%s%N) - started) / 1000000 )) ms"

drive_c=$prefix/drive_c
programs=$drive_c/Program\ Files/orvent
workdir=$drive_c/ProgramData/orvent
menu=$drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/ORVENT
service_key='HKLM\System\CurrentControlSet\Services\orvent-service'
msi_path="Z:${msi//\//\\}"

# The names the package installs, from its own tables: the programs (every
# .exe of the File table) and the menu entries (long names of the Shortcut
# table). A name is "short|long" or one name for both.
long_names() { msiinfo export "$msi" "$1" | tail -n +4 | cut -f "$2" | sed 's/.*|//; s/\r$//'; }
mapfile -t exes < <(long_names File 3 | grep '\.exe$')
mapfile -t shortcuts < <(long_names Shortcut 3)
for p in orvent-service.exe orvent-inspect.exe; do
  printf '%s\n' "${exes[@]}" | grep -qx "$p" || fail "the installer carries no $p"
done
((${#shortcuts[@]})) || fail "the installer has no menu entries"

# run_msiexec LABEL ARGS...: a silent msiexec run, timed; its exit status.
# Its log, numbered in the order of the runs, is kept in PREFIX-logs.
logs=$prefix-logs
logs_taken=0
rm -rf "$logs"
mkdir -p "$logs"
run_msiexec() {
  local label=$1
  shift
  local start rc
  start=$(date +%s%N)
  logs_taken=$((logs_taken + 1))
  timeout 300 "$wine" msiexec "$@" /l*v "$logs/$logs_taken.log" >"$scratch/msiexec.out" 2>&1
  rc=$?
  echo "$label: exit status $rc in $(( ($(date +%s%N) - start) / 1000000 )) ms"
  [ "$rc" -eq 0 ] || { fail "$label: msiexec $* gave $rc"; cat "$scratch/msiexec.out"; }
}

# A value of the service's registry key ("" when there is none); Wine 8's
# sc.exe has no "qc", its registry says the same.
service_value() {
  timeout 60 "$wine" reg query "$service_key" /v "$1" 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$1 *REG_[A-Z_]* *//p" | sed 's/ *$//'
}

# check_installed LABEL COMMAND_LINE WORKING_FOLDER: the service's Windows
# command line and the working folder as Windows writes it.
check_installed() {
  local label=$1 image=$2 folder=$3
  for p in "${exes[@]}"; do
    [ -f "$programs/$p" ] || fail "$label: no Program Files\\orvent\\$p"
  done
  # Every entry leads to the working folder: the folder's own as its target,
  # the window program's as the folder it starts in, where kelmora.ini is.
  for s in "${shortcuts[@]}"; do
    if [ ! -f "$menu/$s.lnk" ]; then
      fail "$label: no menu entry \"$s\" in the all-users Start menu"
    elif ! tr -d '\0' <"$menu/$s.lnk" | grep -aqF "$folder"; then
      fail "$label: the menu entry \"$s\" does not name $folder"
    fi
  done
  local query
  query=$(timeout 60 "$wine" sc query orvent-service 2>&1 | tr -d '\r')
  grep -q 'SERVICE_NAME: orvent-service' <<<"$query" || fail "$label: sc query knows no orvent-service: $query"
  grep -q 'STOPPED' <<<"$query" || fail "$label: the service is not stopped after an install without START_SERVICE: $query"
  [ "$(service_value Start)" = 0x2 ] || fail "$label: the service's start type is '$(service_value Start)', not 0x2 (automatic)"
  [ "$(service_value ImagePath)" = "$image" ] ||
    fail "$label: the service's command line is '$(service_value ImagePath)', not '$image'"
}

check_removed() {
  local label=$1
  [ ! -e "$programs" ] || fail "$label: Program Files\\orvent is still there: $(ls "$programs")"
  [ ! -e "$menu" ] || fail "$label: the menu folder is still there: $(ls "$menu")"
  # A service marked for deletion goes when the last handle to it closes:
  # msiexec's may close only after msiexec has ended.
  local registered=1 key=1
  for _ in $(seq 50); do
    timeout 60 "$wine" sc query orvent-service >/dev/null 2>&1 || registered=0
    [ -n "$(service_value Start)" ] || key=0
    ((registered || key)) || break
    registered=1 key=1
    sleep 0.2
  done
  ((registered)) && fail "$label: the service is still registered 10 s after the uninstall"
  ((key)) && fail "$label: the service's registry key is still there 10 s after the uninstall"
}

# The Windows command line of the service: the program alone with the
# default working folder (the service's own default too).
image_default='C:\Program Files\orvent\orvent-service.exe'
sed 's/\r*$/\r/' "$example" >"$scratch/kelmora.ini.crlf"

run_msiexec "install" /i "$msi_path" /qn
check_installed "install" "$image_default" 'C:\ProgramData\orvent\'
if [ -f "$workdir/kelmora.ini" ]; then
  cmp -s "$scratch/kelmora.ini.crlf" "$workdir/kelmora.ini" ||
    fail "install: ProgramData\\orvent\\kelmora.ini is not kelmora.ini.example with CR LF line ends"
else
  fail "install: no ProgramData\\orvent\\kelmora.ini"
fi

# The operator's work: settings edited, records spooled, an error log.
printf '; ComPort chosen by the operator\r\n' >>"$workdir/kelmora.ini"
printf '%020d' 7 >"$workdir/A.dd8"
printf 'error\r\n' >"$workdir/error.txt"
cp -p "$workdir/kelmora.ini" "$workdir/A.dd8" "$workdir/error.txt" "$scratch/"

check_workdir_kept() {
  for f in kelmora.ini A.dd8 error.txt; do
    cmp -s "$scratch/$f" "$workdir/$f" || fail "$1: ProgramData\\orvent\\$f was changed or removed"
  done
}

run_msiexec "uninstall" /x "$msi_path" /qn
check_removed "uninstall"
check_workdir_kept "uninstall"

# Installed again over the working folder: its kelmora.ini stays.
run_msiexec "install over an existing kelmora.ini" /i "$msi_path" /qn
check_installed "install over an existing kelmora.ini" "$image_default" 'C:\ProgramData\orvent\'
check_workdir_kept "install over an existing kelmora.ini"
run_msiexec "second uninstall" /x "$msi_path" /qn
check_removed "second uninstall"
check_workdir_kept "second uninstall"

# A working folder of the operator's choice, with a blank in its name: the
# service is told it, quoted, and the first kelmora.ini goes there.
run_msiexec "install with WORKDIR" /i "$msi_path" /qn 'WORKDIR=C:\alarm data'
check_installed "install with WORKDIR" "$image_default --workdir \"C:\\alarm data\\.\"" 'C:\alarm data\'
cmp -s "$scratch/kelmora.ini.crlf" "$drive_c/alarm data/kelmora.ini" ||
  fail "install with WORKDIR: no kelmora.ini from the example in C:\\alarm data"
check_workdir_kept "install with WORKDIR"
run_msiexec "uninstall after WORKDIR" /x "$msi_path" /qn
check_removed "uninstall after WORKDIR"
[ -f "$drive_c/alarm data/kelmora.ini" ] || fail "uninstall after WORKDIR: C:\\alarm data\\kelmora.ini was removed"

# Started when asked: the service runs in its folder, and the uninstall
# stops it in order before it removes it.
wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND is
  local until=$(($(date +%s) + $1))
  shift
  until "$@"; do
    (($(date +%s) < until)) || return 1
    sleep 0.2
  done
}
service_state_is() { timeout 60 "$wine" sc query orvent-service 2>/dev/null | tr -d '\r' | grep -q "STATE.*$1"; }
status_says() { grep -qF "$1" "$workdir/status.txt" 2>/dev/null; }
rm -f "$workdir/status.txt"
run_msiexec "install with START_SERVICE=1" /i "$msi_path" /qn START_SERVICE=1
wait_for 30 service_state_is RUNNING || fail "install with START_SERVICE=1: the service is not running"
wait_for 30 status_says "Настройки: C:\ProgramData\orvent\kelmora.ini" ||
  fail "install with START_SERVICE=1: no start-up line in ProgramData\orvent\status.txt"
run_msiexec "uninstall of a running service" /x "$msi_path" /qn
check_removed "uninstall of a running service"
wait_for 30 status_says "Драйвер остановлен." || fail "uninstall of a running service: it did not end in order"
# (The spool file was the running service's to take; the settings stay.)
cmp -s "$scratch/kelmora.ini" "$workdir/kelmora.ini" ||
  fail "uninstall of a running service: ProgramData\\orvent\\kelmora.ini was changed or removed"

if ((failures)); then
  echo "$failures check(s) failed; the installer's logs are in $logs"
  exit 1
fi
echo "all checks passed"
