# The two commands: `make run` and `make test`. Both install what is
# missing (packages, the Wine prefix) and build first. They build and run
# the i686 product: natively, or under qemu-user where the host runs no
# 32-bit code (scripts/host-i386.sh tells which).
BUILD ?= build
JOBS ?= $(shell nproc)
# The build tool that cmake runs is a make too: keep its output to the build.
MAKEFLAGS += --no-print-directory
# Benchmarks measure the flavour the host runs natively; where that is not
# the product, it gets a build folder of its own.
BENCH_BUILD = $(BUILD)/native-x86_64
CMAKE_CONFIGURE = cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup configure build test run bench bench-build bench-rates dist clean

all: build

setup:
	@scripts/setup.sh

# A build folder made for another flavour is started afresh. The x86_64
# flavour is the last resort, where 32-bit Wine cannot run at all.
configure: setup
	@arch=$$(scripts/target-arch.sh); \
	if [ -f $(BUILD)/CMakeCache.txt ] && ! grep -q "^ORLAVENT_ARCH:STRING=$$arch$$" $(BUILD)/CMakeCache.txt; then \
		echo "configure: $(BUILD) was made for another flavour, starting it afresh"; rm -rf $(BUILD); \
	fi; \
	case $$(scripts/host-i386.sh) in \
	native) echo "configure: i686 product, run natively";; \
	qemu) echo "configure: i686 product; this host runs no 32-bit code, so it runs under qemu-user in a private namespace";; \
	*) echo "configure: ******** this host runs no 32-bit code and has no usable qemu-user or user namespaces:"; \
	   echo "configure: ******** building and testing the x86_64 flavour; THE SHIPPED i686 BINARIES ARE NOT TESTED";; \
	esac; \
	$(CMAKE_CONFIGURE) -S . -B $(BUILD) -DORLAVENT_ARCH=$$arch >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@scripts/test.sh $(BUILD)

run: build
	@scripts/run.sh $(BUILD)

# The native flavour's build folder for benchmarks, built on demand.
bench-build: setup
	@if [ "$$(scripts/host-i386.sh)" != qemu ]; then \
		$(MAKE) --no-print-directory build; \
	else \
		$(CMAKE_CONFIGURE) -S . -B $(BENCH_BUILD) -DORLAVENT_ARCH=x86_64 >/dev/null && \
		cmake --build $(BENCH_BUILD) -j $(JOBS); \
	fi

BENCH_DIR = $$(if [ "$$(scripts/host-i386.sh)" != qemu ]; then echo $(BUILD); else echo $(BENCH_BUILD); fi)

bench: bench-build
	@scripts/bench.sh $(BENCH_DIR)

# The highest stream rate with nothing dropped (up to ten minutes), then the
# bus-rate rows (about 23 minutes); BENCH_ROW=fifo and the like run one row.
bench-rates: bench-build
	@scripts/bench.sh $(BENCH_DIR) rates

# The release zip holds the very binaries the tests run, from the same
# build. Only where the i686 build cannot run at all does it come from a
# build of its own, untested.
dist: configure
	@if [ "$$(scripts/target-arch.sh)" = i686 ]; then \
		cmake --build $(BUILD) --target dist -j $(JOBS); \
	else \
		echo "dist: ******** THESE i686 BINARIES WERE NOT TESTED: this host cannot run them"; \
		$(CMAKE_CONFIGURE) -S . -B $(BUILD)/product -DORLAVENT_ARCH=i686 -DORLAVENT_TESTS=OFF >/dev/null && \
		cmake --build $(BUILD)/product --target dist -j $(JOBS) && \
		mkdir -p $(BUILD)/dist && cp $(BUILD)/product/dist/*-win32.zip $(BUILD)/dist/; \
	fi
	@ls -l $(BUILD)/dist/*-win32.zip

clean:
	-@WINEPREFIX=$(abspath $(BUILD))/wineprefix wineserver -k 2>/dev/null
	rm -rf $(BUILD)
