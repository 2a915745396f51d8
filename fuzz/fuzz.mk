# Fuzzing of the state file reader with libFuzzer, included from the top
# Makefile. `make fuzz` installs clang when it is missing (Debian 12: clang-14
# for the compiler, libclang-rt-14-dev for the fuzzer and sanitizer runtimes),
# builds the target from the project's CMake libraries and flags with clang
# (CMake option QOR_FUZZ: coverage, address and undefined-behaviour checks),
# and runs it for FUZZ_SECONDS. Any crash, sanitizer report or failed oracle ends the
# run with a non-zero status; the input that caused it is left in FUZZ_DIR.

FUZZ_CXX ?= clang++-14
FUZZ_SECONDS ?= 60
FUZZ_DIR ?= build/fuzz
FUZZ_SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
FUZZ_BUILD := $(FUZZ_DIR)/cmake

.PHONY: fuzz fuzz-setup

fuzz-setup:
	@if ! command -v $(FUZZ_CXX) >/dev/null 2>&1 || ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then \
	    $(FUZZ_SUDO) apt-get update && \
	    DEBIAN_FRONTEND=noninteractive $(FUZZ_SUDO) apt-get install -y --no-install-recommends clang-14 libclang-rt-14-dev; \
	fi

$(FUZZ_DIR)/fuzz_state_reader: $(SOURCES) fuzz/fuzz_state_reader.cpp $(VENV)/.deps | fuzz-setup
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DQOR_FUZZ=ON -DQOR_BUILD_MODULE=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) -j2 --target fuzz_state_reader
	mkdir -p $(FUZZ_DIR)/corpus
	cp $(FUZZ_BUILD)/fuzz_state_reader $@

fuzz: $(FUZZ_DIR)/fuzz_state_reader
	mkdir -p $(FUZZ_DIR)/corpus
	cd $(FUZZ_DIR) && ./fuzz_state_reader -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	    -max_len=8192 -dict=$(CURDIR)/fuzz/state.dict -print_final_stats=1 corpus $(CURDIR)/fuzz/corpus
