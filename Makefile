# The two commands: `make run` and `make test`. Both install what is
# missing (packages, the Wine prefix) and build first.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all setup configure build test run bench bench-rates dist clean

all: build

setup:
	@scripts/setup.sh

# A build folder made for the other target is started afresh.
configure: setup
	@arch=$$(scripts/target-arch.sh); \
	if [ -f $(BUILD)/CMakeCache.txt ] && ! grep -q "^ORLAVENT_ARCH:STRING=$$arch$$" $(BUILD)/CMakeCache.txt; then \
		echo "configure: $(BUILD) was made for another target, starting it afresh"; rm -rf $(BUILD); \
	fi; \
	[ $$arch = i686 ] || echo "configure: this host runs no 32-bit programs; building the x86_64 test flavour"; \
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORLAVENT_ARCH=$$arch >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@scripts/test.sh $(BUILD)

run: build
	@scripts/run.sh $(BUILD)

bench: build
	@scripts/bench.sh $(BUILD)

# The highest stream rate with nothing dropped (up to ten minutes).
bench-rates: build
	@scripts/bench.sh $(BUILD) rates

# The release zip is always the 32-bit product: on a host that builds the
# x86_64 test flavour it comes from a 32-bit build of its own.
dist: configure
	@if [ "$$(scripts/target-arch.sh)" = i686 ]; then \
		cmake --build $(BUILD) --target dist -j $(JOBS); \
	else \
		cmake -S . -B $(BUILD)/product -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORLAVENT_ARCH=i686 -DORLAVENT_TESTS=OFF >/dev/null && \
		cmake --build $(BUILD)/product --target dist -j $(JOBS) && \
		mkdir -p $(BUILD)/dist && cp $(BUILD)/product/dist/*-win32.zip $(BUILD)/dist/; \
	fi
	@ls -l $(BUILD)/dist/*-win32.zip

clean:
	-@WINEPREFIX=$(abspath $(BUILD))/wineprefix wineserver -k 2>/dev/null
	rm -rf $(BUILD)
