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

.PHONY: all deps venv cpp cpp-test install pytest test demo asan bench fuzz clean

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

demo: install
	$(VPY) -m tessalumen demo

asan: deps venv
	$(CMAKE) -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	    -DTESSALUMEN_BUILD_TESTS=ON -DTESSALUMEN_BUILD_EXTENSION=OFF -DTESSALUMEN_SANITIZE=ON
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	$(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench: install
	$(CMAKE) -S . -B $(BENCH_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	    -DTESSALUMEN_BUILD_BENCH=ON -DTESSALUMEN_BUILD_EXTENSION=OFF
	$(CMAKE) --build $(BENCH_BUILD) -j $(JOBS)
	@for b in $(BENCH_BUILD)/bench/*_bench; do echo "== $$b"; $$b; done
	@for s in bench/*.py; do echo "== $$s"; $(VPY) $$s; done

clean:
	rm -rf build
