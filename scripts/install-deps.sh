#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build and test
# the suite. Does nothing when everything is present.
set -euo pipefail

packages=(
  make cmake ninja-build g++ clang python3
  # libFuzzer's runtime (libclang_rt.fuzzer), the static analysis and the formatter
  libclang-rt-14-dev clang-tidy clang-format
  googletest libgtest-dev zlib1g-dev libssl-dev openssl nginx-light
  g++-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine64 xvfb x11-apps imagemagick locales fonts-crosextra-carlito
  # zip tools whose archives the extraction tests read and compare with unzip
  zip unzip p7zip-full libarchive-tools
  # wixl builds the Windows Installer package; msitools reads it back
  wixl msitools
  # the fleet-monitoring consumers the metrics file is checked against
  # (promtool comes with prometheus)
  prometheus prometheus-node-exporter
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine reads the locale from LC_ALL; generating it also quiets the shell's warnings.
if ! locale -a 2>/dev/null | grep -qi '^pt_BR\.utf-\?8$'; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO sed -i 's/^# *\(pt_BR.UTF-8 UTF-8\)/\1/' /etc/locale.gen 2>/dev/null || true
  grep -q '^pt_BR.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo 'pt_BR.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null 2>&1 || true
fi
