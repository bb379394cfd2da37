# The two commands a developer needs: `make run` and `make test`.
# Both install what is missing, build, and run under Wine.
# TOOLCHAIN picks the compiler: cmake/mingw-w64-x86_64.cmake (GCC, the
# default) or cmake/clang-mingw-w64-x86_64.cmake (clang + lld).
BUILD ?= build
TOOLCHAIN ?= cmake/mingw-w64-x86_64.cmake

.PHONY: all setup configure build test run bench package clean

all: build

setup:
	@tools/setup.sh

$(BUILD)/build.ninja: CMakeLists.txt $(TOOLCHAIN)
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: setup $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD)

test: build
	tools/wine-env.sh $(BUILD) ctest --test-dir $(BUILD) --output-on-failure

run: build
	REAL=$(REAL) tools/run.sh $(BUILD) $(SCENARIO)

bench: build
	tools/wine-env.sh $(BUILD) tools/bench.sh $(BUILD)

# $(BUILD)/TVRSvc-<version>.msi; signed with SIGN_CERT=cert.pem SIGN_KEY=key.pem.
package: configure
	cmake -S . -B $(BUILD) -DTVR_SIGN_CERT="$(if $(SIGN_CERT),$(abspath $(SIGN_CERT)))" \
	  -DTVR_SIGN_KEY="$(if $(SIGN_KEY),$(abspath $(SIGN_KEY)))" >/dev/null
	cmake --build $(BUILD) --target package_msi

clean:
	rm -rf $(BUILD)
