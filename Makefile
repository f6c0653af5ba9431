# Entry points: `make` builds build/win32/lvdownload.exe, `make demo` runs the
# downloader against an embedded local server and the report collector,
# `make test` sets up and runs every test, `make sign` signs the built
# downloader for release. The configuration can be given here too, for instance
#   make IDS_SERVER=download.example.com REPORT_HOST=reports.example.com
# UI_LANGUAGE=de (a code of res/languages.tsv) builds the downloader in that
# language into a tree of its own, build/win32-de (build/win64-de with
# make win64); without it, or with en, the English one into build/win32.

LANGUAGE_SUFFIX := $(if $(filter-out en,$(UI_LANGUAGE)),-$(UI_LANGUAGE))
WIN32_DIR := build/win32$(LANGUAGE_SUFFIX)
WIN64_DIR := build/win64$(LANGUAGE_SUFFIX)
NATIVE_DIR := build/native
FUZZ_DIR := build/fuzz
PYTHON := /usr/bin/python3
CONFIG_VARS := IDS_SERVER IDS_OBJECT IDS_AGENT REPORT_HOST INSTALLER_SHA256 INSTALLER_SIGNER HTTPS \
    RESUME UI_LANGUAGE
CMAKE_CONFIG := $(foreach v,$(CONFIG_VARS),$(if $(value $(v)),'-D$(v)=$(value $(v))'))
# TARGETS builds only those targets of a tree (make test's language trees).
BUILD_TARGETS = $(if $(TARGETS),--target $(TARGETS))

.PHONY: all win32 win64 native lvcollect deb fuzz-build languages setup test demo bench \
    soak fuzz sign clean

all: win32

win32:
	cmake -S . -B $(WIN32_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	    -DCMAKE_BUILD_TYPE=Release $(CMAKE_CONFIG) >/dev/null
	cmake --build $(WIN32_DIR) -j2 $(BUILD_TARGETS)

# The 64-bit flavour, from the same sources and configuration.
win64:
	cmake -S . -B $(WIN64_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
	    -DCMAKE_BUILD_TYPE=Release $(CMAKE_CONFIG) >/dev/null
	cmake --build $(WIN64_DIR) -j2 $(BUILD_TARGETS)

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
	$(MAKE) win32 win64 native fuzz-build languages deb
	tools/run-tests

# The build that Wine runs on this host: win32, or win64 where the host runs
# no 32-bit code (tests/harness/host.py).
WINE_BUILD = $$($(PYTHON) tests/harness/host.py build)

# Every language of the table but English, for the tests: each tree's
# downloader, and the build that both pins and checks the installer, whose
# catalogue holds every message; in the flavour that Wine runs here (the
# helpers the tests run beside them come from the English tree).
LANGUAGES = $(shell sed -n 's/^\([a-z][a-z]\)\t.*/\1/p' res/languages.tsv | grep -vx en)
LANGUAGE_TARGETS = lvdownload lvdownload_pinned_signer

languages:
	for code in $(LANGUAGES); do \
	    $(MAKE) --no-print-directory $(WINE_BUILD) UI_LANGUAGE=$$code \
	        TARGETS='$(LANGUAGE_TARGETS)' || exit 1; \
	done

# With UI_LANGUAGE, the language's build in its locale, beside the English
# tree's helpers.
demo: setup
	$(MAKE) $(WINE_BUILD) lvcollect
	$(if $(LANGUAGE_SUFFIX),$(MAKE) $(WINE_BUILD) UI_LANGUAGE=)
	$(PYTHON) tools/demo.py $(if $(LANGUAGE_SUFFIX),--language $(UI_LANGUAGE))

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
