#!/usr/bin/env bash
# Installs everything the build, the program and the tests need on Debian 12.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

PACKAGES=(
    build-essential cmake pkg-config ninja-build clang-format
    qt6-base-dev qt6-base-dev-tools libgl-dev libxkbcommon-dev
    libcurl4-openssl-dev libzip-dev zipcmp zip unzip p7zip-full
    libgcrypt20-dev
    unixodbc unixodbc-dev tdsodbc freetds-bin openssl libssl-dev
    libgtest-dev libgmock-dev
    python3 python3-pyftpdlib python3-openssl python3-asyncssh openssl openssh-client python3-pyodbc python3-botan
    xvfb xauth fonts-dejavu-core time curl
    dpkg-dev file
    pigz vsftpd openssh-server
)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    # Servers installed for the benchmark must not start listening while they are installed: a policy that refuses
    # every service start holds for the installation only (unless the machine already has a policy of its own).
    policy=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        policy=/usr/sbin/policy-rc.d
        printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
        $SUDO chmod 755 "$policy"
    fi
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" || { [ -z "$policy" ] || $SUDO rm -f "$policy"; exit 1; }
    [ -z "$policy" ] || $SUDO rm -f "$policy"
fi

# vsftpd and sshd serve the benchmark only (bench/run.sh starts its own on the loopback): the system services the
# packages set up are stopped and disabled, so that nothing listens on port 21 or 22.
for service in vsftpd:vsftpd openssh-server:ssh; do
    package=${service%%:*}
    unit=${service#*:}
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || continue
    if [ -d /run/systemd/system ] && command -v systemctl >/dev/null 2>&1; then
        $SUDO systemctl disable --now "$unit.service" >/dev/null 2>&1 || true
        [ "$unit" != ssh ] || $SUDO systemctl disable --now ssh.socket >/dev/null 2>&1 || true
    else
        $SUDO invoke-rc.d "$unit" stop >/dev/null 2>&1 || true
        $SUDO update-rc.d "$unit" disable >/dev/null 2>&1 || true
    fi
done

# The FreeTDS ODBC driver must be known to unixODBC under the name "FreeTDS".
if ! odbcinst -q -d -n FreeTDS >/dev/null 2>&1; then
    lib=$(find /usr/lib -name libtdsodbc.so 2>/dev/null | head -n 1)
    setup=$(find /usr/lib -name libtdsS.so 2>/dev/null | head -n 1)
    tmp=$(mktemp)
    printf '[FreeTDS]\nDescription=FreeTDS ODBC driver\nDriver=%s\n' "$lib" >"$tmp"
    [ -n "$setup" ] && printf 'Setup=%s\n' "$setup" >>"$tmp"
    $SUDO odbcinst -i -d -f "$tmp"
    rm -f "$tmp"
fi
