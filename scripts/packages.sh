# The Debian packages that building, testing and serving drovn need; sourced by scripts/serve,
# scripts/test and scripts/check-install.
DROVN_PACKAGES=(cmake ninja-build g++ clang pkg-config libgtest-dev libgmock-dev python3 curl
                lftp libncurses-dev tmux)
# The clients the extensions are tried with (aioftp for the system's own python3).
DROVN_PACKAGES+=(rclone ncftp tnftp python3-aioftp)
# OpenSSL 3 for FTP over TLS (the openssl command checks the certificate drovn makes).
DROVN_PACKAGES+=(libssl-dev openssl)
# sd-bus for the logind awake hold, and a bus daemon for its tests.
DROVN_PACKAGES+=(libsystemd-dev dbus-daemon)
# The install check: the Debian package (dpkg-shlibdeps and file for its dependencies, lintian),
# the manual page (man, groff) and the service unit (systemd-analyze, systemd-sysusers).
DROVN_PACKAGES+=(dpkg-dev file lintian man-db groff-base systemd)

# Installs the missing packages when run as root; otherwise prints the command and fails.
drovn_ensure_packages() {
  local missing=() p
  for p in "${DROVN_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
  else
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
}
