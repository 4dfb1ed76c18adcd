# Sets everything up from nothing: system packages (as root, through apt-get), a virtual
# environment with the best CPython found, the build, the tests.
PYTHON ?= $(shell tools/find_python.sh)
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build
JOBS ?= $(shell nproc)
APT_PACKAGES := g++ libopenblas-serial-dev libgtest-dev
CMAKE := $(abspath $(VENV))/bin/cmake

.PHONY: all build test test-cpp test-python demo bench test-asan test-tsan system clean format

all: build

system:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else echo "missing system packages (install them as root):$$missing"; exit 1; fi; \
	fi

$(VENV)/.ready: requirements-dev.txt tools/find_python.sh
	@test -n "$(PYTHON)" || { echo "no suitable CPython found"; exit 1; }
	@$(PYTHON) -c 'import sys, sysconfig; print("interpreter:", sys.executable, sys.version.split()[0], "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with GIL")'
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

$(BUILD)/build.ninja: $(VENV)/.ready CMakeLists.txt | system
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja

build: system $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS)
	@# The fresh build is what the environment imports.
	@echo "$(abspath $(BUILD))/python" > "$$($(VPY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/zevra-dev.pth"

test: build
	cd $(BUILD) && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)
	$(VPY) -m pytest -q

demo: build
	$(VPY) examples/quickstart.py
	$(VPY) examples/train_mlp.py

# Benchmarks run in an environment of their own, on CPython 3.11 where PyTorch's CPU wheel
# installs, so that zevra, NumPy and PyTorch are measured in the same run.
BENCH_VENV := .venv-bench
BENCH_PYTHON ?= $(shell tools/find_python.sh 3.11 2>/dev/null || echo $(PYTHON))
$(BENCH_VENV)/.ready: bench/requirements.txt
	$(BENCH_PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install -q --upgrade pip
	$(BENCH_VENV)/bin/python -m pip install -q -r bench/requirements.txt
	touch $@

bench: system $(BENCH_VENV)/.ready
	$(BENCH_VENV)/bin/python -m pip install -q --no-deps --no-build-isolation -C build-dir=build-bench .
	OPENBLAS_NUM_THREADS=1 $(BENCH_VENV)/bin/python bench/run.py

# AddressSanitizer and UBSan: the C++ tests, then the Python tests against an instrumented module.
test-asan: system $(VENV)/.ready
	$(CMAKE) -S . -B build-asan -G Ninja -DZEVRA_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja
	$(CMAKE) --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  PYTHONPATH=build-asan/python $(VPY) -m pytest -q -p no:cacheprovider

# ThreadSanitizer over the C++ tests.
test-tsan: system $(VENV)/.ready
	$(CMAKE) -S . -B build-tsan -G Ninja -DZEVRA_SANITIZE=thread -DZEVRA_PYTHON=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja
	$(CMAKE) --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp')

clean:
	rm -rf $(BUILD) build-asan build-tsan build-bench
