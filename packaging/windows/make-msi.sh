#!/usr/bin/env bash
# Builds the Windows installer from orvent.wxs.
#   make-msi.sh WIXL MSIBUILD STRIP WXS OUTPUT VERSION INI_EXAMPLE SERVICE_EXE INSPECT_EXE [DRIVER_EXE]
# VERSION: the MSI's three-number version (the installer ignores a fourth).
# The files are gathered in OUTPUT.stage/ (removed at the end), the programs
# without their debugging information (STRIP: the cross build's strip), which
# is most of their size and of no use on a station; kelmora.ini
# gets CR LF line ends, for Notepad (its bytes are ASCII, so no code page to
# choose). wixl builds the package; msibuild then sets what wixl cannot
# express (see orvent.wxs). OUTPUT appears only when every step succeeded.
set -euo pipefail

wixl=$1 msibuild=$2 strip=$3 wxs=$4 output=$5 version=$6 ini=$7 service=$8 inspect=$9
driver=${10:-}

stage=$output.stage
partial=$output.partial
rm -rf "$stage" "$partial" "$output"
mkdir -p "$stage"
cp "$service" "$stage/orvent-service.exe"
cp "$inspect" "$stage/orvent-inspect.exe"
with_driver=no
if [ -n "$driver" ]; then
  cp "$driver" "$stage/orvent-driver.exe"
  with_driver=yes
fi
for exe in "$stage"/*.exe; do "$strip" --strip-debug "$exe"; done
sed 's/\r*$/\r/' "$ini" >"$stage/kelmora.ini"

# wixl finds the files in the folder it runs in.
wxs=$(cd "$(dirname "$wxs")" && pwd)/$(basename "$wxs")
(cd "$stage" && "$wixl" -a x64 -D "Version=$version" -D "WithDriver=$with_driver" -o "$partial" "$wxs")

sql() { "$msibuild" "$partial" -q "$1"; }

# Code page 1251 first: the Russian texts below are stored in it.
printf '\r\n\r\n1251\t_ForceCodepage\r\n' >"$stage/codepage.idt"
"$msibuild" "$partial" -i "$stage/codepage.idt"

# The texts the operator sees. A name is "short|long"; the short one is for
# file systems without long names only. The service's name and description
# are those that `orvent-service.exe --install` gives it (service/main.cpp).
sql "UPDATE \`ServiceInstall\` SET \`DisplayName\` = 'Драйвер приёмника тревожных сообщений', \`Description\` = 'Принимает сообщения приёмника тревог с COM-порта, подтверждает каждое и передаёт их серверу сообщений; пока сервер недоступен, сообщения ждут в очереди на диске.' WHERE \`ServiceInstall\` = 'ServiceInstall'"
sql "UPDATE \`Shortcut\` SET \`Name\` = 'workdir|Рабочая папка драйвера' WHERE \`Shortcut\` = 'WorkdirShortcut'"
if [ "$with_driver" = yes ]; then
  sql "UPDATE \`Shortcut\` SET \`Name\` = 'driver|Драйвер ORVENT', \`Description\` = 'Подтверждает тревоги приёмника и передаёт их на сервер сообщений' WHERE \`Shortcut\` = 'DriverShortcut'"
fi

# kelmora.ini: 64-bit (256) + Permanent (16) + NeverOverwrite (128), so an
# existing file is neither replaced at install nor removed at uninstall.
sql "UPDATE \`Component\` SET \`Attributes\` = 400 WHERE \`Component\` = 'Settings'"
sql "UPDATE \`Component\` SET \`Condition\` = 'START_SERVICE = \"1\"' WHERE \`Component\` = 'ServiceStart'"

# Restart after a failure, as `orvent-service.exe --install` sets it (60 s
# after each failure, counted afresh after a day): the ServiceInstall table
# cannot say so, sc.exe can. Deferred, not impersonated (34 + 1024 + 2048), after InstallServices
# (5800) and before StartServices (5900); its failure (+64, ignored) leaves
# a service that is installed and only not restarted by itself.
sql "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('ServiceRecovery', 3170, 'System64Folder', '\"[System64Folder]sc.exe\" failure orvent-service reset= 86400 actions= restart/60000/restart/60000/restart/60000')"
sql "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('ServiceRecovery', 'NOT REMOVE', 5850)"

mv "$partial" "$output"
rm -rf "$stage"
