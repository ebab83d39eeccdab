# make run: install what is missing, build, start Velmo.  make test: the same, then every test.
BUILD ?= build
SAN_BUILD ?= build-san
JOBS ?= 2
FUZZ_SECONDS ?= 60
SOAK_PROMPTS ?= 200

.PHONY: all deps configure build run serve test unit e2e page bench sanitize fuzz lint soak clean

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

# After every test, the unit tests once more under ASan and UBSan (a build folder of their own).
test: build
	@status=0; scripts/run-tests $(BUILD) || status=1; \
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

# SOAK_PROMPTS real prompts on several agents, answered through the page, notifications and
# velmo-q at random; prints what was sent and what the model received (SOAK_SEED repeats a run).
soak: build
	@VELMO_BINARY=$(CURDIR)/$(BUILD)/velmo SOAK_PROMPTS=$(SOAK_PROMPTS) node tests/soak/soak.mjs

lint: build
	@JOBS=$(JOBS) scripts/lint $(BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
