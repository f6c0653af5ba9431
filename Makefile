# Entry points: `make` builds build/win32/lvdownload.exe, `make demo` runs the
# downloader against an embedded local server and the report collector,
# `make test` sets up and runs every test, `make sign` signs the built
# downloader for release. The configuration can be given here too, for instance
#   make IDS_SERVER=download.example.com REPORT_HOST=reports.example.com

WIN32_DIR := build/win32
WIN64_DIR := build/win64
NATIVE_DIR := build/native
FUZZ_DIR := build/fuzz
PYTHON := /usr/bin/python3
CONFIG_VARS := IDS_SERVER IDS_OBJECT IDS_AGENT REPORT_HOST INSTALLER_SHA256 INSTALLER_SIGNER HTTPS
CMAKE_CONFIG := $(foreach v,$(CONFIG_VARS),$(if $(value $(v)),'-D$(v)=$(value $(v))'))

.PHONY: all win32 win64 native lvcollect deb fuzz-build setup test demo bench soak fuzz sign clean

all: win32

win32:
	cmake -S . -B $(WIN32_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	    -DCMAKE_BUILD_TYPE=Release $(CMAKE_CONFIG) >/dev/null
	cmake --build $(WIN32_DIR) -j2

# The 64-bit flavour, from the same sources and configuration.
win64:
	cmake -S . -B $(WIN64_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
	    -DCMAKE_BUILD_TYPE=Release $(CMAKE_CONFIG) >/dev/null
	cmake --build $(WIN64_DIR) -j2

native:
	cmake -S . -B $(NATIVE_DIR) -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(NATIVE_DIR) -j2

# The report collector alone (build/native/lvcollect), without the unit tests.
lvcollect:
	cmake -S . -B $(NATIVE_DIR) -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(NATIVE_DIR) -j2 --target lvcollect

# The collector's Debian package, build/deb/lvcollect_VERSION_amd64.deb,
# built with debhelper and checked with lintian (tools/build-deb).
deb:
	tools/build-deb

fuzz-build:
	CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DLV_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(FUZZ_DIR) -j2

# Installs what is missing (packages, the Wine prefix); needs root or sudo.
setup:
	tools/setup-host

test: setup
	$(MAKE) win32 win64 native fuzz-build deb
	tools/run-tests

# The build that Wine runs on this host: win32, or win64 where the host runs
# no 32-bit code (tests/harness/host.py).
WINE_BUILD = $$($(PYTHON) tests/harness/host.py build)

demo: setup
	$(MAKE) $(WINE_BUILD) lvcollect
	$(PYTHON) tools/demo.py

bench: setup
	$(MAKE) win32 $(WINE_BUILD) lvcollect
	$(PYTHON) tools/bench.py

soak: setup
	$(MAKE) $(WINE_BUILD) lvcollect
	$(PYTHON) tools/soak.py

fuzz: setup fuzz-build
	tools/run-fuzzers 1000000

# A signed copy of each built downloader, for release (tools/sign.py):
#   make sign SIGN_PFX=FILE [SIGN_PASS=...] [SIGN_TIMESTAMP=URL] [SIGN_CA=FILE]
# writes build/win32/lvdownload-signed.exe, and the 64-bit one where that
# tree has been built. make hands SIGN_PASS on in the environment, so it
# stands on no command line of the signing tools.
WIN64_BUILT = $(wildcard $(WIN64_DIR)/CMakeCache.txt)

sign: win32 $(if $(WIN64_BUILT),win64)
	@$(PYTHON) tools/sign.py --pfx '$(SIGN_PFX)' --timestamp '$(SIGN_TIMESTAMP)' \
	    --ca '$(SIGN_CA)' $(WIN32_DIR)/lvdownload.exe $(if $(WIN64_BUILT),$(WIN64_DIR)/lvdownload.exe)

clean:
	rm -rf build
