# The two commands: `make run` and `make test`. Both install what is
# missing (packages, the Wine prefix) and build first.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all setup configure build test run bench clean

all: build

setup:
	@scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@scripts/test.sh $(BUILD)

run: build
	@scripts/run.sh $(BUILD)

bench: build
	@scripts/bench.sh $(BUILD)

clean:
	-@WINEPREFIX=$(abspath $(BUILD))/wineprefix wineserver -k 2>/dev/null
	rm -rf $(BUILD)
