# Sourced by the benchmark scripts: installs the Debian packages a benchmark
# needs (as root; otherwise names them and stops) and builds the targets it
# runs. Usage: bench_prepare NAME "PACKAGE..." TARGET...
# Reads BUILD_DIR (build/default: the default preset; otherwise a
# RelWithDebInfo tree there).
bench_prepare() {
    local name=$1 p
    local -a packages missing=()
    read -r -a packages <<<"$2"
    shift 2
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        if [ "$(id -u)" -eq 0 ]; then
            apt-get update -qq
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
        else
            echo "$name: missing packages; install them with:" >&2
            echo "  sudo apt-get install -y ${missing[*]}" >&2
            exit 1
        fi
    fi
    if [ "$BUILD_DIR" = build/default ]; then
        cmake --preset default >/dev/null
    else
        cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    cmake --build "$BUILD_DIR" --target "$@" -j 2 >/dev/null
}
