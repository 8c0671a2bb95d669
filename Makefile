# Entry points: `make test` sets the machine up, builds both sides and runs
# every test; `make demo` builds the installer and runs it.

JOBS := $(shell nproc)

# The installer's built-in values and the folder it carries. Empty means the
# build's defaults.
PAYLOAD_DIR ?=
PRODUCT_NAME ?=
INSTALL_DIR ?=
EXE_NAME ?=

WINDOWS_SETTINGS := \
	-DQUARN_EXECUTABLE=$(CURDIR)/build/native/tools/quarn \
	-DMAKE_ICON_EXECUTABLE=$(CURDIR)/build/native/tools/make_icon \
	$(if $(PAYLOAD_DIR),"-DINSTALLER_PAYLOAD_DIR=$(abspath $(PAYLOAD_DIR))",-UINSTALLER_PAYLOAD_DIR) \
	$(if $(PRODUCT_NAME),"-DINSTALLER_PRODUCT_NAME=$(PRODUCT_NAME)",-UINSTALLER_PRODUCT_NAME) \
	$(if $(INSTALL_DIR),"-DINSTALLER_INSTALL_DIR=$(INSTALL_DIR)",-UINSTALLER_INSTALL_DIR) \
	$(if $(EXE_NAME),"-DINSTALLER_EXE_NAME=$(EXE_NAME)",-UINSTALLER_EXE_NAME)

# Seconds each fuzz target runs under `make fuzz`.
FUZZ_SECONDS ?= 600

FUZZ_SETTINGS := \
	-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DINSTALLER_FUZZER=ON \
	-DQUARN_EXECUTABLE=$(CURDIR)/build/native/tools/quarn

.PHONY: all deps native installer installer64 fuzz-build fuzz test demo bench clean

all: installer

deps:
	@scripts/install-deps.sh

native: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS)

# build/win32/setup.exe, the 32-bit installer that ships.
installer: native
	cmake --preset win32 $(WINDOWS_SETTINGS) >/dev/null
	cmake --build --preset win32 -j $(JOBS)

# The same sources built for 64-bit Windows: its Wine tests run on hosts that
# cannot start 32-bit programs, where the 32-bit tree's Wine tests skip.
installer64: native
	cmake --preset win64 $(WINDOWS_SETTINGS) >/dev/null
	cmake --build --preset win64 -j $(JOBS)

# The libFuzzer targets, built with clang in their own tree; its ctest runs
# each for a few seconds.
fuzz-build: native
	cmake -S fuzz -B build/fuzz $(FUZZ_SETTINGS) >/dev/null
	cmake --build build/fuzz -j $(JOBS)

# Each fuzz target for FUZZ_SECONDS seconds; fails on any finding.
fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_SECONDS)

# One ctest run over the four build trees, so it ends with one summary.
test: installer installer64 fuzz-build
	printf 'subdirs("native")\nsubdirs("win32")\nsubdirs("win64")\nsubdirs("fuzz")\n' > build/CTestTestfile.cmake
	ctest --test-dir build --output-on-failure -j $(JOBS)

demo: installer installer64
	scripts/run-demo.sh

bench: deps
	cmake --preset native-release >/dev/null
	cmake --build --preset native-release -j $(JOBS)
	bench/run.sh

clean:
	rm -rf build
