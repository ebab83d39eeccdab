# make run: install what is missing, build, start Velmo.  make test: the same, then every test.
BUILD ?= build
JOBS ?= 2

.PHONY: all deps configure build run serve test unit e2e page bench lint clean

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

test: build
	@scripts/run-tests $(BUILD)

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
	rm -rf $(BUILD)
