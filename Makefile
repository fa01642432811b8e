# One entry point for a fresh Debian machine: `make test` installs what is missing (as root),
# then builds and runs every test in the x86-64 tree with sanitizers and in the 32-bit tree,
# the threaded code under ThreadSanitizer, smoke-runs the fuzz targets, and builds and checks
# the release package.
.PHONY: all deps deps-demo deps-vm test test-dev test-i386 test-tsan test-fuzz fuzz reliability bench demo release \
        test-packages appliance test-appliance clean

# Make's own directory notes would only clutter what the build prints.
MAKEFLAGS += --no-print-directory

PACKAGES := cmake make g++ g++-multilib binutils googletest libbenchmark-dev \
            nlohmann-json3-dev libcli11-dev qemu-system-x86 busybox-static cpio xz-utils \
            python3-jsonschema clang-14 libclang-rt-14-dev libmicrohttpd-dev prometheus \
            python3-prometheus-client dpkg-dev lintian file qemu-user systemd \
            debootstrap e2fsprogs qemu-utils
# The 32-bit zrqd's libraries, from Debian's i386 architecture (Multi-Arch: same).
I386_PACKAGES := libmicrohttpd-dev:i386

# The kernel the virtual-machine tests boot: Debian 12's 6.12 kernel has pmbus (6.1 lacks it).
VM_KERNEL := linux-image-6.12-amd64

# EMULATE32=1 runs the 32-bit programs under qemu-i386 even where the kernel runs them, so
# that the emulated path is tried on any machine.
EMULATE32 ?=
I386_FLAGS := -DZRQ_EMULATE_32BIT=$(if $(filter 1 ON on yes,$(EMULATE32)),ON,OFF)

all: test

# Installs what of $(1) is missing (as root), adding Debian's i386 architecture for the :i386
# packages.
define install_missing
	@missing=$$(for p in $(1); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:" $$missing; \
	    case "$$missing" in *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || \
	      dpkg --add-architecture i386;; esac; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "missing packages (run as root to install):" $$missing; exit 1; \
	  fi; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES) $(I386_PACKAGES))

# What the demo builds and runs, and no more.
DEMO_PACKAGES := cmake make g++ googletest nlohmann-json3-dev libcli11-dev libmicrohttpd-dev python3
deps-demo:
	$(call install_missing,$(DEMO_PACKAGES))

# The guest kernel of the virtual-machine tests: fetched, not installed (installing would pull a
# systemd upgrade), unpacked into build/vm/linux. Only the tests need it.
deps-vm:
	@if ! ls build/vm/linux/boot/vmlinuz-* >/dev/null 2>&1; then \
	  mkdir -p build/vm && cd build/vm && rm -rf linux *.deb && \
	  { pkg=$$(apt-cache depends $(VM_KERNEL) 2>/dev/null | sed -n 's/.*Depends: //p' | head -n 1); \
	    [ -n "$$pkg" ] || { apt-get update -qq && \
	      pkg=$$(apt-cache depends $(VM_KERNEL) | sed -n 's/.*Depends: //p' | head -n 1); }; } && \
	  echo "fetching the guest kernel: $$pkg" && apt-get download -qq "$$pkg" 2>/dev/null && \
	  dpkg -x $$pkg*.deb linux && rm -f *.deb || \
	  echo "could not fetch the guest kernel $(VM_KERNEL): the virtual-machine test will fail"; \
	fi

test: deps deps-vm test-dev test-i386 test-tsan test-fuzz release test-packages test-appliance

test-dev:
	cmake --preset dev
	cmake --build --preset dev
	ctest --preset dev

test-i386:
	cmake --preset i386 $(I386_FLAGS)
	cmake --build --preset i386
	ctest --preset i386

# The threaded code (the LCD link, zrqd, the SMBus library's routes) again under ThreadSanitizer.
test-tsan:
	cmake --preset tsan
	cmake --build --preset tsan --target test_lcm test_lcm_deliverable lcm_deliverable_probe zrq4470lcm \
	    test_zrqd test_zrqd_http test_pvqsmb
	ctest --preset tsan

# The fuzz targets (clang-14, ASan + UBSan): a smoke run of each, fixed inputs and seed.
FUZZERS := fuzz_description fuzz_state fuzz_hwmon fuzz_psuprobe fuzz_zrqctl fuzz_lcm \
           fuzz_zrqd_config fuzz_zrqd_http
test-fuzz:
	cmake --preset fuzz --log-level=WARNING > /dev/null
	cmake --build --preset fuzz --target $(FUZZERS)
	tools/fuzz.sh build/fuzz smoke

# A campaign: each target for FUZZ_SECONDS, its corpus kept in build/fuzz/corpus/.
FUZZ_SECONDS ?= 120
fuzz: deps
	cmake --preset fuzz --log-level=WARNING > /dev/null
	cmake --build --preset fuzz --target $(FUZZERS)
	tools/fuzz.sh build/fuzz campaign $(FUZZ_SECONDS)

# The reliability report: the fuzz smoke runs (a campaign with FUZZ_SECONDS=N) and the state
# file under killed writers, as one table.
reliability: deps
	cmake --preset fuzz --log-level=WARNING > /dev/null
	cmake --build --preset fuzz --target $(FUZZERS)
	cmake --preset dev --log-level=WARNING > /dev/null
	cmake --build --preset dev --target test_state_kill
	tools/reliability.sh build/fuzz build/dev $(if $(filter command line,$(origin FUZZ_SECONDS)),$(FUZZ_SECONDS))

bench: deps
	cmake --preset release
	cmake --build --preset release
	for b in build/release/bin/bench_*; do $$b; done

# Builds what the demo and the README's examples run (zrqctl, the plug-ins, the LCD module
# emulator, psuprobe) and runs zrqctl against the virtual platform.
demo: deps-demo
	@cmake --preset release --log-level=WARNING > /dev/null
	cmake --build --preset release --target zrqctl lcmemu psuprobe zrqd
	@tools/demo.sh build/release

# The deliverables: the four plug-ins as 32-bit x86 code, psuprobe as 64-bit x86-64, the SDK
# headers; checked, then packed into dist/.
PLUGINS := zrq4470lbp zrq4470lcm zrq4470psu zrq4470hwm
VERSION := $(shell grep -m1 -o 'zrq4470 VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)
RELEASE_DIR := dist/zrq4470-bsp-$(VERSION)
release: deps
	cmake --preset i386 $(I386_FLAGS)
	cmake --build --preset i386 --target $(PLUGINS)
	cmake --preset release
	cmake --build --preset release --target psuprobe $(PLUGINS)
	rm -rf $(RELEASE_DIR)
	cmake --install build/i386 --prefix $(RELEASE_DIR) --component plugins
	cmake --install build/release --prefix $(RELEASE_DIR) --component tools
	tools/check-release.sh $(RELEASE_DIR)
	@# The x86-64 build of the plug-ins is held to the same floor.
	tools/check-release.sh --plugins $(PLUGINS:%=build/release/lib/%.so)
	tar -C dist -czf $(RELEASE_DIR).tar.gz $(notdir $(RELEASE_DIR))
	@echo "release: $(RELEASE_DIR).tar.gz"
	@# The Debian packages, from trees built as installed (no simulator, installed paths).
	cmake --preset pkg-i386 $(I386_FLAGS) --log-level=WARNING > /dev/null
	cmake --build --preset pkg-i386 --target $(PLUGINS) pvqsmb pvqio zrqd zrqctl
	cmake --preset pkg-amd64 --log-level=WARNING > /dev/null
	cmake --build --preset pkg-amd64 --target pvqsmb pvqio psuprobe
	packaging/build-debs.sh build/pkg-i386 build/pkg-amd64 dist/debs $(VERSION)
	tools/check-release.sh --debs dist/debs

# The packages as an appliance gets them: lintian, and the installed 32-bit zrqd serving
# metrics from an unpacked root with the build tree out of sight.
test-packages: release
	tests/packages_test.py . dist/debs build/i386

# The virtual zrq4470: the i386 packages installed on a Debian 12 i386 userland under QEMU
# (its base root made once per machine, outside the clone), the panel on the LCD module
# emulator, the metrics forwarded to 127.0.0.1. `appliance` shows it until Ctrl-C;
# `test-appliance` is its system test.
APPLIANCE := appliance/run.py --debs dist/debs --kernel-dir build/vm/linux \
             --lcmemu build/release/bin/lcmemu
appliance: deps deps-vm release
	cmake --build --preset release --target lcmemu
	$(APPLIANCE) demo

test-appliance: deps-vm release
	cmake --build --preset release --target lcmemu
	$(APPLIANCE) check

clean:
	rm -rf build dist
