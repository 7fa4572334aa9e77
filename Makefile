# Two commands for a fresh machine: `make demo` (factor test on the sample
# market) and `make test` (whole test suite). Both create or reuse .venv and
# rebuild the extension modules incrementally in build/dev.
PYTHON ?= python3
VENV := .venv
BIN := $(abspath $(VENV))/bin
BUILD ?= build/dev
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2
export PATH := $(BIN):$(PATH)

RUNTIME_DEPS := numpy pandas scipy statsmodels
TEST_DEPS := pytest hypothesis
BUILD_DEPS := pybind11 cmake ninja scikit-build-core

.PHONY: all build demo test bench clean

all: build

$(VENV)/.deps:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q $(RUNTIME_DEPS) $(TEST_DEPS) $(BUILD_DEPS)
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

bench: build
	$(BIN)/python benchmarks/run.py

clean:
	rm -rf build src/quellix/*.so src/quellix/analysis/*.so
