# Front door: `make demo` and `make test` work on a fresh Debian machine as root.
BUILD ?= build
JOBS ?= 2
PACKAGES := cmake g++ make libfreeimage-dev libgtest-dev libbenchmark-dev
# CI builds with warnings as errors.
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release -DTARNIC_WERROR=$(if $(CI),ON,OFF)

.PHONY: all deps build test demo bench clean

all: build

# Installs only the packages that are missing; updates the lists only then.
deps:
	@missing=""; \
	for p in $(PACKAGES); do \
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

demo: build
	tools/demo.sh $(BUILD) demo

bench: build
	bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) demo
