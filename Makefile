# Front door: `make demo` and `make test` work on a fresh Debian machine as root.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
JOBS ?= 2
PACKAGES := cmake g++ make libfreeimage-dev libcfitsio-dev libgtest-dev libbenchmark-dev groff-base dpkg-dev
# A browser to draw the report page in (its test skips without one).
CHECK_PACKAGES := valgrind chromium
FUZZ_PACKAGES := clang libclang-rt-dev
BENCH_PACKAGES := python3
PEER_PACKAGES := imagemagick siril
# CI builds with warnings as errors.
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release -DTARNIC_WERROR=$(if $(CI),ON,OFF)

.PHONY: all deps deps-check deps-fuzz install-missing build test test-sanitize fuzz demo pictures bench bench-peers install package clean

all: build

# Installs only the packages that are missing; updates the lists only then.
deps:
	@$(MAKE) --no-print-directory install-missing WANTED="$(PACKAGES)"

deps-check: deps
	@$(MAKE) --no-print-directory install-missing WANTED="$(CHECK_PACKAGES)"

deps-fuzz: deps
	@$(MAKE) --no-print-directory install-missing WANTED="$(FUZZ_PACKAGES)"

install-missing:
	@missing=""; \
	for p in $(WANTED); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

# The whole suite built with address and undefined-behaviour sanitizers, the
# tests labelled threads built with the thread sanitizer, then the program
# under valgrind in every merge type.
test-sanitize: deps-check build
	cmake -S . -B $(SANITIZE_BUILD) $(CMAKE_FLAGS) -DTARNIC_SANITIZE=ON -DTARNIC_BENCH=OFF
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SANITIZE_BUILD) -j $(JOBS) --output-on-failure
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_FLAGS) -DTARNIC_TSAN=ON -DTARNIC_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target threaded_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_BUILD) -j $(JOBS) --output-on-failure -L threads
	tests/scripts/valgrind.sh $(BUILD)

# Each libFuzzer target for FUZZ_SECONDS (default 60) on the generator's seeds.
fuzz: deps-fuzz build
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release \
	  -DTARNIC_FUZZ=ON -DTARNIC_TESTS=OFF -DTARNIC_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target image_fuzz options_fuzz
	fuzz/run.sh $(FUZZ_BUILD) $(BUILD) $(FUZZ_SECONDS)

demo: build
	tools/demo.sh $(BUILD) demo

# The README's pictures in docs/images/, from the demo's stacks and the real
# all-sky sequence beside the project.
pictures: demo
	tools/pictures.sh $(BUILD) demo docs/images

bench: build
	@$(MAKE) --no-print-directory install-missing WANTED="$(BENCH_PACKAGES)"
	bench/run.sh $(BUILD)

# The peer tools that `make bench` compares against, from Debian.
bench-peers: deps
	@$(MAKE) --no-print-directory install-missing WANTED="$(PEER_PACKAGES)"

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package of the program and its man page, in $(BUILD)/.
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) demo
