# Entry points: `make test` sets up a fresh machine, builds with sanitizers and runs every test.
JOBS ?= $(shell nproc)
DEBUG_DIR := build/debug
RELEASE_DIR := build/release
GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: deps build test bench demo format clean

deps:
	@bash scripts/deps.sh

$(DEBUG_DIR)/.configured: CMakeLists.txt
	cmake -S . -B $(DEBUG_DIR) $(GEN) -DCMAKE_BUILD_TYPE=Debug -DZAN_SANITIZE=ON -DZAN_WERROR=ON
	@touch $@

build: deps $(DEBUG_DIR)/.configured
	cmake --build $(DEBUG_DIR) -j $(JOBS)

test: build
	cd $(DEBUG_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 600

bench: deps
	cmake -S . -B $(RELEASE_DIR) $(GEN) -DCMAKE_BUILD_TYPE=Release -DZAN_TESTS=OFF -DZAN_BENCH=ON
	cmake --build $(RELEASE_DIR) -j $(JOBS)
	@set -e; for b in $(RELEASE_DIR)/bench_*; do echo "== $$b"; $$b; done

# The demo: its SQL part (a release zansql fills a fresh build/demo/demo.zan and prints the demo
# queries), then its setup part.
demo: demo-sql demo-setup

demo-sql: deps
	cmake -S . -B $(RELEASE_DIR) $(GEN) -DCMAKE_BUILD_TYPE=Release -DZAN_TESTS=OFF
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target zansql
	@mkdir -p build/demo
	@bash tools/zansql/demo/run_demo.sh $(RELEASE_DIR)/zansql build/demo/demo.zan

format:
	git ls-files '*.cpp' '*.h' | grep -v '\.inc$$' | xargs clang-format -i

clean:
	rm -rf build

# The setup part of the demo: builds OrvexDemoInstall's distributable in a sandbox under
# build/demo, seeds a Delphi 7 installation and runs the wizard (scripts/demo_setup.sh).
.PHONY: demo demo-sql demo-setup
demo-setup: deps
	cmake -S . -B $(RELEASE_DIR) $(GEN) -DCMAKE_BUILD_TYPE=Release -DZAN_TESTS=OFF
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target OrvexDemoInstall CorvaneLoadProgram orvexdemo zan14rd7
	@bash scripts/demo_setup.sh $(RELEASE_DIR)
