# make run: install what is missing, build, start Velmo.  make test: the same, then every test.
BUILD ?= build
SAN_BUILD ?= build-san
JOBS ?= 2
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build run serve demo test unit e2e page bench sanitize fuzz lint clean

all: build

deps:
	@scripts/install-deps

configure:
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: deps configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	$(BUILD)/velmo

serve: build
	$(BUILD)/velmo --serve

# Three real agents on a throwaway home; Ctrl+C stops them all and removes it.
demo: build
	@scripts/demo $(BUILD)

# After every test, the unit tests once more under ASan and UBSan (a build folder of their own).
# That build runs meanwhile at a lower priority: the tests mostly wait on real agents.
test: build
	@status=0; log=$$(mktemp); \
	(JOBS=$(JOBS) nice -n 10 scripts/sanitize $(SAN_BUILD) --build-only >$$log 2>&1) & san=$$!; \
	scripts/run-tests $(BUILD) || status=1; \
	wait $$san || { cat $$log; status=1; }; rm -f $$log; \
	JOBS=$(JOBS) scripts/sanitize $(SAN_BUILD) || status=1; exit $$status

sanitize: deps
	@JOBS=$(JOBS) scripts/sanitize $(SAN_BUILD)

# Each fuzz target for FUZZ_SECONDS; crash inputs land in tests/fuzz/crashes/<target>/.
fuzz: deps
	@JOBS=$(JOBS) scripts/fuzz $(SAN_BUILD) $(FUZZ_SECONDS)

unit: build
	@cd $(BUILD) && ctest -L unit --output-on-failure -j$(JOBS)

e2e: build
	@cd $(BUILD) && ctest -L e2e --output-on-failure

page: build
	@cd tests/page && VELMO_BINARY=$(CURDIR)/$(BUILD)/velmo node --test --test-concurrency=1 .

bench: build
	@bench/run $(BUILD)

lint: build
	@JOBS=$(JOBS) scripts/lint $(BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
