# shellcheck shell=bash
# What scripts/test, scripts/demo and scripts/fresh-root share: the Debian
# packages the project needs. Source it from bash:
#
#   source "$root/scripts/lib.sh"
#   zov_install_packages            # apt-get what is missing (as root)
#
# Its functions return non-zero on failure, saying why; they never end the
# script that sourced them.
# Settings: ZOV_SKIP_INSTALL=1 (never call apt-get; only report what is missing).

# Every package the build, the tests, the demo and the Windows cross build
# need on Debian 12.
ZOV_PACKAGES=(
  build-essential cmake ninja-build g++ python3
  googletest libgtest-dev libgmock-dev
  libsnmp-dev snmp snmptrapd snmpsim
  libsqlite3-dev sqlite3
  valgrind clang libclang-rt-14-dev shellcheck
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64
  # The 32-bit Wine that runs the DLL, and Winelib for the platform
  # stand-ins beside it.
  wine wine32:i386 wine32-tools:i386 libwine-dev:i386 libsqlite3-dev:i386 libssl3:i386
  gcc-multilib g++-multilib
  # scripts/release: archive clean-up, signing, and what its check uses.
  strip-nondeterminism osslsigncode openssl unzip diffoscope-minimal
)

zov_say() { printf '\n== %s\n' "$*"; }
zov_warn() { printf 'warning: %s\n' "$*" >&2; }

# Prints the packages of ZOV_PACKAGES (or of the arguments) not installed. A
# name may carry an architecture (wine32:i386). Safe under set -euo pipefail:
# dpkg-query exits 1 when it has never heard of a name, and that must read as
# "missing", not end the caller.
# shellcheck disable=SC2120  # called with arguments by its test
zov_missing_packages() {
  local wanted=("${@:-${ZOV_PACKAGES[@]}}") installed pkg
  # One dpkg-query for all: unknown packages only go to its stderr. Each
  # installed package is listed by its plain and its qualified names.
  installed=" $({ dpkg-query -W -f='${db:Status-Abbrev} ${Package} ${Package}:${Architecture} ${binary:Package}\n' \
    "${wanted[@]}" 2>/dev/null || true; } | awk '$1 == "ii" { print $2; print $3; print $4 }' | tr '\n' ' ') "
  for pkg in "${wanted[@]}"; do
    case $installed in *" $pkg "*) ;; *) echo "$pkg" ;; esac
  done
}

# Installs whatever of ZOV_PACKAGES is missing; quick when nothing is.
zov_install_packages() {
  local missing
  command -v dpkg-query >/dev/null || { zov_warn "not a Debian system: install ${ZOV_PACKAGES[*]} by hand"; return 1; }
  mapfile -t missing < <(zov_missing_packages)
  if [ ${#missing[@]} -eq 0 ]; then
    echo "all ${#ZOV_PACKAGES[@]} Debian packages the project needs are installed"
    return 0
  fi
  echo "missing Debian packages: ${missing[*]}"
  if [ "${ZOV_SKIP_INSTALL:-0}" = 1 ]; then
    zov_warn "ZOV_SKIP_INSTALL=1: install them with: apt-get install ${missing[*]}"
    return 1
  fi
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { zov_warn "run as root, or install: apt-get install ${missing[*]}"; return 1; }
    sudo=(sudo)
  fi
  echo "installing them with apt-get"
  # Packages of another architecture need it known to dpkg before the update.
  local arch
  for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/^[^:]*://p' | sort -u); do
    if [ "$arch" != "$(dpkg --print-architecture)" ] &&
       ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      echo "adding the $arch architecture to dpkg"
      "${sudo[@]}" dpkg --add-architecture "$arch" || { zov_warn "dpkg --add-architecture $arch failed"; return 1; }
    fi
  done
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 \
    install -y --no-install-recommends "${missing[@]}"
  mapfile -t missing < <(zov_missing_packages)
  if [ ${#missing[@]} -ne 0 ]; then
    zov_warn "still missing after apt-get: ${missing[*]}"
    return 1
  fi
  # Installing snmpd and snmptrapd may have started their system services.
  zov_stop_snmp_services
}

# Some kernels refuse 32-bit programs ("Exec format error" from a kernel
# built or booted without ia32 support), and the 32-bit Wine that runs the
# DLL is one. There the kernel is taught to hand i386 programs to qemu's user
# emulator through binfmt_misc. Bookworm's qemu 7.2 is unusable for Wine: each
# Wine process spent 50 s of CPU in qemu's memory-map bookkeeping before it
# ran (measured with a "hello" .exe); the backported qemu 10 starts one in
# 0.25 s. Does nothing where 32-bit programs already run.
zov_enable_32bit() {
  local probe=/usr/lib/wine/wine sudo=() binfmt=/proc/sys/fs/binfmt_misc
  [ -x "$probe" ] || return 0
  "$probe" --version >/dev/null 2>&1 && return 0
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "this kernel refuses 32-bit programs: running them under qemu-i386 instead"
  if ! /usr/bin/qemu-i386-static --version 2>/dev/null | grep -Eq 'version ([89]|[1-9][0-9])\.'; then
    if ! { echo 'deb http://deb.debian.org/debian bookworm-backports main' |
             "${sudo[@]}" tee /etc/apt/sources.list.d/zov-backports.list >/dev/null &&
           "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 update &&
           "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 \
             install -y --no-install-recommends -t bookworm-backports qemu-user-static; }; then
      zov_warn "could not install qemu-user-static from bookworm-backports"
      return 1
    fi
  fi
  [ -e "$binfmt/register" ] || "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$binfmt" ||
    { zov_warn "could not mount $binfmt"; return 1; }
  if [ ! -e "$binfmt/qemu-i386" ]; then
    # An i386 ELF executable's header; F opens the emulator now, so that
    # chroots without it (scripts/fresh-root) run 32-bit programs too.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/libexec/qemu-binfmt/i386-binfmt-P:OPF' |
      "${sudo[@]}" tee "$binfmt/register" >/dev/null ||
      { zov_warn "could not register qemu-i386 with binfmt_misc"; return 1; }
  fi
  "$probe" --version >/dev/null 2>&1 || { zov_warn "32-bit programs still do not run"; return 1; }
  echo "32-bit programs run under $(/usr/bin/qemu-i386-static --version | head -n 1)"
}

# The snmpd and snmptrapd packages come with system services that listen on
# ports 161 and 162; nothing here uses them, and the tests start their own
# agents. Stops only those services (found by their pid files), never
# another program's snmpd.
zov_stop_snmp_services() {
  local name pid sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo -n)
  for name in snmpd snmptrapd; do
    pid=$(cat "/run/$name.pid" 2>/dev/null) || continue
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ] || continue
    echo "stopping the $name system service (pid $pid) so that it leaves its port free"
    "${sudo[@]}" service "$name" stop >/dev/null 2>&1
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" != "$name" ] ||
      "${sudo[@]}" kill "$pid" 2>/dev/null || zov_warn "could not stop $name (pid $pid)"
  done
  if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
    "${sudo[@]}" systemctl disable --now snmpd.service snmptrapd.service >/dev/null 2>&1 || true
  fi
  return 0
}
