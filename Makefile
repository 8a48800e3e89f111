# Ternvale: build, test and run on Debian (cross-compiled with MinGW-w64, run under Wine).
#   make test     install what is missing, build everything, run every test
#   make run      install what is missing, build, start Ternvale.exe under Wine
#   make bench    build and run the benchmarks
#   make stop     close a Ternvale started by 'make run' on the virtual display
#   make installer  build TernvaleSetup.exe into the build folder
#   make release  program, installer and SHA256SUMS in $(BUILD)/release, Authenticode-signed with
#                 SIGN_CERT=cert.pem SIGN_KEY=key.pem (or SIGN_PKCS12=signer.pfx), optionally
#                 SIGN_PASS_FILE=password.txt and SIGN_TIMESTAMP_URL=http://timestamp.example;
#                 without a certificate the release is built unsigned (and says so)
BUILD ?= build
DEPS ?= $(BUILD)/deps
JOBS ?= $(shell nproc)
RUN_ARGS ?= --show
CMAKE_ARGS ?=
RELEASE ?= $(BUILD)/release
SIGN_CERT ?=
SIGN_KEY ?=
SIGN_PKCS12 ?=
SIGN_PASS_FILE ?=
SIGN_TIMESTAMP_URL ?=

build_dir := $(abspath $(BUILD))
deps_dir := $(abspath $(DEPS))

.PHONY: all setup configure build test run stop bench installer release clean

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

installer: configure
	cmake --build $(build_dir) -j $(JOBS) --target installer

release: configure
	cmake --build $(build_dir) -j $(JOBS) --target Ternvale
	@SIGN_CERT='$(SIGN_CERT)' SIGN_KEY='$(SIGN_KEY)' SIGN_PKCS12='$(SIGN_PKCS12)' \
	    SIGN_PASS_FILE='$(SIGN_PASS_FILE)' SIGN_TIMESTAMP_URL='$(SIGN_TIMESTAMP_URL)' \
	    scripts/release.sh $(build_dir) $(abspath $(RELEASE))

clean:
	rm -rf $(build_dir)
