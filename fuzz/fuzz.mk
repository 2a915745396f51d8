# Fuzzing of the state file reader with libFuzzer, included from the top
# Makefile. `make fuzz` installs clang when it is missing (Debian 12: clang-14
# for the compiler, libclang-rt-14-dev for the fuzzer and sanitizer runtimes),
# builds the target with address and undefined-behaviour checks, and runs it
# for FUZZ_SECONDS. Any crash, sanitizer report or failed oracle ends the
# run with a non-zero status; the input that caused it is left in FUZZ_DIR.

FUZZ_CXX ?= clang++-14
FUZZ_SECONDS ?= 60
FUZZ_DIR ?= build/fuzz
FUZZ_SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
FUZZ_SOURCES := fuzz/fuzz_state_reader.cpp src/state_file/reader.cpp src/state_file/writer.cpp \
                src/state_file/json_text.cpp src/state_file/persist_error.cpp src/router/state.cpp

.PHONY: fuzz fuzz-setup

fuzz-setup:
	@if ! command -v $(FUZZ_CXX) >/dev/null 2>&1 || ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then \
	    $(FUZZ_SUDO) apt-get update && \
	    DEBIAN_FRONTEND=noninteractive $(FUZZ_SUDO) apt-get install -y --no-install-recommends clang-14 libclang-rt-14-dev; \
	fi

$(FUZZ_DIR)/fuzz_state_reader: $(FUZZ_SOURCES) $(wildcard src/state_file/*.hpp src/router/state.hpp src/codebook/codebook.hpp) | fuzz-setup
	mkdir -p $(FUZZ_DIR)/corpus
	$(FUZZ_CXX) -std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined \
	    -fno-sanitize-recover=all -Isrc $(FUZZ_SOURCES) -o $@

fuzz: $(FUZZ_DIR)/fuzz_state_reader
	mkdir -p $(FUZZ_DIR)/corpus
	cd $(FUZZ_DIR) && ./fuzz_state_reader -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	    -max_len=8192 -dict=$(CURDIR)/fuzz/state.dict -print_final_stats=1 corpus $(CURDIR)/fuzz/corpus
