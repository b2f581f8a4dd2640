# Build, test and demo entry points. Every target installs what a fresh
# Debian 12 machine lacks before it builds.
#   make demo   builds the extension (and the core it links), runs the demo
#   make test   builds everything, runs the C++ and Python tests
#   make bench  builds a release extension and the benchmarks, runs the
#               end-to-end benchmark and prints its table (BENCH_ARGS=--quick
#               for a short run with reduced sizes)
# CMAKE_ARGS adds options to the configuration (CI: -DTESSELLO_WERROR=ON).
# EXTRA_PACKAGES adds packages to what deps installs (CI's fuzz stage: clang).
EXTRA_PACKAGES ?=
PACKAGES := g++ make cmake ninja-build pkg-config liblmdb-dev libtbb-dev \
            zlib1g-dev libgtest-dev libbenchmark-dev python3-dev python3-numpy \
            python3-pytest python3-venv python3-pip python3-setuptools python3-wheel \
            xz-utils $(EXTRA_PACKAGES)
BUILD      ?= build
PYTHON     := /usr/bin/python3
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
# Anchors of the benchmark, installed when the archive has them; the
# benchmark skips an anchor whose module cannot be imported, with a note.
BENCH_OPTIONAL := python3-faiss python3-hnswlib python3-threadpoolctl
BENCH_ARGS ?=

.PHONY: deps bench-deps configure build demo test bench clean

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
	  ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1 || $$SUDO apt-get update; \
	  $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing \
	    || { $$SUDO apt-get update && $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; }; \
	fi

# Configuring an existing tree again is quick and changes nothing unless
# CMAKE_ARGS does.
configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DPython3_EXECUTABLE=$(PYTHON) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Only the extension and the core it links: no test is compiled.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target tessello
	PYTHONPATH=$(BUILD)/python $(PYTHON) examples/quickstart.py

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench-deps: deps
	@missing=""; for p in $(BENCH_OPTIONAL); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
	  ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1 || $$SUDO apt-get update; \
	  for p in $$missing; do \
	    echo "installing optional benchmark anchor: $$p"; \
	    $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$p \
	      || echo "note: $$p could not be installed; the benchmark skips what needs it"; \
	  done; \
	fi

# A release build without tests (the core the extension links carries no
# fault-injection points). OpenBLAS's core-type overrides, set on some
# machines to keep older builds correct, slow a current numpy and faiss:
# the benchmark runs without them.
bench: bench-deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSELLO_BENCH=ON -DTESSELLO_TESTS=OFF \
	  -DPython3_EXECUTABLE=$(PYTHON) $(CMAKE_ARGS)
	cmake --build build-bench -j $(JOBS)
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PYTHON) bench/run.py --build build-bench $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) build-bench build-asan build-asan-python build-tsan build-pip build-fuzz
