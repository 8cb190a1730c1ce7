# The two quick-start commands are `make run` and `make test`; everything else is a helper.
BUILD    ?= build
TYPE     ?= RelWithDebInfo
WERROR   ?= ON
SANITIZE ?= OFF
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=

CONFIGURE = cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(TYPE) \
	-DSICLQUILL_WERROR=$(WERROR) -DSICLQUILL_SANITIZE=$(SANITIZE) $(CMAKE_ARGS)

.PHONY: all deps build run test bench fuzz format format-check package clean

all: build

deps:
	@tools/install-deps.sh build

$(BUILD)/build.ninja:
	$(CONFIGURE)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

## Starts the bundled gateway simulator on loopback and opens the window.
run:
	@tools/install-deps.sh run
	@$(MAKE) --no-print-directory build
	@tools/run.sh $(BUILD)

## Builds everything and runs the whole test suite headless.
test:
	@tools/install-deps.sh test
	@$(MAKE) --no-print-directory build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

bench:
	@tools/install-deps.sh bench
	@$(MAKE) --no-print-directory build
	@tools/bench.sh $(BUILD)

fuzz:
	@tools/install-deps.sh fuzz
	@tools/fuzz.sh $(or $(FUZZ_SECONDS),30)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	@tools/install-deps.sh format
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

## The .deb, checked by Debian's lintian: no error and no warning may remain.
package:
	@tools/install-deps.sh package
	@$(MAKE) --no-print-directory build
	cd $(BUILD) && cpack -G DEB
	dpkg-deb -c $(BUILD)/siclquill_*.deb | grep ' ./usr/lib/systemd/system/siclquill-gateway@.service$$' >/dev/null \
		|| { echo "package: the service unit is missing from the .deb" >&2; exit 1; }
	tools/check-unit.sh $(BUILD) $(BUILD)/gateway/siclquill-gateway
	lintian --fail-on error,warning $(BUILD)/siclquill_*.deb

clean:
	rm -rf $(BUILD)
