# Ternvale: build, test and run on Debian (cross-compiled with MinGW-w64, run under Wine).
#   make test     install what is missing, build everything, run every test
#   make run      install what is missing, build, start Ternvale.exe under Wine
#   make bench    build and run the benchmarks
#   make stop     close a Ternvale started by 'make run' on the virtual display
BUILD ?= build
DEPS ?= $(BUILD)/deps
JOBS ?= $(shell nproc)
RUN_ARGS ?= --show
CMAKE_ARGS ?=

build_dir := $(abspath $(BUILD))
deps_dir := $(abspath $(DEPS))

.PHONY: all setup configure build test run stop bench clean

all: build

setup:
	@scripts/setup.sh $(deps_dir)

$(build_dir)/CMakeCache.txt: | setup
	cmake -S . -B $(build_dir) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
	    -DTERNVALE_DEPS_DIR=$(deps_dir) $(CMAKE_ARGS)

configure: setup $(build_dir)/CMakeCache.txt

build: configure
	cmake --build $(build_dir) -j $(JOBS)

test: build
	cd $(build_dir) && ctest --output-on-failure

run: build
	@scripts/run.sh $(build_dir) $(RUN_ARGS)

stop:
	@scripts/run.sh --stop $(build_dir)

bench: build
	@scripts/bench.sh $(build_dir)

clean:
	rm -rf $(build_dir)
