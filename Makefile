# One entry point for a fresh Debian machine: `make test` installs what is missing (as root),
# then builds and runs every test in the x86-64 tree with sanitizers and in the 32-bit tree.
.PHONY: all deps test test-dev test-i386 test-tsan bench clean

PACKAGES := cmake make g++ g++-multilib binutils googletest libbenchmark-dev \
            nlohmann-json3-dev libcli11-dev

all: test

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:" $$missing; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "missing packages (run as root to install):" $$missing; exit 1; \
	  fi; \
	fi

test: deps test-dev test-i386 test-tsan

test-dev:
	cmake --preset dev
	cmake --build --preset dev
	ctest --preset dev

test-i386:
	cmake --preset i386
	cmake --build --preset i386
	ctest --preset i386

# The threaded code (the LCD link) again under ThreadSanitizer.
test-tsan:
	cmake --preset tsan
	cmake --build --preset tsan --target test_lcm test_lcm_deliverable lcm_deliverable_probe zrq4470lcm
	ctest --preset tsan

bench: deps
	cmake --preset release
	cmake --build --preset release
	for b in build/release/bin/bench_*; do $$b; done

clean:
	rm -rf build dist
