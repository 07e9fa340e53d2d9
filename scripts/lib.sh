# Shared by scripts/test and scripts/demo: install what is missing, then build.
set -euo pipefail

KESTREL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages the build, the test suite and the benchmark scripts need.
KESTREL_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev libssl-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  tar gzip python3 libxml2-utils tmux openssh-client openssh-server
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest wine64
  time bc distcc
  libxml2-dev chromium
  nlohmann-json3-dev meson
)

kestrel_install_missing() {
  local missing=()
  local package
  for package in "${KESTREL_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Wine as the Windows test programs use it: a prefix of the build folder's
# own, no debug chatter, no .NET or browser prompts. The programs are not on
# PATH in Debian's wine64 package.
KESTREL_WINE=/usr/lib/wine/wine64
KESTREL_WINESERVER=/usr/lib/wine/wineserver
kestrel_wine_environment() {
  export WINEPREFIX="$KESTREL_ROOT/$1/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

# Starts a Wine server that stays up, and Wine's own services with it. They
# would otherwise start with the first test program and hold its output pipe
# open, so that the runner waits for them.
kestrel_wine_start() {
  kestrel_wine_environment "$1"
  mkdir -p "$WINEPREFIX"
  "$KESTREL_WINESERVER" -p
  "$KESTREL_WINE" wineboot --init </dev/null >/dev/null 2>&1
}

kestrel_wine_stop() {
  "$KESTREL_WINESERVER" -k 2>/dev/null || true
}

# kestrel_build <dir> <cmake options...>
kestrel_build() {
  local dir=$1
  shift
  cmake -S "$KESTREL_ROOT" -B "$KESTREL_ROOT/$dir" -G Ninja "$@" >/dev/null
  # The full compiler output only when something fails.
  local log="$KESTREL_ROOT/$dir.build.log"
  if ! cmake --build "$KESTREL_ROOT/$dir" >"$log" 2>&1; then
    grep -E 'error|FAILED' -A8 "$log" | head -n 80
    echo "Build in $dir failed; the whole output is in $log"
    return 1
  fi
  rm -f "$log"
}
