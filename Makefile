# Entry points for people and CI. Each target installs what it needs first.
JOBS ?= $(shell nproc)
# Extra configuration for the builds, e.g. CMAKE_ARGS=-DVSSUPPORT_WARNINGS_AS_ERRORS=ON (CI).
CMAKE_ARGS ?=

# The exported ABI of both libraries against the baselines in abi/ (abidiff): fails on a break
# that comes without a new soname. scripts/abi-check.sh --update build/default takes a new one.
abi-check: build
	bash scripts/abi-check.sh build/default

.PHONY: abi-check deps test test-contract test-asan test-tsan coverage fuzz tidy build demo bench bench-smoke package docs clean

deps:
	bash scripts/install-deps.sh

build: deps
	cmake --preset default $(CMAKE_ARGS)
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default -j $(JOBS)

# The library and the suites that apply on any platform, built on the contract platform
# (tests/contract-platform: only the platform calls the library may make), in build/contract;
# then that platform's conformance report, which never fails the target.
test-contract: deps
	JOBS=$(JOBS) bash scripts/contract-platform.sh $(CMAKE_ARGS)

# The example client against its embedded host API, twice: the second run answers the VMs'
# placement from the GUID cache that the first one filled.
DEMO_STATE ?= $(CURDIR)/build/demo-state
demo: build
	rm -rf "$(DEMO_STATE)"
	env -u VSAGENT_CONFIG build/default/examples/vm-inventory --state-dir "$(DEMO_STATE)" --format table
	@echo
	env -u VSAGENT_CONFIG build/default/examples/vm-inventory --state-dir "$(DEMO_STATE)" --format table | tail -n 1
	@echo
	@echo "The cache those runs share, as an operator sees it:"
	build/default/tools/vsguidcache --config "$(DEMO_STATE)/agent.ini" --dir-name _VM_INVENTORY_CACHE_ list

test-asan: deps
	cmake --preset asan $(CMAKE_ARGS)
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

# ThreadSanitizer over the tests that run threads (label "threads").
test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

# clang-tidy (.clang-tidy) over the library, the platform stand-ins and the cache tool; any
# finding fails.
tidy: build
	run-clang-tidy-14 -p build/default -j $(JOBS) -quiet '^$(CURDIR)/(rest|log|xml|json|guidcache|platform|tools)/([^/]+/)*[^/]*\.cpp$$'

# The Debian packages (libvssupport2, libvssupport-dev, libvsplatform1, libvsplatform-dev,
# vssupport-tools, libvssupport-doc) under build/package/packages, then the test that installs
# them with apt into a scratch Debian root and builds against them there.
package: deps
	cmake --preset package $(CMAKE_ARGS)
	cmake --build --preset package -j $(JOBS) --target all docs
	rm -rf build/package/packages  # no package of an earlier version beside the new ones
	cd build/package && cpack
	bash scripts/package-test.sh build/package README.md

# The API reference from the public headers (Doxygen), HTML under build/docs/docs/html;
# fails on any undocumented public member. Needs Doxygen and CMake only.
docs:
	bash scripts/install-deps.sh docs
	cmake --preset docs
	cmake --build --preset docs

# Line and branch coverage of the library, from the whole suite.
coverage: deps
	bash scripts/coverage.sh

# libFuzzer targets under clang, FUZZ_SECONDS (default 60) each; non-zero on any finding.
fuzz: deps
	JOBS=$(JOBS) bash scripts/fuzz.sh

# The benchmarks in Release with the full workloads and the table (several minutes).
bench: deps
	bash scripts/bench.sh

# Builds the benchmarks and runs each once on tiny workloads, with the sweep's instruction
# counts and the table, so that none of it can rot. Fails only when a workload cannot run at
# all, never on a timing.
bench-smoke: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	rm -rf build/release/bench/smoke && mkdir -p build/release/bench/smoke
	while read -r program; do \
	  echo "== $$program"; \
	  build/release/bench/$$program --smoke --benchmark_min_time=0.001 \
	    --benchmark_out=build/release/bench/smoke/$$program.json --benchmark_out_format=json \
	    || exit 1; \
	done < build/release/bench/programs.txt
	bash bench/sweep-profile.sh build/release/bench/smoke/sweep.json --smoke
	@echo "The table of the smoke run: tiny workloads, one iteration; its figures mean nothing."
	python3 bench/report.py build/release/bench/smoke/*.json

clean:
	rm -rf build
