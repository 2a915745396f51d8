# Everything runs inside .venv, made here from a CPython 3.12 (pyenv's when
# present). Build and test dependencies come from requirements-dev.txt; the
# module is built by scikit-build-core with a persistent build directory, so
# a second run rebuilds only what changed.

PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PYTHON ?= $(firstword $(wildcard $(PYENV_ROOT)/versions/3.12*/bin/python3.12) $(shell command -v python3.12) python3)
VENV := .venv
VPY := $(VENV)/bin/python
export PATH := $(abspath $(VENV))/bin:$(PATH)
CPP_BUILD := build/cpp
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: all demo test test-cpp test-py bench fuzz clean install

all: install

$(VENV)/.deps: requirements-dev.txt
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -r requirements-dev.txt
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(VPY) -m pip install --no-build-isolation --no-deps .
	touch $@

install: $(VENV)/.installed

demo: $(VENV)/.installed
	$(VPY) examples/demo.py

test: test-cpp test-py

test-cpp: $(VENV)/.deps
	cmake -S . -B $(CPP_BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) \
	    -DQOR_BUILD_TESTS=ON -DQOR_BUILD_MODULE=OFF >/dev/null
	cmake --build $(CPP_BUILD) -j2
	ctest --test-dir $(CPP_BUILD) --output-on-failure

test-py: $(VENV)/.installed
	$(VPY) -m pytest tests

bench: $(VENV)/.installed
	$(VPY) bench/run_all.py

clean:
	rm -rf build $(VENV)
