# Debian packages the scripts need. Sourced by the scripts.
# What building and running the program needs (scripts/run):
TESSALIN_RUN_PACKAGES=(
  build-essential cmake ninja-build libssl-dev
)
# What the tests, the Windows cross build and the release artifacts need as
# well (scripts/test, scripts/package):
TESSALIN_PACKAGES=(
  "${TESSALIN_RUN_PACKAGES[@]}" pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev openssl
  mingw-w64 g++-mingw-w64-x86-64-posix wine wine64
  rsyslog rsyslog-openssl iproute2 util-linux procps python3
  clang-format
  mmdebstrap systemd-container arping
  zip unzip
  clang libclang-rt-dev
  dpkg-dev lintian man-db msitools wixl
)

# install_packages NAME...: installs those of the packages that are missing.
install_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq || return 1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null || return 1
}

install_build_deps() { install_packages "${TESSALIN_PACKAGES[@]}"; }
install_run_deps() { install_packages "${TESSALIN_RUN_PACKAGES[@]}"; }
