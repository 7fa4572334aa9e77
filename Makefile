# Two commands for a fresh machine: `make demo` (factor test on the sample
# market) and `make test` (whole test suite). Both create or reuse .venv and
# rebuild the extension modules incrementally in build/dev.
PYTHON ?= python3
VENV ?= .venv
BIN := $(abspath $(VENV))/bin
BUILD ?= build/dev
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2
export PATH := $(BIN):$(PATH)

RUNTIME_DEPS := numpy pandas scipy statsmodels pyarrow
TEST_DEPS := pytest hypothesis mypy matplotlib distributed
BUILD_DEPS := pybind11 cmake ninja scikit-build-core cmeel-eigen
# The oldest releases we support; CI runs the suite against them on Python 3.9.
PINS ?=
OLDEST_PINS := numpy==1.24.4 pandas==1.5.3 scipy==1.11.4 statsmodels==0.14.0 pyarrow==12.0.1
PYTHON39 ?= $(firstword $(wildcard $(HOME)/.pyenv/versions/3.9*/bin/python) $(shell command -v python3.9))

.PHONY: all build demo test need-python39 build-oldest test-oldest sanitize bench bench-build wheel smoke-wheel clean

all: build

# Reinstalled when this file changes, so a new dependency reaches existing venvs.
$(VENV)/.deps: Makefile
	test -x $(BIN)/python || $(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q $(RUNTIME_DEPS) $(TEST_DEPS) $(BUILD_DEPS) $(PINS)
	touch $@

$(BUILD)/build.ninja: $(VENV)/.deps CMakeLists.txt
	$(BIN)/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DPython_EXECUTABLE=$(BIN)/python \
		-Dpybind11_DIR=$$($(BIN)/python -m pybind11 --cmakedir) \
		$(CMAKE_ARGS)

build: $(BUILD)/build.ninja
	$(BIN)/cmake --build $(BUILD)
	@$(BIN)/python -c "import sysconfig, pathlib; pathlib.Path(sysconfig.get_paths()['purelib'], 'quellix-dev.pth').write_text('$(abspath src)\n')"

demo: build
	$(BIN)/python examples/factor_test.py

test: build
	$(BIN)/python -m pytest -q $(PYTEST_ARGS)

# The suite on Python 3.9 with the oldest supported numpy, pandas and scipy.
# Built at -O1: this lane checks behaviour under old releases, not speed.
OLDEST := PYTHON=$(PYTHON39) VENV=.venv-oldest BUILD=build/oldest PINS="$(OLDEST_PINS)" \
	CMAKE_ARGS="$(CMAKE_ARGS) -DQUELLIX_QUICK_BUILD=ON"
need-python39:
	@test -n "$(PYTHON39)" || { echo "the oldest lane needs a Python 3.9 interpreter (set PYTHON39=...)"; exit 1; }

build-oldest: need-python39
	$(MAKE) build $(OLDEST)

test-oldest: need-python39
	$(MAKE) test $(OLDEST)

# The suite against modules built with AddressSanitizer and UBSan. They are
# built into build/asan/src, beside a copy of the Python sources, so the
# regular modules in src/ stay as they are. Reports go to build/asan/reports.
ASAN_DIR := $(abspath build/asan)
sanitize: $(VENV)/.deps
	$(BIN)/cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLIX_SANITIZE=ON \
		-DQUELLIX_OUTPUT_DIR=$(ASAN_DIR)/src -DPython_EXECUTABLE=$(BIN)/python \
		-Dpybind11_DIR=$$($(BIN)/python -m pybind11 --cmakedir)
	$(BIN)/cmake --build $(ASAN_DIR)
	$(BIN)/python -c "import shutil; shutil.copytree('src', '$(ASAN_DIR)/src', dirs_exist_ok=True, ignore=shutil.ignore_patterns('*.so', '__pycache__'))"
	rm -rf $(ASAN_DIR)/reports && mkdir -p $(ASAN_DIR)/reports
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:log_path=$(ASAN_DIR)/reports/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(ASAN_DIR)/reports/ubsan \
	PYTHONPATH=$(ASAN_DIR)/src $(BIN)/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)
	@if ls $(ASAN_DIR)/reports/* >/dev/null 2>&1; then cat $(ASAN_DIR)/reports/*; exit 1; fi
	@echo "sanitizers: no report"

bench: build
	$(BIN)/python benchmarks/run.py

# From-scratch build time of both modules, in a temporary directory.
bench-build: $(VENV)/.deps
	$(BIN)/python benchmarks/bench_build.py

# A wheel for installing without a compiler, into dist/.
wheel: $(VENV)/.deps
	$(BIN)/python -m pip wheel . --no-deps -w dist

# The wheel installed into a clean virtual environment and tried from
# outside the source tree.
SMOKE_VENV := $(abspath build/smoke-venv)
smoke-wheel: wheel
	rm -rf $(SMOKE_VENV)
	$(PYTHON) -m venv $(SMOKE_VENV)
	$(SMOKE_VENV)/bin/python -m pip install -q $$(ls -t dist/quellix-*.whl | head -1)
	cd $(SMOKE_VENV) && $(SMOKE_VENV)/bin/python $(abspath .ci/smoke.py)

clean:
	rm -rf build dist src/quellix/*.so src/quellix/analysis/*.so
