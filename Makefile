# Front door: the README's commands. Build noise goes to stderr so `make run` keeps stdout for MCP.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: deps build run test test-asan bench format fuzz clean

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELK_WERROR=ON >&2
	@cmake --build $(BUILD) -j $(JOBS) >&2

run: build
	@exec ./$(BUILD)/zelk-mcp

test: build
	@scripts/install-test-deps.sh $(BUILD)
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DZELK_ASAN=ON -DZELK_UBSAN=ON -DZELK_WERROR=ON
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@scripts/install-test-deps.sh $(ASAN_BUILD)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

bench: deps
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELK_BUILD_BENCH=ON
	@cmake --build $(BUILD) -j $(JOBS)
	@bench/run.sh $(BUILD)

fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELK_FUZZ=ON -DZELK_BUILD_TESTS=OFF
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@echo "fuzz targets are in $(FUZZ_BUILD)/fuzz; e.g. $(FUZZ_BUILD)/fuzz/fuzz_jsonrpc_line -max_total_time=600"

format:
	@find src tests bench fuzz -name '*.cc' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
