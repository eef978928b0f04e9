# Entry points for a fresh machine: `make demo` and `make test` install what is
# missing, configure, build and run.
BUILD ?= build
SAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# CI builds (CI=true, as .ci/run sets) treat every compiler warning as an error.
ifeq ($(CI),true)
CMAKE_FLAGS += -DKEXIO_WERROR=ON
endif

.PHONY: all deps configure build demo notebook examples test test-sanitize test-tsan fuzz bench format clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The worksheet tour shows errors on purpose, so kexio's status 1 (a statement
# failed) is fine here; 2 (usage) or a crash is not. The Python tour follows
# when the module was built. Only what the tours need is built (the library,
# the host, the run-time libraries, the module); make test builds the rest.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target kexio_tour
	cd examples && { ../$(BUILD)/bin/kexio tour.kx; [ $$? -le 1 ]; }
	@if ls $(BUILD)/python/kexio/_kexio*.so >/dev/null 2>&1; then \
	  cd examples && PYTHONPATH=$(abspath $(BUILD))/python /usr/bin/python3 tour.py; fi

# Jupyter Notebook with the kexio kernel on 127.0.0.1, opening the notebook
# tour; it prints the address with its token. Ctrl-C stops it.
notebook: configure
	@scripts/install-deps --notebook
	cmake --build $(BUILD) -j $(JOBS) --target kexio_tour
	cd examples && JUPYTER_PATH=$(abspath $(BUILD))/share/jupyter jupyter-notebook \
	  --ip=127.0.0.1 $$([ "$$(id -u)" -eq 0 ] && echo --allow-root) tour.ipynb

# Regenerates the sample files of examples/ (examples/gen/*).
examples:
	scripts/make-examples

# CI also installs the browser of the notebook's browser test, which fails
# there rather than skip.
test: build
ifeq ($(CI),true)
	@scripts/install-deps --browser
endif
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer.
# Scratch files go to a folder with a long name: a path used after the string
# holding it was freed then reads freed heap memory, which the sanitizer
# reports (a short name lives inside the string object, where it would not).
# The folder is open to everyone, so that permission tests, which drop
# root's privileges in a child, can still reach their folders inside it.
test-sanitize: deps
	cmake -S . -B $(SAN_BUILD) -G Ninja -DKEXIO_SANITIZE=ON -DKEXIO_BENCH=OFF \
	  -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(SAN_BUILD) -j $(JOBS)
	tmp=$$(mktemp -d "$${TMPDIR:-/tmp}/kexio-sanitize-scratch-folder-with-a-long-name-XXXXXX") && \
	  chmod 755 "$$tmp" && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 TMPDIR="$$tmp" \
	  ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS) -LE no-sanitize; \
	  status=$$?; rm -rf "$$tmp"; exit $$status

# Calls from several threads at once under ThreadSanitizer: only the tests
# of the entry layer, the host services and the threads (label "tsan"), so
# that the run stays short.
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DKEXIO_TSAN=ON -DKEXIO_BENCH=OFF \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target test_entry test_host
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L tsan

# libFuzzer targets, built with clang.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DKEXIO_FUZZ=ON -DKEXIO_TESTS=OFF -DKEXIO_BENCH=OFF \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# Every family's benchmark script, then one table of the speed goals (ratios
# and page faults against the peers). A script that fails is named at the
# end, after the others have run.
bench: build
	@scripts/install-deps bench
	@failed=""; for s in bench/*.sh; do \
	  [ -x "$$s" ] || continue; echo "== $$s"; "$$s" $(BUILD) || failed="$$failed $$s"; \
	done; echo "== the speed goals"; bench/summary.py $(BUILD) || failed="$$failed bench/summary.py"; \
	if [ -n "$$failed" ]; then echo "failed:$$failed"; exit 1; fi

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
