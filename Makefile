# Every setup, build and test step of the project. `make test` and `make demo`
# work on a fresh machine: they install what is missing first.

PYTHON      ?= python3
VENV        := .venv
VPY         := $(VENV)/bin/python
CPP_BUILD   := build/cpp
ASAN_BUILD  := build/asan
BENCH_BUILD := build/bench
FUZZ_BUILD  := build/fuzz
JOBS        ?= $(shell nproc)
CMAKE       := $(VENV)/bin/cmake
CMAKE_GEN   := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

DEV_BUILD   ?= build/dev

.PHONY: all deps venv cpp cpp-test install pytest test dev-test demo asan bench fuzz clean

all: test

deps:
	@tools/install-system-deps.sh

$(VENV)/.stamp: requirements-dev.txt
	@test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	@touch $@

venv: $(VENV)/.stamp

cpp: deps venv
	$(CMAKE) -S . -B $(CPP_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	    -DTESSALUMEN_BUILD_TESTS=ON -DTESSALUMEN_BUILD_EXTENSION=OFF
	$(CMAKE) --build $(CPP_BUILD) -j $(JOBS)

cpp-test: cpp
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)

install: deps venv
	$(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .

pytest: install
	$(VPY) -m pytest -q tests

test: cpp-test pytest

# The inner loop: C++ tests and pytest against an extension built in
# $(DEV_BUILD), without installing it (several checkouts or builds can work
# side by side with DEV_BUILD=build/<name>).
dev-test: deps venv
	$(CMAKE) -S . -B $(DEV_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DTESSALUMEN_BUILD_TESTS=ON \
	    -DTESSALUMEN_BUILD_EXTENSION=ON -DPython_EXECUTABLE=$(abspath $(VPY))
	$(CMAKE) --build $(DEV_BUILD) -j $(JOBS)
	$(VENV)/bin/ctest --test-dir $(DEV_BUILD) --output-on-failure -j $(JOBS)
	PYTHONPATH=$(abspath $(DEV_BUILD))/pyext $(VPY) -m pytest -q tests

demo: install
	$(VPY) -m tessalumen demo

asan: deps venv
	$(CMAKE) -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	    -DTESSALUMEN_BUILD_TESTS=ON -DTESSALUMEN_BUILD_EXTENSION=OFF -DTESSALUMEN_SANITIZE=ON
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=allocator_may_return_null=1 $(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench: install
	$(CMAKE) -S . -B $(BENCH_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	    -DTESSALUMEN_BUILD_BENCH=ON -DTESSALUMEN_BUILD_EXTENSION=OFF
	$(CMAKE) --build $(BENCH_BUILD) -j $(JOBS)
	@for b in $(BENCH_BUILD)/bench/*_bench; do echo "== $$b"; $$b; done
	@$(VPY) -m pip install -q --disable-pip-version-check pillow opencv-python-headless
	@for s in bench/*.py; do echo "== $$s"; $(VPY) $$s; done

# libFuzzer run of decode_image under AddressSanitizer and UBSan, seeded with
# the shared test images; FUZZ_SECONDS=600 by default. Needs clang 16 or later
# (installed here when missing). Never part of `make test`.
FUZZ_SECONDS ?= 600
FUZZ_CLANG   ?= 16
FUZZ_SEEDS   := $(wildcard ../shared/testdata/pngsuite ../shared/testdata/jpeg)
fuzz: deps venv
	@command -v clang++-$(FUZZ_CLANG) >/dev/null 2>&1 || { \
	    s=; [ "$$(id -u)" -eq 0 ] || s=sudo; \
	    $$s apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$s apt-get install -y -qq \
	        --no-install-recommends clang-$(FUZZ_CLANG) libclang-rt-$(FUZZ_CLANG)-dev; }
	$(CMAKE) -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_C_COMPILER=clang-$(FUZZ_CLANG) -DCMAKE_CXX_COMPILER=clang++-$(FUZZ_CLANG) \
	    -DTESSALUMEN_FUZZ=ON -DTESSALUMEN_SANITIZE=ON -DTESSALUMEN_BUILD_EXTENSION=OFF
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS) --target decode_image_fuzzer
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/fuzz/decode_image_fuzzer $(FUZZ_BUILD)/corpus $(FUZZ_SEEDS) \
	    -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=4096 -timeout=30 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/

clean:
	rm -rf build
