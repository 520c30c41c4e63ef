# Shared by scripts/test and scripts/run: installing what a fresh Debian machine lacks.

# ensure_packages PACKAGE...: installs the missing ones with apt-get when run as root;
# otherwise names them and fails.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]}" >&2
        echo "Install them with: sudo apt-get install --no-install-recommends ${missing[*]}" >&2
        return 1
    fi
    echo "Installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# help2man writes the manual page of zel7-mask from its --help during the build.
# The format libraries: libjpeg-turbo, libspng (with zlib), ISA-L (whose deflate writes
# cut-outs), libtiff, libwebp and libheif (whose library brings its decoders, libde265 and
# dav1d, and the encoders the tests use, x265 and aom); libswscale resamples framed
# cut-outs; lcms2 for colour profiles.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev qt6-base-dev help2man
    libjpeg62-turbo-dev libspng-dev libisal-dev libtiff-dev libwebp-dev libheif-dev libhwy-dev
    libswscale-dev liblcms2-dev libopencv-imgproc-dev)

# The Python module zel7 (built for Debian's python3) and its tests, with zel7.dask's
# cluster and Pillow, which writes the tests' pictures and reads back the masks. Every
# build configures the module, so every build needs them.
PYTHON_PACKAGES=(pybind11-dev python3-dev python3-numpy python3-pytest python3-distributed
    python3-pil)
BUILD_PACKAGES+=("${PYTHON_PACKAGES[@]}")

# What bench/compare.sh and bench/marketplace.sh measure against: djpeg, libvips,
# OpenCV, ImageMagick, and GNU time; heif-enc makes bench/heif.sh's HEIC. The benchmarks
# themselves, built by every test run, need Google Benchmark, and libdeflate, which
# bench/png_encode_choices.cpp measures beside the PNG writer's deflate.
BENCH_BUILD_PACKAGES=(libbenchmark-dev libdeflate-dev)
BENCH_PACKAGES=("${BENCH_BUILD_PACKAGES[@]}" libjpeg-turbo-progs libvips-tools python3-opencv
    imagemagick time libheif-examples)

# configure_bench BUILD_DIR: a Release build with the benchmarks, configured once.
configure_bench() {
    [ -f "$1/build.ninja" ] && grep -q 'ZEL7_BUILD_BENCH:BOOL=ON' "$1/CMakeCache.txt" && return 0
    cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEL7_BUILD_BENCH=ON \
        -DZEL7_BUILD_GUI=OFF >/dev/null
}
