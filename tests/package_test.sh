#!/usr/bin/env bash
# Checks the Debian packages that `cmake --build build --target package` makes.
# They are unpacked with dpkg-deb into a scratch folder and never installed:
# nothing here changes the machine.
#
# package_test.sh CHECK PACKAGE_DIR VERSION PACKAGE...
#   CHECK: contents, unit, logrotate, desktop or lintian. Exit status 0 when
#   the check passes, 1 when it fails, 77 when a tool it needs is missing
#   (tools/install-deps.sh installs them all).
set -uo pipefail

check=$1
package_dir=$2
version=$3
shift 3
packages=("$@")
source_dir=$(cd "$(dirname "$0")/.." && pwd)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

needs() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
  done
}

deb_of() { echo "$package_dir/${1}_${version}_$(dpkg --print-architecture).deb"; }

# Unpacks a package into its own folder under the scratch folder, once, and
# prints that folder.
unpack() {
  local root=$scratch/$1
  if [ ! -d "$root" ]; then
    mkdir -p "$root"
    dpkg-deb -x "$(deb_of "$1")" "$root" || { echo "FAIL: cannot unpack $1" >&2; return 1; }
  fi
  echo "$root"
}

# The value of KEY= in a unit, desktop entry or similar key file (first one).
value_of() { sed -n "s/^$1=//p" "$2" | head -n 1; }

check_contents() {
  for p in "${packages[@]}"; do
    local deb
    deb=$(deb_of "$p")
    [ -f "$deb" ] || { fail "$p: no $deb"; continue; }
    [ "$(dpkg-deb -f "$deb" Package)" = "$p" ] || fail "$p: the Package field is $(dpkg-deb -f "$deb" Package)"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$p: the Version field is $(dpkg-deb -f "$deb" Version)"
    for field in Maintainer Section Priority Description; do
      [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "$p: no $field field"
    done

    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "$p depends on: $depends"
    # The libraries come from dpkg-shlibdeps: an empty list means it did not run.
    [[ $depends == *libc6* && $depends == *libstdc++6* ]] || fail "$p: libc6 or libstdc++6 missing from Depends"
    # A station without a desktop must not be made to install Qt.
    case $p in
      orvent-driver) [[ $depends == *libqt6widgets6* ]] || fail "$p: libqt6widgets6 missing from Depends" ;;
      *) [[ $depends != *libqt* ]] || fail "$p: depends on Qt" ;;
    esac
    [ "$p" != orvent-service ] || [[ $depends == *systemd* ]] || fail "$p: systemd missing from Depends"

    # Only /usr and /etc; every file under /etc is a conffile, so that an
    # upgrade keeps the administrator's changes.
    local files
    files=$(dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\.||' | grep -v '/$')
    local stray
    stray=$(grep -vE '^/(usr|etc)/' <<<"$files")
    [ -z "$stray" ] || fail "$p: files outside /usr and /etc: $stray"
    local in_etc conffiles
    in_etc=$(grep '^/etc/' <<<"$files" | sort)
    conffiles=$(dpkg-deb --info "$deb" conffiles 2>/dev/null | sort)
    [ "$in_etc" = "$conffiles" ] || fail "$p: files in /etc [$in_etc] are not the conffiles [$conffiles]"

    # Each package brings the one program it is named after: no simulators.
    local bin_files
    bin_files=$(grep '^/usr/bin/' <<<"$files" | sed 's|^/usr/bin/||' | xargs)
    [ "$bin_files" = "$p" ] || fail "$p: brings the programs [$bin_files], not [$p]"
  done

  # The programs run from the package, with the system's libraries, and know
  # the package's version (the window program answers before it makes a window).
  for p in "${packages[@]}"; do
    local root out
    root=$(unpack "$p") || exit 1
    out=$("$root/usr/bin/$p" --version 2>&1)
    [ "$out" = "$p $version" ] || fail "$p --version printed '$out', not '$p $version'"
  done

  # The packages that run the driver bring the example settings file as the
  # repository holds it, and the packaged inspector reads it as the defaults.
  local inspect_root
  inspect_root=$(unpack orvent-inspect) || exit 1
  for p in "${packages[@]}"; do
    [ "$p" != orvent-inspect ] || continue
    local example
    example=$(unpack "$p")/usr/share/doc/$p/examples/kelmora.ini
    [ -f "$example" ] || { fail "$p: no /usr/share/doc/$p/examples/kelmora.ini"; continue; }
    cmp -s "$example" "$source_dir/packaging/kelmora.ini.example" ||
      fail "$p: its example kelmora.ini is not packaging/kelmora.ini.example"
    local settings
    settings=$("$inspect_root/usr/bin/orvent-inspect" decode --ini "$example" "5011 181234113001015" 2>&1 | head -n 1)
    [ "$settings" = "settings: $example: FirstNumber 4, VariantRazdel 1, Hex off" ] ||
      fail "$p: the inspector reads its example as '$settings'"
  done

  # Together they install on this machine (simulated; nothing is installed):
  # every name and least version in Depends exists.
  local debs=()
  for p in "${packages[@]}"; do debs+=("$(deb_of "$p")"); done
  apt-get install --simulate --quiet=2 "${debs[@]}" >"$scratch/apt.log" 2>&1 ||
    { cat "$scratch/apt.log"; fail "the packages do not install together"; }
}

# The system calls of a SystemCallFilter= group, its nested groups expanded.
syscalls_of() {
  systemd-analyze syscall-filter "$1" | tail -n +2 | sed 's/^[[:space:]]*//' | while read -r entry; do
    case $entry in
      '#'* | '') ;;
      @*) syscalls_of "$entry" ;;
      *) echo "$entry" ;;
    esac
  done
}

check_unit() {
  needs systemd-analyze systemd-sysusers
  local root unit template
  root=$(unpack orvent-service) || exit 1
  unit=$root/usr/lib/systemd/system/orvent-service.service
  template=$root/usr/lib/systemd/system/orvent-service@.service
  [ -f "$unit" ] || { echo "FAIL: no $unit"; exit 1; }
  [ -f "$template" ] || { echo "FAIL: no $template"; exit 1; }

  local exec_start
  exec_start=$(value_of ExecStart "$unit")
  [ -x "$root$exec_start" ] || fail "ExecStart=$exec_start is not a program of the package"

  # The template (an instance per receiver, orvent-service@NAME) keeps the
  # unit's sandbox: it differs in its description and its working directory
  # alone, /var/lib/orvent/NAME.
  local without_place='^(Description|StateDirectory|WorkingDirectory)='
  diff <(grep -vE "$without_place" "$unit") <(grep -vE "$without_place" "$template") ||
    fail "the template differs from the unit beyond its description and working directory"
  [ "$(value_of StateDirectory "$template")" = "orvent/%i" ] || fail "the template's StateDirectory is not orvent/%i"
  [ "$(value_of WorkingDirectory "$template")" = "%S/orvent/%i" ] || fail "the template does not work in %S/orvent/%i"

  # systemd-analyze verify wants ExecStart= to exist on this machine, so a
  # copy of each unit points into the unpacked package. It only warns about
  # an unknown key or a value it cannot read: any line about a unit fails.
  # With man-db, the manual page named in Documentation= must be the one in
  # the package.
  mkdir -p "$scratch/units"
  local man=--man=no
  command -v man >/dev/null && man=--man=yes
  for u in orvent-service.service orvent-service@.service; do
    sed "s|^ExecStart=|ExecStart=$root|" "$root/usr/lib/systemd/system/$u" >"$scratch/units/$u"
    local verify_out verify_status
    verify_out=$(MANPATH=$root/usr/share/man systemd-analyze verify "$man" "$scratch/units/$u" 2>&1)
    verify_status=$?
    echo "$verify_out"
    [ "$verify_status" -eq 0 ] || fail "systemd-analyze verify exited with $verify_status for $u"
    ! grep -q 'orvent-service' <<<"$verify_out" || fail "systemd-analyze verify complained about $u"

    # The sandbox stays as tight as it is now (systemd's exposure 1.9 of 10 on
    # Debian 12): losing a directive, or one that no longer parses, fails here.
    systemd-analyze security --offline=yes --threshold=20 "$scratch/units/$u" >"$scratch/security.log" 2>&1 ||
      { grep -E '^(✗|→)' "$scratch/security.log"; fail "the exposure of $u rose above 2.0"; }
  done

  # ...and leaves the driver its serial port and its TCP connection. These
  # directives are what systemd's own review suggests, and each would cut
  # one of them off on a station; no test here runs under systemd to notice.
  local closes
  closes=$(grep -E '^(PrivateDevices=(yes|true|on|1)|DevicePolicy=(closed|strict)|DeviceAllow=|ProtectClock=(yes|true|on|1)|PrivateNetwork=(yes|true|on|1)|IPAddressDeny=)' "$unit")
  [ -z "$closes" ] || fail "the unit closes off the serial port or the network: $closes"
  [[ $(value_of RestrictAddressFamilies "$unit") == *AF_INET* ]] || fail "the unit does not allow AF_INET"

  # The driver tells systemd when it is up and feeds its watchdog, through a
  # datagram on systemd's local socket: the unit must wait for it, keep a
  # watchdog, take it from the driver itself, and let those calls through.
  [ "$(value_of Type "$unit")" = notify ] || fail "the unit is not Type=notify"
  [ "$(value_of NotifyAccess "$unit")" = main ] || fail "the unit does not take notifications from the main process"
  [ -n "$(value_of WatchdogSec "$unit")" ] || fail "the unit keeps no watchdog"
  [[ $(value_of RestrictAddressFamilies "$unit") == *AF_UNIX* ]] || fail "the unit does not allow AF_UNIX"
  local allowed denied
  allowed=$(sed -n 's/^SystemCallFilter=\([^~]\)/\1/p' "$unit" | tr ' ' '\n' |
    while read -r group; do [ -z "$group" ] || syscalls_of "$group"; done | sort -u)
  denied=$(sed -n 's/^SystemCallFilter=~//p' "$unit" | tr ' ' '\n' |
    while read -r group; do [ -z "$group" ] || syscalls_of "$group"; done | sort -u)
  for call in socket sendto; do
    grep -qx "$call" <<<"$allowed" || fail "the system call filter does not allow $call"
    ! grep -qx "$call" <<<"$denied" || fail "the system call filter denies $call"
  done

  # The user the unit runs as is the one the package creates, in dialout,
  # at home in the unit's working directory.
  local user state_dir
  user=$(value_of User "$unit")
  state_dir=/var/lib/$(value_of StateDirectory "$unit")
  [[ " $(value_of SupplementaryGroups "$unit") " == *" dialout "* ]] || fail "the unit does not add the group dialout"
  case $(value_of WorkingDirectory "$unit") in
    "%S/${state_dir#/var/lib/}" | "$state_dir") ;;
    *) fail "the working directory is not the state directory $state_dir" ;;
  esac
  mkdir -p "$scratch/sysroot/etc"
  cp /etc/passwd /etc/group "$scratch/sysroot/etc/"
  systemd-sysusers --root="$scratch/sysroot" "$root/usr/lib/sysusers.d/orvent-service.conf" ||
    fail "systemd-sysusers refused the package's file"
  local entry
  entry=$(grep "^$user:" "$scratch/sysroot/etc/passwd")
  [ -n "$entry" ] || fail "systemd-sysusers did not create the user $user"
  [ "$(cut -d: -f6 <<<"$entry")" = "$state_dir" ] || fail "$user's home is not $state_dir: $entry"
  [[ $(cut -d: -f7 <<<"$entry") == */nologin ]] || fail "$user can log in: $entry"
  grep -qE "^dialout:[^:]*:[^:]*:(.*,)?$user(,|$)" "$scratch/sysroot/etc/group" || fail "$user is not in dialout"
}

check_logrotate() {
  needs logrotate
  local root rule
  root=$(unpack orvent-service) || exit 1
  rule=$root/etc/logrotate.d/orvent-service

  # The rule rotates the files the service writes, in its working directory.
  local unit_dir
  unit_dir=/var/lib/$(value_of StateDirectory "$root/usr/lib/systemd/system/orvent-service.service")
  grep -q "^$unit_dir/kelmora.log $unit_dir/error.txt $unit_dir/\*/kelmora.log $unit_dir/\*/error.txt {" "$rule" ||
    fail "the rule does not name kelmora.log and error.txt in $unit_dir and in its instances' folders below it"

  # One forced round in a scratch folder (as root, so without the su line).
  # The driver opens each file per write, so a file must be moved aside,
  # not copied and emptied, and no empty file left in its place: the
  # driver's next write creates it.
  # The same for an instance's folder (orvent-service@north).
  local dir=$scratch/state
  mkdir -p "$dir/north"
  sed -e "s|$unit_dir/|$dir/|g" -e '/^[[:space:]]*su /d' "$rule" >"$scratch/rule"
  local d
  for d in "$dir" "$dir/north"; do
    printf 'packet\n' >"$d/kelmora.log"
    printf 'error line\n' >"$d/error.txt"
  done
  local before_log before_err before_instance_log
  before_log=$(stat -c %i "$dir/kelmora.log")
  before_err=$(stat -c %i "$dir/error.txt")
  before_instance_log=$(stat -c %i "$dir/north/kelmora.log")
  logrotate --force --state "$scratch/logrotate.state" "$scratch/rule" || fail "logrotate failed on the rule"
  [ "$(stat -c %i "$dir/kelmora.log.1" 2>/dev/null)" = "$before_log" ] || fail "kelmora.log was not moved to kelmora.log.1"
  [ "$(stat -c %i "$dir/error.txt.1" 2>/dev/null)" = "$before_err" ] || fail "error.txt was not moved to error.txt.1"
  [ "$(stat -c %i "$dir/north/kelmora.log.1" 2>/dev/null)" = "$before_instance_log" ] ||
    fail "an instance's kelmora.log was not moved to kelmora.log.1"
  for d in "$dir" "$dir/north"; do
    [ ! -e "$d/kelmora.log" ] && [ ! -e "$d/error.txt" ] || fail "logrotate left files in place of the rotated ones in $d"
  done
}

check_desktop() {
  needs desktop-file-validate
  local root entry
  root=$(unpack orvent-driver) || exit 1
  entry=$root/usr/share/applications/orvent-driver.desktop
  [ -f "$entry" ] || { echo "FAIL: no $entry"; exit 1; }
  desktop-file-validate "$entry" || fail "desktop-file-validate refused the entry"
  [ "$(value_of 'Name\[ru\]' "$entry")" = "Драйвер ORVENT" ] || fail "Name[ru] is not 'Драйвер ORVENT'"
  LC_ALL=C grep -q '^Name=[ -~]*$' "$entry" || fail "Name= is not a Latin fallback"
  local exec icon
  exec=$(value_of Exec "$entry")
  [ -x "$root/usr/bin/${exec%% *}" ] || fail "Exec=$exec is not a program of the package"
  icon=$(value_of Icon "$entry")
  compgen -G "$root/usr/share/icons/hicolor/*/apps/$icon.*" >/dev/null || fail "no icon $icon in the hicolor theme"
}

check_lintian() {
  needs lintian
  local debs=()
  for p in "${packages[@]}"; do debs+=("$(deb_of "$p")"); done
  # Errors and warnings fail; the information tags are printed for the log.
  lintian --fail-on error,warning --display-info "${debs[@]}" || fail "lintian"
}

case $check in
  contents | unit | logrotate | desktop | lintian) "check_$check" ;;
  *)
    echo "unknown check: $check"
    exit 2
    ;;
esac
[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "$check: passed"
