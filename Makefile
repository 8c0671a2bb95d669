# Entry points: `make installer` builds build/win32/setup.exe, `make test`
# sets the machine up, builds every tree and runs every test, and `make demo`
# builds the installer and runs it.

JOBS := $(shell nproc)

# The installer's configuration, given once here; `make installer`, `make
# demo` and `make test` all take it. Empty means the build's default
# (cmake/windows.cmake).
PAYLOAD_DIR ?=
PRODUCT_NAME ?=
INSTALL_DIR ?=
EXE_NAME ?=
PUBLISHER ?=
# The code page of every name setup.exe holds: windows-1252 or utf-8.
NAME_ENCODING ?=
# How hard quarn compresses the payload: 0 (stored) to 12 (smallest, the
# default); lower levels pack a changed payload sooner.
PAYLOAD_LEVEL ?=
# Seconds since 1970 that the PE time stamp and the year of the rights notice
# come from; empty means SOURCE_DATE_EPOCH from the environment, else the
# time of the last commit.
SOURCE_DATE_EPOCH ?=
# Where the shipped installer is built.
WIN32_BUILD ?= build/win32
# The game's version in the version block and the manifest: one to four
# numbers joined by dots; empty means 1.0.0.0.
VERSION ?=
# Opt-in Authenticode signing, one way of three: a PKCS#12 file with the key
# and certificate; a key on a token (its PKCS#11 module, the key's pkcs11:
# URI and a PEM file with the certificate and its chain); or a command of
# the maker's own that signs the copy of setup.exe it is given. The password
# file holds the PKCS#12 password or the token's PIN (none for a key without
# one). Time-stamping servers (RFC 3161), space-separated, are tried in order.
SIGN_PKCS12 ?=
SIGN_PKCS11_MODULE ?=
SIGN_KEY ?=
SIGN_CERTS ?=
SIGN_PASSWORD_FILE ?=
SIGN_COMMAND ?=
SIGN_TIMESTAMP_URL ?=

# A value as one shell word, whatever characters it holds.
quote = '$(subst ','\'',$(1))'
# -DNAME=VALUE for a value that was given, -UNAME (back to the default) otherwise.
setting = $(if $(2),$(call quote,-D$(1)=$(2)),-U$(firstword $(subst :, ,$(1))))
# Stops the recipe with one line when the path variable $(1) holds ';' or
# '\', which CMake's lists and globs do not keep.
refuse_in_path = case $(call quote,$(value $(1))) in *[\;\\]*) printf '%s\n' \
	$(call quote,make: $(1) $(value $(1)): a folder whose path holds ';' or '\' cannot be packed) >&2; exit 1;; esac
# A path made absolute from this folder, spaces and all (abspath would split
# it into words).
absolute = $(if $(patsubst /%,,$(firstword $(1))),$(CURDIR)/)$(1)

WINDOWS_SETTINGS := \
	-DQUARN_EXECUTABLE=$(CURDIR)/build/native-release/tools/quarn \
	-DMAKE_ICON_EXECUTABLE=$(CURDIR)/build/native-release/tools/make_icon \
	-DATTACH_PAYLOAD_EXECUTABLE=$(CURDIR)/build/native-release/tools/attach_payload \
	$(call setting,INSTALLER_PAYLOAD_DIR:STRING,$(if $(value PAYLOAD_DIR),$(call absolute,$(value PAYLOAD_DIR)))) \
	$(call setting,INSTALLER_PRODUCT_NAME,$(value PRODUCT_NAME)) \
	$(call setting,INSTALLER_INSTALL_DIR,$(value INSTALL_DIR)) \
	$(call setting,INSTALLER_EXE_NAME,$(value EXE_NAME)) \
	$(call setting,INSTALLER_PUBLISHER,$(value PUBLISHER)) \
	$(call setting,INSTALLER_NAME_ENCODING,$(NAME_ENCODING)) \
	$(call setting,INSTALLER_PAYLOAD_LEVEL,$(PAYLOAD_LEVEL)) \
	$(call setting,INSTALLER_SOURCE_DATE_EPOCH,$(SOURCE_DATE_EPOCH)) \
	$(call setting,INSTALLER_VERSION,$(value VERSION)) \
	$(foreach file,SIGN_PKCS12 SIGN_PKCS11_MODULE SIGN_CERTS SIGN_PASSWORD_FILE, \
		$(call setting,INSTALLER_$(file),$(if $(value $(file)),$(call absolute,$(value $(file)))))) \
	$(foreach text,SIGN_KEY SIGN_COMMAND SIGN_TIMESTAMP_URL,$(call setting,INSTALLER_$(text),$(value $(text))))

# Seconds each fuzz target runs under `make fuzz`.
FUZZ_SECONDS ?= 600

.PHONY: all deps build-deps tools native installer windows-trees fuzz-build fuzz test demo bench big-game clean

all: installer

deps:
	@scripts/install-deps.sh all

build-deps:
	@scripts/install-deps.sh build

# The optimised host tools that build installers: quarn, the icon generator
# and the payload attacher.
tools: build-deps
	cmake --preset native-release >/dev/null
	cmake --build --preset native-release -j $(JOBS) --target quarn make_icon attach_payload

# The host build with sanitizers: the portable core's tests and the tools'.
native: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS)

# $(WIN32_BUILD)/setup.exe, the 32-bit installer that ships. The one from an
# earlier build goes first, so a refused configuration leaves none behind.
installer: tools
	rm -f $(call quote,$(WIN32_BUILD)/setup.exe) $(call quote,$(WIN32_BUILD)/setup-unsigned.exe)
	@$(call refuse_in_path,PAYLOAD_DIR)
	cmake --preset win32 -B $(call quote,$(WIN32_BUILD)) $(WINDOWS_SETTINGS) >/dev/null
	cmake --build $(call quote,$(WIN32_BUILD)) -j $(JOBS) --target setup

# Both Windows trees whole: the installer, its test programs and variants,
# and the same sources for 64-bit Windows.
windows-trees: installer deps
	cmake --build $(call quote,$(WIN32_BUILD)) -j $(JOBS)
	cmake --preset win64 $(WINDOWS_SETTINGS) >/dev/null
	cmake --build --preset win64 -j $(JOBS)

# The libFuzzer targets, built with clang in their own tree; its ctest runs
# each for a few seconds.
fuzz-build: native tools
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

# Each fuzz target for FUZZ_SECONDS seconds; fails on any finding.
fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_SECONDS)

# The build trees whose tests `make test` runs.
TEST_TREES := native win32 win64 fuzz

# One ctest run over the trees, so it ends with one summary: ctest takes a
# single folder, and build/CTestTestfile.cmake makes build/ one that holds
# them all.
test: native windows-trees fuzz-build
	printf 'subdirs("%s")\n' $(TEST_TREES) > build/CTestTestfile.cmake
	ctest --test-dir build --output-on-failure -j $(JOBS)

demo: windows-trees
	scripts/run-demo.sh

# A 3 GB game built, signed, verified and installed under 32-bit Wine, with
# the figures; some 20 GB of disk and many minutes, so not part of `make test`.
big-game: windows-trees
	PYTHONPATH=$(CURDIR)/scripts:$(CURDIR)/tests python3 tests/big_game/big_game.py

# A fresh clone of the last commit runs `make test` in a Debian 13 root made
# with debootstrap and kept in DEBIAN13_CACHE; some 7 GB and many minutes, and
# root, so not part of `make test`.
DEBIAN13_CACHE ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/marbrel-installer/debian13
.PHONY: test-debian13
test-debian13:
	@scripts/install-deps.sh debian13
	scripts/test-debian13.sh $(call quote,$(DEBIAN13_CACHE))

bench: deps
	cmake --preset native-release -DINSTALLER_BENCH=ON >/dev/null
	cmake --build --preset native-release -j $(JOBS)
	bench/run.sh

clean:
	rm -rf build
