# Entry points: `make test` sets the machine up, builds both sides and runs
# every test; `make demo` builds the installer and runs it.

JOBS := $(shell nproc)

# The installer's built-in values and the folder it carries. Empty means the
# build's defaults.
PAYLOAD_DIR ?=
PRODUCT_NAME ?=
INSTALL_DIR ?=
EXE_NAME ?=

WIN32_SETTINGS := \
	-DQUARN_EXECUTABLE=$(CURDIR)/build/native/tools/quarn \
	$(if $(PAYLOAD_DIR),"-DINSTALLER_PAYLOAD_DIR=$(abspath $(PAYLOAD_DIR))",-UINSTALLER_PAYLOAD_DIR) \
	$(if $(PRODUCT_NAME),"-DINSTALLER_PRODUCT_NAME=$(PRODUCT_NAME)",-UINSTALLER_PRODUCT_NAME) \
	$(if $(INSTALL_DIR),"-DINSTALLER_INSTALL_DIR=$(INSTALL_DIR)",-UINSTALLER_INSTALL_DIR) \
	$(if $(EXE_NAME),"-DINSTALLER_EXE_NAME=$(EXE_NAME)",-UINSTALLER_EXE_NAME)

.PHONY: all deps native installer test demo bench clean

all: installer

deps:
	@scripts/install-deps.sh

native: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS)

installer: native
	cmake --preset win32 $(WIN32_SETTINGS) >/dev/null
	cmake --build --preset win32 -j $(JOBS)

# One ctest run over both build trees, so it ends with one summary.
test: installer
	printf 'subdirs("native")\nsubdirs("win32")\n' > build/CTestTestfile.cmake
	ctest --test-dir build --output-on-failure

demo: installer
	scripts/demo.sh

bench: deps
	cmake --preset native-release >/dev/null
	cmake --build --preset native-release -j $(JOBS)
	bench/run.sh

clean:
	rm -rf build
