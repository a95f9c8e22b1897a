# Thin wrapper over CMake: every target installs what it needs, configures and builds.
#   make demo                 build the vux tool and run its tour
#   make check                build and run every test
#   make check SANITIZE=1     the same under AddressSanitizer + UBSan (build-asan/)
#   make check SANITIZE=thread  the same under ThreadSanitizer (build-tsan/)
#   make bench                build and run the benchmarks (build-bench/)
#   make fuzz [FUZZ_SECONDS=60]  build the libFuzzer targets with clang and run each

SANITIZE ?=
FUZZ_SECONDS ?= 60
JOBS ?= 2
# Empty: keep the generator a build directory was configured with, else Ninja when installed.
# Chosen in the recipes, after scripts/deps has run: a first run on a fresh machine installs ninja.
GENERATOR ?=
CMAKE_CONFIGURE = gen='$(GENERATOR)'; \
  [ -n "$$gen" ] || gen=$$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' $(1)/CMakeCache.txt 2>/dev/null); \
  [ -n "$$gen" ] || gen=$$(command -v ninja >/dev/null 2>&1 && echo Ninja || echo 'Unix Makefiles'); \
  cmake -S . -B $(1) -G "$$gen"

ifeq ($(SANITIZE),1)
  BUILD_DIR ?= build-asan
  SAN_FLAGS := -DVUX_SANITIZE=address
else ifeq ($(SANITIZE),address)
  BUILD_DIR ?= build-asan
  SAN_FLAGS := -DVUX_SANITIZE=address
else ifeq ($(SANITIZE),thread)
  BUILD_DIR ?= build-tsan
  SAN_FLAGS := -DVUX_SANITIZE=thread
else
  BUILD_DIR ?= build
  SAN_FLAGS :=
endif

.PHONY: all deps configure build demo check bench fuzz clean

all: build

deps:
	@scripts/deps

configure: deps
	@$(call CMAKE_CONFIGURE,$(BUILD_DIR)) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(SAN_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

demo: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target vux_tool
	rm -rf $(BUILD_DIR)/demo-root && mkdir -p $(BUILD_DIR)/demo-root
	cd $(BUILD_DIR)/demo-root && ../tools/vux/vux tour

check: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

bench: deps
	@$(call CMAKE_CONFIGURE,build-bench) -DCMAKE_BUILD_TYPE=Release -DVUX_BENCH=ON -DVUX_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	set -e; for b in build-bench/bench/*_bench; do echo "== $$b"; $$b; done

fuzz: deps
	@$(call CMAKE_CONFIGURE,build-fuzz) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVUX_FUZZ=ON -DVUX_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	set -e; for f in build-fuzz/fuzz/*_fuzz; do \
	  n=$$(basename $$f); mkdir -p fuzz-corpus/$$n; \
	  echo "== $$n ($(FUZZ_SECONDS) s)"; \
	  if ! $$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 fuzz-corpus/$$n > fuzz-corpus/$$n.log 2>&1; then \
	    tail -n 60 fuzz-corpus/$$n.log; echo "FINDING in $$n (log: fuzz-corpus/$$n.log)"; exit 1; fi; \
	  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)' fuzz-corpus/$$n.log || tail -n 5 fuzz-corpus/$$n.log; \
	done

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
